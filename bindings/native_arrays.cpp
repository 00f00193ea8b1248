#include "bindings/native_arrays.hpp"

#include <cstring>

namespace nubiro::py::native {
namespace {

// NumPy's int64 is `long` where long has 64 bits (NPY_LONG), `long long` elsewhere.
constexpr int kInt64 = sizeof(long) == 8 ? 7 : 9;

Ref copy_array(int type_num, std::span<const np::npy_intp> shape, const void* data, std::size_t bytes) {
    Ref arr = np::new_array(type_num, shape, nullptr, nullptr);
    if (bytes) std::memcpy(np::info(arr.get()).data, data, bytes);
    return arr;
}

}  // namespace

Ref int64_array(std::span<const std::int64_t> values) {
    const np::npy_intp shape[1] = {static_cast<np::npy_intp>(values.size())};
    return copy_array(kInt64, shape, values.data(), values.size_bytes());
}

Ref float64_array(std::span<const double> values) {
    const np::npy_intp shape[1] = {static_cast<np::npy_intp>(values.size())};
    return copy_array(np::Float64, shape, values.data(), values.size_bytes());
}

Ref vector3_array(std::span<const Vector3d> values) {
    const np::npy_intp shape[2] = {static_cast<np::npy_intp>(values.size()), 3};
    return copy_array(np::Float64, shape, values.data(), values.size_bytes());
}

std::span<const std::int64_t> int64_values(PyObject* o, const char* name) {
    if (np::is_array(o)) {
        const np::ArrayInfo a = np::info(o);
        const bool int64 = a.native && (a.type_num == kInt64 || (sizeof(long long) == 8 && a.type_num == 9));
        if (int64 && a.ndim == 1 && a.c_contiguous())
            return {reinterpret_cast<const std::int64_t*>(a.data), static_cast<std::size_t>(a.shape[0])};
    }
    raise(PyExc_TypeError, std::string("argument '") + name + "': expected a contiguous 1-D int64 array");
}

Ref cloud_object(Cloud&& cloud) {
    Ref out = new_object<Cloud>(type_of<CloudObject>());
    value_of<Cloud>(out.get()) = std::move(cloud);
    return out;
}

PyObject* selection_tuple(Cloud&& cloud, std::span<const std::int64_t> indices) {
    Ref c = cloud_object(std::move(cloud));
    Ref i = int64_array(indices);
    return check(PyTuple_Pack(2, c.get(), i.get())).release();
}

}  // namespace nubiro::py::native
