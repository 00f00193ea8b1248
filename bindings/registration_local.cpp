// pipelines.registration, local registration: RegistrationResult, the transformation
// estimators, ICPConvergenceCriteria, evaluate_registration, registration_icp and the
// information matrix.
#include "bindings/module.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/number_text.hpp"
#include "core/registration/registration.hpp"

namespace nubiro::py {

using registration::ICPConvergenceCriteria;
using registration::RegistrationResult;
using registration::TransformationEstimation;
using CloudObject = Object<geometry::PointCloud>;
using EstimationObject = Object<TransformationEstimation>;
using CriteriaObject = Object<ICPConvergenceCriteria>;
using ResultObject = Object<RegistrationResult>;

namespace {

using registration::EstimationKind;

const geometry::PointCloud& cloud_of(const Instance<CloudObject>& c) { return c.ptr->value; }

// ---- RegistrationResult ----------------------------------------------------------------------

RegistrationResult& result_of(PyObject* self) { return value_of<RegistrationResult>(self); }

PyObject* init_result(PyObject* self, Args&) {
    WriteAccess w(self);
    result_of(self) = RegistrationResult();
    return none();
}

// The correspondence set reads as a new Vector2iVector and takes anything the (n, 2) rule does.
struct PairList {
    static PyObject* out(const std::vector<Vector2i>& pairs) { return new_container(pairs).release(); }
    static std::vector<Vector2i> in(PyObject* value, const char*) {
        Storage<Vector2i> pairs = elements_from<Vector2i>(value);
        return {pairs.begin(), pairs.end()};
    }
};

PyObject* result_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const RegistrationResult& res = result_of(self);
        const std::string text = "RegistrationResult with fitness=" + text::format_exponent(res.fitness) +
                                 ", inlier_rmse=" + text::format_exponent(res.inlier_rmse) +
                                 ", and correspondence_set size of " +
                                 std::to_string(res.correspondence_set.size()) +
                                 "\nAccess transformation to get result.";
        return PyUnicode_FromString(text.c_str());
    });
}

// ---- estimators ------------------------------------------------------------------------------

TransformationEstimation& estimation_of(PyObject* self) { return value_of<TransformationEstimation>(self); }

// The point clouds of an estimator call, read in place.
struct CloudPair {
    Instance<CloudObject> source, target;
    Storage<Vector2i> corres;
};

CloudPair estimator_args(Args& a) {
    return {a.get<Instance<CloudObject>>(0), a.get<Instance<CloudObject>>(1), a.get<Storage<Vector2i>>(2)};
}

template <class F>
auto with_clouds(PyObject* self, CloudPair& args, F&& body) {
    ReadAccess es(self);
    ReadAccess rs(args.source.object());
    ReadAccess rt(args.target.object());
    const geometry::PointCloud& s = cloud_of(args.source);
    const geometry::PointCloud& t = cloud_of(args.target);
    return body(estimation_of(self), s, t);
}

PyObject* compute_rmse(PyObject* self, Args& a) {
    CloudPair args = estimator_args(a);
    const double rmse = unwrap(with_clouds(self, args, [&](const TransformationEstimation& m, const auto& s, const auto& t) {
        return registration::compute_rmse(m, s.points.span(), t.points.span(), t.normals.span(), args.corres.span());
    }));
    return PyFloat_FromDouble(rmse);
}

PyObject* compute_transformation(PyObject* self, Args& a) {
    CloudPair args = estimator_args(a);
    const Matrix4d t = unwrap(with_clouds(self, args, [&](const TransformationEstimation& m, const auto& s, const auto& t) {
        return registration::compute_transformation(m, s.points.span(), t.points.span(), t.normals.span(),
                                                    args.corres.span());
    }));
    return result(t);
}

PyObject* init_point_to_point(PyObject* self, Args& a) {
    const bool scaling = a.get<bool>(0, false);
    WriteAccess w(self);
    estimation_of(self).kind = scaling ? EstimationKind::PointToPointWithScaling : EstimationKind::PointToPoint;
    return none();
}

PyObject* init_point_to_plane(PyObject* self, Args&) {
    WriteAccess w(self);
    estimation_of(self).kind = EstimationKind::PointToPlane;
    return none();
}

bool with_scaling(const TransformationEstimation& e) { return e.with_scaling(); }
void set_with_scaling(TransformationEstimation& e, bool scaling) {
    e.kind = scaling ? EstimationKind::PointToPointWithScaling : EstimationKind::PointToPoint;
}

PyObject* point_to_point_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const char* flag = estimation_of(self).with_scaling() ? "True" : "False";
        return PyUnicode_FromString((std::string("TransformationEstimationPointToPoint(with_scaling=") + flag + ")").c_str());
    });
}

PyObject* point_to_plane_repr(PyObject*) { return PyUnicode_FromString("TransformationEstimationPointToPlane"); }

// The estimator classes share one value type, so a copy is made of the object's own class.
PyObject* copy_estimation(PyObject* self, Args&) {
    Ref out = new_object<TransformationEstimation>(Py_TYPE(self));
    ReadAccess r(self);
    estimation_of(out.get()) = estimation_of(self);
    return out.release();
}

PyTypeObject* make_estimation_class(PyTypeObject* base, const char* name, const char* constructor, void* init,
                                    void* repr, std::vector<PyMethodDef> methods, std::vector<PyGetSetDef> properties) {
    ClassSpec cls{kRegistration, name, constructor};
    cls.base = base;
    cls.slots = {{Py_tp_new, reinterpret_cast<void*>(tp_new_value<TransformationEstimation>)},
                  {Py_tp_init, init},
                  {Py_tp_repr, repr}};
    cls.methods = std::move(methods);
    cls.properties = std::move(properties);
    return make_class(std::move(cls));
}

// ---- ICPConvergenceCriteria ------------------------------------------------------------------

PyObject* init_criteria(PyObject* self, Args& a) {
    const ICPConvergenceCriteria defaults;
    ICPConvergenceCriteria c{a.get<double>(0, defaults.relative_fitness), a.get<double>(1, defaults.relative_rmse),
                             a.get<std::int32_t>(2, defaults.max_iteration)};
    WriteAccess w(self);
    value_of<ICPConvergenceCriteria>(self) = c;
    return none();
}

PyObject* criteria_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const ICPConvergenceCriteria& c = value_of<ICPConvergenceCriteria>(self);
        const std::string text = "ICPConvergenceCriteria(relative_fitness=" + text::format_exponent(c.relative_fitness) +
                                 ", relative_rmse=" + text::format_exponent(c.relative_rmse) +
                                 ", max_iteration=" + std::to_string(c.max_iteration) + ")";
        return PyUnicode_FromString(text.c_str());
    });
}

// ---- functions -------------------------------------------------------------------------------

PyObject* evaluate_registration(Args& a) {
    auto source = a.get<Instance<CloudObject>>(0);
    auto target = a.get<Instance<CloudObject>>(1);
    const double distance = a.get<double>(2);
    const Matrix4d t = a.optional<Matrix4d>(3).value_or(identity4());
    RegistrationResult out;
    {
        ReadAccess rs(source.object());
        ReadAccess rt(target.object());
        released([&] {
            out = registration::evaluate_registration(cloud_of(source).points.span(), cloud_of(target).points.span(),
                                                      distance, t);
        });
    }
    return new_registration_result(std::move(out)).release();
}

PyObject* registration_icp(Args& a) {
    auto source = a.get<Instance<CloudObject>>(0);
    auto target = a.get<Instance<CloudObject>>(1);
    const double distance = a.get<double>(2);
    const Matrix4d init = a.optional<Matrix4d>(3).value_or(identity4());
    TransformationEstimation method;
    if (auto given = a.optional<Instance<EstimationObject>>(4)) {
        ReadAccess r(given->object());
        method = given->ptr->value;
    }
    ICPConvergenceCriteria criteria;
    if (auto given = a.optional<Instance<CriteriaObject>>(5)) {
        ReadAccess r(given->object());
        criteria = given->ptr->value;
    }
    Result<RegistrationResult> out = RegistrationResult();
    {
        ReadAccess rs(source.object());
        ReadAccess rt(target.object());
        released([&] {
            const geometry::PointCloud& t = cloud_of(target);
            out = registration::registration_icp(cloud_of(source).points.span(), t.points.span(), t.normals.span(),
                                                 distance, init, method, criteria);
        });
    }
    return new_registration_result(unwrap(std::move(out))).release();
}

PyObject* information_matrix(Args& a) {
    auto source = a.get<Instance<CloudObject>>(0);
    auto target = a.get<Instance<CloudObject>>(1);
    const double distance = a.get<double>(2);
    const Matrix4d t = a.get<Matrix4d>(3);
    Matrix6d info;
    {
        ReadAccess rs(source.object());
        ReadAccess rt(target.object());
        released([&] {
            info = registration::get_information_matrix(cloud_of(source).points.span(), cloud_of(target).points.span(),
                                                        distance, t);
        });
    }
    return np::matrix(info[0].data(), 6, 6).release();
}

}  // namespace

Ref new_registration_result(RegistrationResult&& value) {
    Ref out = new_object<RegistrationResult>(type_of<ResultObject>());
    result_of(out.get()) = std::move(value);
    return out;
}

void add_local_registration(PyObject* module) {
    ClassSpec result_cls{kRegistration, "RegistrationResult", "()"};
    result_cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"RegistrationResult()", init_result>)},
                        {Py_tp_repr, reinterpret_cast<void*>(result_repr)}};
    result_cls.methods = {method<"RegistrationResult.__copy__()", deep_copy<RegistrationResult>>(),
                          method<"RegistrationResult.__deepcopy__(_memo)", deep_copy<RegistrationResult>>()};
    result_cls.properties = {
        field<&RegistrationResult::correspondence_set, PairList>("correspondence_set"),
        field<&RegistrationResult::fitness>("fitness"), field<&RegistrationResult::inlier_rmse>("inlier_rmse"),
        field<&RegistrationResult::transformation>("transformation")};
    add_type(module, make_value_class<RegistrationResult>(std::move(result_cls)));

    ClassSpec base_cls{kRegistration, "TransformationEstimation"};
    base_cls.subclassable = true;
    base_cls.methods = {
        method<"TransformationEstimation.compute_rmse(source, target, corres)", compute_rmse>(),
        method<"TransformationEstimation.compute_transformation(source, target, corres)", compute_transformation>()};
    PyTypeObject* base = make_value_class<TransformationEstimation>(std::move(base_cls));
    add_type(module, base);
    add_type(module,
             make_estimation_class(
                 base, "TransformationEstimationPointToPoint", "(with_scaling=False)",
                 reinterpret_cast<void*>(
                     tp_init<"TransformationEstimationPointToPoint(with_scaling=False)", init_point_to_point>),
                 reinterpret_cast<void*>(point_to_point_repr),
                 {method<"TransformationEstimationPointToPoint.__copy__()", copy_estimation>(),
                  method<"TransformationEstimationPointToPoint.__deepcopy__(_memo)", copy_estimation>()},
                 {computed<with_scaling, set_with_scaling>("with_scaling")}));
    add_type(module, make_estimation_class(
                         base, "TransformationEstimationPointToPlane", "()",
                         reinterpret_cast<void*>(tp_init<"TransformationEstimationPointToPlane()", init_point_to_plane>),
                         reinterpret_cast<void*>(unary<point_to_plane_repr>),
                         {method<"TransformationEstimationPointToPlane.__copy__()", copy_estimation>(),
                          method<"TransformationEstimationPointToPlane.__deepcopy__(_memo)", copy_estimation>()},
                         {}));

    ClassSpec criteria_cls{kRegistration, "ICPConvergenceCriteria",
                           "(relative_fitness=1e-6, relative_rmse=1e-6, max_iteration=30)"};
    criteria_cls.slots = {
        {Py_tp_init, reinterpret_cast<void*>(tp_init<"ICPConvergenceCriteria(relative_fitness=1e-6, "
                                                     "relative_rmse=1e-6, max_iteration=30)",
                                                     init_criteria>)},
        {Py_tp_repr, reinterpret_cast<void*>(criteria_repr)}};
    criteria_cls.methods = {method<"ICPConvergenceCriteria.__copy__()", deep_copy<ICPConvergenceCriteria>>(),
                            method<"ICPConvergenceCriteria.__deepcopy__(_memo)", deep_copy<ICPConvergenceCriteria>>()};
    criteria_cls.properties = {
        field<&ICPConvergenceCriteria::max_iteration>("max_iteration"),
        field<&ICPConvergenceCriteria::relative_fitness>("relative_fitness"),
        field<&ICPConvergenceCriteria::relative_rmse>("relative_rmse")};
    add_type(module, make_value_class<ICPConvergenceCriteria>(std::move(criteria_cls)));

    add_functions(module,
                  {function<"evaluate_registration(source, target, max_correspondence_distance, transformation=None)",
                            evaluate_registration>(),
                   function<"get_information_matrix_from_point_clouds(source, target, max_correspondence_distance, "
                            "transformation)",
                            information_matrix>(),
                   function<"registration_icp(source, target, max_correspondence_distance, init=None, "
                            "estimation_method=None, criteria=None)",
                            registration_icp>()});
}

}  // namespace nubiro::py
