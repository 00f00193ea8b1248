import numpy as np
import pytest

from nubiro import _se3


@pytest.mark.parametrize("angle", [0.0, 1e-9, 1e-6, 0.3, 2.0, np.pi - 1e-2, np.pi - 1e-6])
def test_log_inverts_exp_at_every_angle(angle):
    # Near zero and near a half turn the closed forms cancel digits; both ends have their own path.
    rng = np.random.default_rng(int(angle * 1e6) % 1000)
    axes = rng.normal(size=(8, 3))
    xi = np.concatenate((axes / np.linalg.norm(axes, axis=1, keepdims=True) * angle, rng.normal(size=(8, 3))), axis=1)
    motions = _se3.exp(xi)
    rotations = motions[:, :3, :3]
    np.testing.assert_allclose(rotations @ np.swapaxes(rotations, 1, 2), np.broadcast_to(np.eye(3), (8, 3, 3)),
                               atol=1e-14)
    np.testing.assert_allclose(_se3.log(motions), xi, atol=1e-9)


def test_adjoint_carries_a_motion_through_another():
    rng = np.random.default_rng(5)
    t, x = _se3.exp(rng.normal(size=(6, 6))), rng.normal(size=(6, 6)) * 0.5
    np.testing.assert_allclose(t @ _se3.exp(x) @ _se3.inverse(t), _se3.exp((_se3.adjoint(t) @ x[:, :, None])[:, :, 0]),
                               atol=1e-12)
    np.testing.assert_allclose(_se3.inverse(t) @ t, np.broadcast_to(np.eye(4), (6, 4, 4)), atol=1e-14)
