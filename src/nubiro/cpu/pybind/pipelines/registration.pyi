from collections.abc import Sequence
from typing import Any, final

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import TypeAlias, disjoint_base

from ..geometry import KDTreeSearchParam, PointCloud
from ..utility import Vector2iVector

_Matrix4: TypeAlias = NDArray[np.float64]
# (source index, target index) pairs: a Vector2iVector or anything of shape (n, 2).
_Correspondences: TypeAlias = Vector2iVector | Sequence[Sequence[int]] | NDArray[Any]

@final
class Feature:
    """Per-point descriptors: a float64 matrix of shape (dimension, num), one column per point."""
    def __init__(self, other: Feature | None = None) -> None:
        """An empty feature, or a copy of `other`."""
    def resize(self, dim: int, n: int) -> None:
        """Sets the shape to (dim, n), zero-filled."""
    def dimension(self) -> int:
        """Rows of the matrix: the descriptor length (33 for FPFH)."""
    def num(self) -> int:
        """Columns of the matrix: the number of points described."""
    # Shape (dimension, num); reading returns a copy, assigning copies in.
    @property
    def data(self) -> NDArray[np.float64]:
        """The (dimension, num) matrix (a copy); assigning copies a float64 matrix in."""
    @data.setter
    def data(self, value: NDArray[np.float64]) -> None: ...
    def __copy__(self) -> Feature: ...
    def __deepcopy__(self, _memo: object) -> Feature: ...

@final
class RegistrationResult:
    """Outcome of a registration: the 4x4 transformation that moves the source onto the target, the inlier
    correspondences, fitness (share of source points with a target point within the distance) and inlier RMSE (data
    units).
    """
    def __init__(self) -> None:
        """The identity transformation with no correspondences, fitness and RMSE 0."""
    # Reading gives a copy; assigning replaces the stored value.
    @property
    def transformation(self) -> NDArray[np.float64]:
        """The 4x4 rigid transformation (a copy); assignable."""
    @transformation.setter
    def transformation(self, value: _Matrix4) -> None: ...
    @property
    def correspondence_set(self) -> Vector2iVector:
        """The (source index, target index) inlier pairs; assignable from any (n, 2) array-like."""
    @correspondence_set.setter
    def correspondence_set(self, value: _Correspondences) -> None: ...
    fitness: float
    inlier_rmse: float
    def __copy__(self) -> RegistrationResult: ...
    def __deepcopy__(self, _memo: object) -> RegistrationResult: ...

@disjoint_base
class TransformationEstimation:
    """How a rigid transformation is estimated from correspondences."""
    def compute_rmse(self, source: PointCloud, target: PointCloud, corres: _Correspondences) -> float:
        """Root mean square distance of the corresponding pairs (point to plane for the point-to-plane estimator).
        """
    def compute_transformation(self, source: PointCloud, target: PointCloud,
                               corres: _Correspondences) -> NDArray[np.float64]:
        """The 4x4 transformation that best moves the corresponding source points onto the target; the identity when
        there are too few pairs.
        """

@final
class TransformationEstimationPointToPoint(TransformationEstimation):
    """Least squares over point-to-point distances (closed form), optionally with a uniform scale."""
    with_scaling: bool
    def __init__(self, with_scaling: bool = False) -> None:
        """with_scaling=True also estimates a uniform scale."""
    def __copy__(self) -> TransformationEstimationPointToPoint: ...
    def __deepcopy__(self, _memo: object) -> TransformationEstimationPointToPoint: ...

@final
class TransformationEstimationPointToPlane(TransformationEstimation):
    """Least squares over distances to the target's tangent planes; the target needs normals."""
    def __init__(self) -> None:
        """The point-to-plane estimator."""
    def __copy__(self) -> TransformationEstimationPointToPlane: ...
    def __deepcopy__(self, _memo: object) -> TransformationEstimationPointToPlane: ...

@final
class ICPConvergenceCriteria:
    """When ICP stops: both fitness and RMSE change less than the relative thresholds, or max_iteration iterations have
    run.
    """
    relative_fitness: float
    relative_rmse: float
    max_iteration: int
    def __init__(self, relative_fitness: float = 1e-6, relative_rmse: float = 1e-6,
                 max_iteration: int = 30) -> None:
        """Thresholds on the change of fitness and RMSE per iteration, and the iteration budget."""
    def __copy__(self) -> ICPConvergenceCriteria: ...
    def __deepcopy__(self, _memo: object) -> ICPConvergenceCriteria: ...

def evaluate_registration(source: PointCloud, target: PointCloud, max_correspondence_distance: float,
                          transformation: _Matrix4 | None = None) -> RegistrationResult:
    """Fitness, inlier RMSE and correspondences of `transformation` (default identity): each source point's nearest
    target point within max_correspondence_distance (data units).
    """
def registration_icp(source: PointCloud, target: PointCloud, max_correspondence_distance: float,
                     init: _Matrix4 | None = None, estimation_method: TransformationEstimation | None = None,
                     criteria: ICPConvergenceCriteria | None = None) -> RegistrationResult:
    """Iterative closest point from `init` (default identity; it must be close, ICP is local): correspondences within
    max_correspondence_distance (data units), estimated with `estimation_method` (default point-to-point; point-to-
    plane needs target normals) until `criteria` is met. Raises RuntimeError for a distance that is not positive or
    missing target normals. Ctrl-C stops it.
    """
def get_information_matrix_from_point_clouds(source: PointCloud, target: PointCloud,
                                             max_correspondence_distance: float,
                                             transformation: _Matrix4) -> NDArray[np.float64]:
    """The 6x6 information matrix of the point pairs within max_correspondence_distance under `transformation`: how
    strongly they constrain each rotation and translation.
    """

def compute_fpfh_feature(input: PointCloud, search_param: KDTreeSearchParam) -> Feature:
    """33-bin FPFH descriptors (a Feature of shape (33, n)) from each point's neighbours under `search_param` (data
    units); the cloud needs normals, else RuntimeError. Ctrl-C stops it.
    """
def correspondences_from_features(source_features: Feature, target_features: Feature, mutual_filter: bool = False,
                                  mutual_consistency_ratio: float = 0.1) -> Vector2iVector:
    """(source, target) pairs of nearest descriptors; with mutual_filter, only pairs that are each other's nearest
    (unless too few of those remain, see mutual_consistency_ratio).
    """

@disjoint_base
class CorrespondenceChecker:
    """A quick test that rejects a RANSAC sample before it is scored."""
    def Check(self, source: PointCloud, target: PointCloud, corres: _Correspondences,
              transformation: _Matrix4) -> bool:
        """True when the sample's correspondences pass the test under `transformation`."""
    @property
    def require_pointcloud_alignment_(self) -> bool:
        """True when the test needs the source moved by the transformation."""

@final
class CorrespondenceCheckerBasedOnEdgeLength(CorrespondenceChecker):
    """Rejects samples whose edge lengths in source and target differ by more than the similarity threshold allows.
    """
    def __init__(self, similarity_threshold: float = 0.9) -> None:
        """similarity_threshold in [0, 1]: the least ratio of corresponding edge lengths."""
    @property
    def similarity_threshold(self) -> float:
        """The least ratio of corresponding edge lengths."""
    def __copy__(self) -> CorrespondenceCheckerBasedOnEdgeLength: ...
    def __deepcopy__(self, _m: object) -> CorrespondenceCheckerBasedOnEdgeLength: ...

@final
class CorrespondenceCheckerBasedOnDistance(CorrespondenceChecker):
    """Rejects samples whose moved source points lie farther than the threshold from their target points."""
    def __init__(self, distance_threshold: float) -> None:
        """distance_threshold in the data's units."""
    @property
    def distance_threshold(self) -> float:
        """The largest allowed distance, in the data's units."""
    def __copy__(self) -> CorrespondenceCheckerBasedOnDistance: ...
    def __deepcopy__(self, _m: object) -> CorrespondenceCheckerBasedOnDistance: ...

@final
class CorrespondenceCheckerBasedOnNormal(CorrespondenceChecker):
    """Rejects samples whose moved normals differ from the target's by more than the angle."""
    def __init__(self, normal_angle_threshold: float) -> None:
        """normal_angle_threshold in radians."""
    @property
    def normal_angle_threshold(self) -> float:
        """The largest allowed angle between normals, in radians."""
    def __copy__(self) -> CorrespondenceCheckerBasedOnNormal: ...
    def __deepcopy__(self, _m: object) -> CorrespondenceCheckerBasedOnNormal: ...

@final
class RANSACConvergenceCriteria:
    """When RANSAC stops: after max_iteration samples, or earlier once the best inlier ratio says `confidence` has been
    reached.
    """
    confidence: float
    max_iteration: int
    def __init__(self, max_iteration: int = 100000, confidence: float = 0.999) -> None:
        """The sample budget and the confidence in (0, 1]."""
    def __copy__(self) -> RANSACConvergenceCriteria: ...
    def __deepcopy__(self, _memo: object) -> RANSACConvergenceCriteria: ...

def registration_ransac_based_on_correspondence(source: PointCloud, target: PointCloud, corres: _Correspondences,
                                                max_correspondence_distance: float,
                                                estimation_method: TransformationEstimation | None = None,
                                                ransac_n: int = 3,
                                                checkers: Sequence[CorrespondenceChecker] = ...,
                                                criteria: RANSACConvergenceCriteria | None = None) -> RegistrationResult:
    """Global registration by RANSAC over the given correspondences: samples of ransac_n pairs from the seeded engine,
    estimated, checked and scored; the best result, or the empty result when none is valid. Ctrl-C stops it and
    leaves the engine as it was.
    """
def registration_ransac_based_on_feature_matching(source: PointCloud, target: PointCloud, source_feature: Feature,
                                                  target_feature: Feature, mutual_filter: bool,
                                                  max_correspondence_distance: float,
                                                  estimation_method: TransformationEstimation | None = None,
                                                  ransac_n: int = 3,
                                                  checkers: Sequence[CorrespondenceChecker] = ...,
                                                  criteria: RANSACConvergenceCriteria | None = None) -> RegistrationResult:
    """Global registration: correspondences from the features (mutual if asked), then RANSAC as in
    registration_ransac_based_on_correspondence. Distances in the data's units.
    """
