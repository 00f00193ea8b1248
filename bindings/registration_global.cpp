// pipelines.registration, global registration: FPFH features, feature matching, the
// correspondence checkers, RANSACConvergenceCriteria and the two RANSAC entry points.
#include <charconv>
#include <cmath>

#include "bindings/module.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/number_text.hpp"
#include "core/registration/checker.hpp"
#include "core/registration/estimation.hpp"
#include "core/registration/feature.hpp"
#include "core/registration/ransac.hpp"
#include "core/search_param.hpp"

namespace nubiro::py {

using registration::CorrespondenceChecker;

// A checker list: any sequence (not a str) of CorrespondenceChecker objects, copied in order.
template <>
struct Convert<std::vector<CorrespondenceChecker>> {
    static constexpr bool bare = false;
    static std::vector<CorrespondenceChecker> from(PyObject* o) {
        if (PyUnicode_Check(o) || !PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
        const Py_ssize_t n = PySequence_Size(o);
        if (n < 0) raise_current();
        std::vector<CorrespondenceChecker> out;
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = check(PySequence_GetItem(o, i));
            auto* c = Convert<Instance<Object<CorrespondenceChecker>>>::from(item.get()).ptr;
            ReadAccess r(object_of(c));
            out.push_back(c->value);
        }
        return out;
    }
};

namespace {

using registration::Feature;
using CloudObject = Object<geometry::PointCloud>;
using FeatureObject = Object<Feature>;
using ParamObject = Object<SearchParam>;
using CheckerObject = Object<CorrespondenceChecker>;

Ref new_feature(Feature&& f) {
    Ref out = new_object<Feature>(type_of<FeatureObject>());
    value_of<Feature>(out.get()) = std::move(f);
    return out;
}

// ---- features ------------------------------------------------------------------------------

PyObject* compute_fpfh_feature(Args& a) {
    auto input = a.get<Instance<CloudObject>>(0);
    auto param = a.get<Instance<ParamObject>>(1);
    SearchParam p;
    {
        ReadAccess r(param.object());
        p = param.ptr->value;
    }
    ReadAccess r(input.object());
    Result<Feature> fpfh = released([&] {
        return registration::compute_fpfh_feature(input.ptr->value, p);
    });
    return new_feature(unwrap(std::move(fpfh))).release();
}

PyObject* correspondences_from_features(Args& a) {
    auto source = a.get<Instance<FeatureObject>>(0);
    auto target = a.get<Instance<FeatureObject>>(1);
    const bool mutual_filter = a.get<bool>(2, false);
    const auto ratio = static_cast<float>(a.get<double>(3, 0.1));
    ReadAccess rs(source.object());
    ReadAccess rt(target.object());
    std::vector<Vector2i> pairs;
    {
        released([&] {
            pairs = registration::correspondences_from_features(source.ptr->value, target.ptr->value, mutual_filter, ratio);
        });
    }
    return new_container(pairs).release();
}

// ---- checkers ------------------------------------------------------------------------------

// Six digits after the point, correctly rounded; "NaN", "inf", "-inf" for the special values.
std::string six_decimals(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buffer[400];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, 6).ptr;
    return std::string(buffer, end);
}

CorrespondenceChecker& checker(PyObject* self) { return value_of<CorrespondenceChecker>(self); }

template <CorrespondenceChecker::Kind K>
PyObject* init_checker(PyObject* self, Args& a) {
    const double threshold = K == CorrespondenceChecker::EdgeLength ? a.get<double>(0, 0.9) : a.get<double>(0);
    WriteAccess w(self);
    checker(self) = {K, threshold};
    return none();
}

PyObject* checker_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const CorrespondenceChecker& c = checker(self);
        const char* head = c.kind == CorrespondenceChecker::EdgeLength
                               ? "CorrespondenceCheckerBasedOnEdgeLength with similarity_threshold="
                           : c.kind == CorrespondenceChecker::Distance
                               ? "CorrespondenceCheckerBasedOnDistance with distance_threshold="
                               : "CorrespondenceCheckerBasedOnNormal with normal_threshold=";
        return PyUnicode_FromString((head + six_decimals(c.threshold)).c_str());
    });
}

// The concrete classes by kind: copies are always of the class that made the checker.
PyTypeObject* checker_types[3] = {};

PyObject* copy_checker(PyObject* self, Args&) {
    CorrespondenceChecker c;
    {
        ReadAccess r(self);
        c = checker(self);
    }
    Ref out = new_object<CorrespondenceChecker>(checker_types[c.kind]);
    checker(out.get()) = c;
    return out.release();
}

PyObject* check_pairs(PyObject* self, Args& a) {
    auto source = a.get<Instance<CloudObject>>(0);
    auto target = a.get<Instance<CloudObject>>(1);
    const Storage<Vector2i> corres = a.get<Storage<Vector2i>>(2);
    const Matrix4d t = a.get<Matrix4d>(3);
    CorrespondenceChecker c;
    {
        ReadAccess r(self);
        c = checker(self);
    }
    ReadAccess rs(source.object());
    ReadAccess rt(target.object());
    const geometry::PointCloud& s = source.ptr->value;
    const geometry::PointCloud& g = target.ptr->value;
    if (auto error = registration::validate_correspondences(corres.span(), s.points.size(), g.points.size()))
        raise(*error);
    return boolean(registration::check(c, s, g, corres.span(), t));
}

// A concrete checker class: constructor, threshold attribute, repr and the copy protocol.
template <Text Name, Text Constructor, CorrespondenceChecker::Kind K>
PyTypeObject* make_checker_class(PyTypeObject* base, const char* attribute) {
    ClassSpec cls{kRegistration, Name.value, Constructor.value};
    cls.base = base;
    cls.slots = {{Py_tp_new, reinterpret_cast<void*>(tp_new_value<CorrespondenceChecker>)},
                  {Py_tp_init, reinterpret_cast<void*>(tp_init<Name + Constructor.value, init_checker<K>>)},
                  {Py_tp_repr, reinterpret_cast<void*>(checker_repr)}};
    cls.methods = {method<Name + ".__copy__()", copy_checker>(), method<Name + ".__deepcopy__(_m)", copy_checker>()};
    cls.properties = {readonly_field<&CorrespondenceChecker::threshold>(attribute)};
    return checker_types[K] = make_class(std::move(cls));
}

// ---- RANSACConvergenceCriteria -------------------------------------------------------------

using RansacCriteria = registration::RANSACConvergenceCriteria;
using CriteriaObject = Object<RansacCriteria>;

PyObject* init_criteria(PyObject* self, Args& a) {
    const std::int32_t max_iteration = a.get<std::int32_t>(0, 100000);
    const double confidence = a.get<double>(1, 0.999);
    WriteAccess w(self);
    value_of<RansacCriteria>(self) = {confidence, max_iteration};
    return none();
}

PyObject* criteria_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const RansacCriteria& c = value_of<RansacCriteria>(self);
        const std::string text = "RANSACConvergenceCriteria(max_iteration=" + std::to_string(c.max_iteration) +
                                 ", confidence=" + text::format_exponent(c.confidence) + ")";
        return PyUnicode_FromString(text.c_str());
    });
}

// ---- RANSAC ----------------------------------------------------------------------------------

using EstimationObject = Object<registration::TransformationEstimation>;

// The arguments both RANSAC entry points share, from position `first` (the distance) on.
struct RansacOptions {
    double max_distance;
    registration::TransformationEstimation method;
    std::int32_t ransac_n;
    std::vector<CorrespondenceChecker> checkers;
    RansacCriteria criteria;
};

RansacOptions ransac_options(Args& a, std::size_t first) {
    RansacOptions o;
    o.max_distance = a.get<double>(first);
    if (auto given = a.optional<Instance<EstimationObject>>(first + 1)) {
        ReadAccess r(given->object());
        o.method = given->ptr->value;
    }
    o.ransac_n = a.get<std::int32_t>(first + 2, 3);
    if (a.given(first + 3)) o.checkers = a.get<std::vector<CorrespondenceChecker>>(first + 3);
    if (auto given = a.optional<Instance<CriteriaObject>>(first + 4)) {
        ReadAccess r(given->object());
        o.criteria = given->ptr->value;
    }
    return o;
}

PyObject* ransac_based_on_correspondence(Args& a) {
    auto source = a.get<Instance<CloudObject>>(0);
    auto target = a.get<Instance<CloudObject>>(1);
    const Storage<Vector2i> corres = a.get<Storage<Vector2i>>(2);
    const RansacOptions o = ransac_options(a, 3);
    ReadAccess rs(source.object());
    ReadAccess rt(target.object());
    Result<registration::RegistrationResult> out = released([&] {
        return registration::registration_ransac_based_on_correspondence(
            source.ptr->value, target.ptr->value, corres.span(), o.max_distance, o.method, o.ransac_n, o.checkers,
            o.criteria);
    });
    return new_registration_result(unwrap(std::move(out))).release();
}

PyObject* ransac_based_on_feature_matching(Args& a) {
    auto source = a.get<Instance<CloudObject>>(0);
    auto target = a.get<Instance<CloudObject>>(1);
    auto source_feature = a.get<Instance<FeatureObject>>(2);
    auto target_feature = a.get<Instance<FeatureObject>>(3);
    const bool mutual_filter = a.get<bool>(4);
    const RansacOptions o = ransac_options(a, 5);
    ReadAccess rs(source.object());
    ReadAccess rt(target.object());
    ReadAccess rsf(source_feature.object());
    ReadAccess rtf(target_feature.object());
    Result<registration::RegistrationResult> out = released([&] {
        return registration::registration_ransac_based_on_feature_matching(
            source.ptr->value, target.ptr->value, source_feature.ptr->value, target_feature.ptr->value, mutual_filter,
            o.max_distance, o.method, o.ransac_n, o.checkers, o.criteria);
    });
    return new_registration_result(unwrap(std::move(out))).release();
}

}  // namespace

void add_global_registration(PyObject* module) {
    ClassSpec base_class{kRegistration, "CorrespondenceChecker"};
    base_class.subclassable = true;
    base_class.methods = {
        method<"CorrespondenceChecker.Check(source, target, corres, transformation)", check_pairs>()};
    base_class.properties = {computed<[](const CorrespondenceChecker& c) { return c.require_pointcloud_alignment(); }>(
        "require_pointcloud_alignment_")};
    PyTypeObject* base = make_value_class<CorrespondenceChecker>(std::move(base_class));
    add_type(module, base);
    add_type(module, make_checker_class<"CorrespondenceCheckerBasedOnEdgeLength", "(similarity_threshold=0.9)",
                                        CorrespondenceChecker::EdgeLength>(base, "similarity_threshold"));
    add_type(module, make_checker_class<"CorrespondenceCheckerBasedOnDistance", "(distance_threshold)",
                                        CorrespondenceChecker::Distance>(base, "distance_threshold"));
    add_type(module, make_checker_class<"CorrespondenceCheckerBasedOnNormal", "(normal_angle_threshold)",
                                        CorrespondenceChecker::Normal>(base, "normal_angle_threshold"));

    ClassSpec criteria{kRegistration, "RANSACConvergenceCriteria", "(max_iteration=100000, confidence=0.999)"};
    criteria.slots = {
        {Py_tp_init,
         reinterpret_cast<void*>(tp_init<"RANSACConvergenceCriteria(max_iteration=100000, confidence=0.999)", init_criteria>)},
        {Py_tp_repr, reinterpret_cast<void*>(criteria_repr)}};
    criteria.methods = {method<"RANSACConvergenceCriteria.__copy__()", deep_copy<RansacCriteria>>(),
                        method<"RANSACConvergenceCriteria.__deepcopy__(_memo)", deep_copy<RansacCriteria>>()};
    criteria.properties = {field<&RansacCriteria::confidence>("confidence"),
                           field<&RansacCriteria::max_iteration>("max_iteration")};
    add_type(module, make_value_class<RansacCriteria>(std::move(criteria)));

    add_functions(module, {function<"compute_fpfh_feature(input, search_param)", compute_fpfh_feature>(),
                           function<"correspondences_from_features(source_features, target_features, "
                                    "mutual_filter=False, mutual_consistency_ratio=0.1)",
                                    correspondences_from_features>(),
                           function<"registration_ransac_based_on_correspondence(source, target, corres, "
                                    "max_correspondence_distance, estimation_method=None, ransac_n=3, "
                                    "checkers=..., criteria=None)",
                                    ransac_based_on_correspondence>(),
                           function<"registration_ransac_based_on_feature_matching(source, target, source_feature, "
                                    "target_feature, mutual_filter, max_correspondence_distance, "
                                    "estimation_method=None, ransac_n=3, checkers=..., criteria=None)",
                                    ransac_based_on_feature_matching>()});
}

}  // namespace nubiro::py
