// pipelines.registration, global registration: FPFH features, feature matching, the
// correspondence checkers, RANSACConvergenceCriteria and the two RANSAC entry points.
#include <charconv>
#include <cmath>

#include "bindings/module.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/linalg.hpp"
#include "core/registration/checker.hpp"
#include "core/registration/feature.hpp"
#include "core/search_param.hpp"

namespace nubiro::py {
namespace {

using registration::CorrespondenceChecker;
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
        ReadAccess r(&param.ptr->head.ob_base);
        p = param.ptr->value;
    }
    ReadAccess r(&input.ptr->head.ob_base);
    Result<Feature> fpfh = [&] {
        ReleaseGil unlocked;
        return registration::compute_fpfh_feature(input.ptr->value, p);
    }();
    return new_feature(unwrap(std::move(fpfh))).release();
}

PyObject* correspondences_from_features(Args& a) {
    auto source = a.get<Instance<FeatureObject>>(0);
    auto target = a.get<Instance<FeatureObject>>(1);
    const bool mutual_filter = a.get<bool>(2, false);
    const auto ratio = static_cast<float>(a.get<double>(3, 0.1));
    ReadAccess rs(&source.ptr->head.ob_base);
    ReadAccess rt(&target.ptr->head.ob_base);
    std::vector<Vector2i> pairs;
    {
        ReleaseGil unlocked;
        pairs = registration::correspondences_from_features(source.ptr->value, target.ptr->value, mutual_filter, ratio);
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

PyObject* get_threshold(CheckerObject* self) {
    ReadAccess r(&self->head.ob_base);
    return PyFloat_FromDouble(self->value.threshold);
}

PyObject* get_requires_alignment(CheckerObject* self) {
    ReadAccess r(&self->head.ob_base);
    return boolean(self->value.require_pointcloud_alignment());
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

// A concrete checker class: constructor, threshold attribute, repr and the copy protocol.
template <Text Name, Text Constructor, CorrespondenceChecker::Kind K>
PyTypeObject* make_checker_class(PyTypeObject* base, const char* attribute) {
    ClassSpec cls{kRegistration, Name.value, Constructor.value};
    cls.base = base;
    cls.slots = {{Py_tp_new, reinterpret_cast<void*>(tp_new_value<CorrespondenceChecker>)},
                  {Py_tp_init, reinterpret_cast<void*>(tp_init<Name + Constructor.value, init_checker<K>>)},
                  {Py_tp_repr, reinterpret_cast<void*>(checker_repr)}};
    cls.methods = {method<Name + ".__copy__()", copy_checker>(), method<Name + ".__deepcopy__(_m)", copy_checker>()};
    cls.properties = {readonly<get_threshold>(attribute)};
    return checker_types[K] = make_class(std::move(cls));
}

// ---- RANSACConvergenceCriteria -------------------------------------------------------------

struct RansacCriteria {
    double confidence = 0.999;
    std::int32_t max_iteration = 100000;
};
using CriteriaObject = Object<RansacCriteria>;

PyObject* init_criteria(PyObject* self, Args& a) {
    const std::int32_t max_iteration = a.get<std::int32_t>(0, 100000);
    const double confidence = a.get<double>(1, 0.999);
    WriteAccess w(self);
    value_of<RansacCriteria>(self) = {confidence, max_iteration};
    return none();
}

PyObject* get_confidence(CriteriaObject* self) {
    ReadAccess r(&self->head.ob_base);
    return PyFloat_FromDouble(self->value.confidence);
}
void set_confidence(CriteriaObject* self, PyObject* value) {
    const double v = convert_named<double>(value, "confidence");
    WriteAccess w(&self->head.ob_base);
    self->value.confidence = v;
}
PyObject* get_max_iteration(CriteriaObject* self) {
    ReadAccess r(&self->head.ob_base);
    return PyLong_FromLong(self->value.max_iteration);
}
void set_max_iteration(CriteriaObject* self, PyObject* value) {
    const std::int32_t v = convert_named<std::int32_t>(value, "max_iteration");
    WriteAccess w(&self->head.ob_base);
    self->value.max_iteration = v;
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

}  // namespace

void add_global_registration(PyObject* module) {
    ClassSpec base_class{kRegistration, "CorrespondenceChecker"};
    base_class.subclassable = true;
    base_class.properties = {readonly<get_requires_alignment>("require_pointcloud_alignment_")};
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
    criteria.properties = {property<get_confidence, set_confidence>("confidence"),
                           property<get_max_iteration, set_max_iteration>("max_iteration")};
    add_type(module, make_value_class<RansacCriteria>(std::move(criteria)));

    add_functions(module, {function<"compute_fpfh_feature(input, search_param)", compute_fpfh_feature>(),
                           function<"correspondences_from_features(source_features, target_features, "
                                    "mutual_filter=False, mutual_consistency_ratio=0.1)",
                                    correspondences_from_features>()});
}

}  // namespace nubiro::py
