// nubiro._native: per-point covariances, generalized ICP and robust kernels.
//
// The functions take C-contiguous float64 arrays, already checked and converted by
// nubiro.align, and read them in place with the interpreter lock released.
#include <string>

#include "bindings/classes.hpp"
#include "bindings/module.hpp"
#include "core/registration/covariance.hpp"
#include "core/registration/gicp.hpp"

namespace nubiro::py {
namespace {

using registration::IcpMethod;

// An (n, 3) or (n, 3, 3) float64 array in native order and C layout, viewed as n elements;
// an empty view for None.
template <class E>
std::span<const E> rows_of(PyObject* o, const char* name) {
    if (!o || o == Py_None) return {};
    constexpr int tail = sizeof(E) == sizeof(Vector3d) ? 1 : 2;
    if (!np::is_array(o)) raise(PyExc_TypeError, std::string(name) + " must be a float64 array");
    const np::ArrayInfo a = np::info(o);
    bool ok = a.is(np::Float64) && a.c_contiguous() && a.ndim == 1 + tail;
    for (int d = 1; ok && d < a.ndim; ++d) ok = a.shape[d] == 3;
    if (!ok) raise(PyExc_TypeError, std::string(name) + " must be a C-contiguous float64 array of shape (n, 3" +
                                        (tail == 2 ? ", 3)" : ")"));
    return {reinterpret_cast<const E*>(a.data), static_cast<std::size_t>(a.shape[0])};
}

template <class E>
Ref new_rows(std::size_t n, E*& data) {
    np::npy_intp shape[3] = {static_cast<np::npy_intp>(n), 3, 3};
    const int ndim = sizeof(E) == sizeof(Vector3d) ? 2 : 3;
    Ref out = np::new_array(np::Float64, std::span<const np::npy_intp>(shape, ndim), nullptr, nullptr);
    data = reinterpret_cast<E*>(np::info(out.get()).data);
    return out;
}

std::size_t neighbours(Args& a, std::size_t i) {
    const std::int64_t k = a.get<std::int64_t>(i);
    if (k < 3) raise(PyExc_ValueError, "k must be at least 3, not " + std::to_string(k));
    return static_cast<std::size_t>(k);
}

PyObject* covariances(Args& a) {
    const std::span<const Vector3d> points = rows_of<Vector3d>(a.raw(0), "points");
    const std::size_t k = neighbours(a, 1);
    const double epsilon = a.get<double>(2);
    if (!(epsilon > 0 && epsilon <= 1)) raise(PyExc_ValueError, "epsilon must lie in (0, 1]");
    Matrix3d* data;
    Ref out = new_rows<Matrix3d>(points.size(), data);
    {
        released([&] {
            registration::estimate_covariances(points, k, epsilon, {data, points.size()});
        });
    }
    return out.release();
}

PyObject* local_normals(Args& a) {
    const std::span<const Vector3d> points = rows_of<Vector3d>(a.raw(0), "points");
    const std::size_t k = neighbours(a, 1);
    Vector3d* data;
    Ref out = new_rows<Vector3d>(points.size(), data);
    if (!points.empty()) {
        released([&] {
            KDTree tree;
            tree.build_from_points(points);
            registration::estimate_local_normals(points, tree, k, {data, points.size()});
        });
    }
    return out.release();
}

PyObject* icp(Args& a) {
    registration::IcpInputs in;
    in.source = rows_of<Vector3d>(a.raw(0), "source");
    in.target = rows_of<Vector3d>(a.raw(1), "target");
    const std::int64_t method = a.get<std::int64_t>(2);
    if (method < 0 || method > 2) raise(PyExc_ValueError, "unknown method " + std::to_string(method));
    registration::IcpOptions options;
    options.method = static_cast<IcpMethod>(method);
    options.max_distance = a.get<double>(3);
    const Matrix4d init = a.optional<Matrix4d>(4).value_or(identity4());
    const std::string kernel_name = a.get<std::string>(5);
    const auto kind = registration::kernel_kind(kernel_name);
    if (!kind) raise(PyExc_ValueError, "unknown kernel '" + kernel_name + "'");
    options.kernel = unwrap(registration::make_kernel(*kind, a.get<double>(6)));
    options.max_iterations = a.get<std::int32_t>(7);
    options.tolerance = a.get<double>(8);
    in.target_normals = rows_of<Vector3d>(a.raw(9), "target_normals");
    in.source_covariances = rows_of<Matrix3d>(a.raw(10), "source_covariances");
    in.target_covariances = rows_of<Matrix3d>(a.raw(11), "target_covariances");

    Result<registration::IcpResult> out = registration::IcpResult();
    {
        released([&] {
            out = registration::icp(in, init, options);
        });
    }
    const registration::IcpResult r = unwrap(std::move(out));
    return Py_BuildValue("(NddiN)", result(r.transformation), r.fitness, r.inlier_rmse, static_cast<int>(r.iterations),
                         boolean(r.converged));
}

}  // namespace

void add_native_align(PyObject* native) {
    add_functions(native, {function<"covariances(points, k, epsilon)", covariances>(),
                           function<"local_normals(points, k)", local_normals>(),
                           function<"icp(source, target, method, max_distance, init, kernel, scale, max_iterations, "
                                    "tolerance, target_normals=None, source_covariances=None, "
                                    "target_covariances=None)",
                                    icp>()});
}

}  // namespace nubiro::py
