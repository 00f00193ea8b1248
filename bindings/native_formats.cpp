// nubiro._native: the file formats beyond the io module's PLY and XYZ functions. Unlike those,
// these report what is wrong: a damaged file raises ValueError with the reader's message (the
// Python layer puts the file name in front), an unreadable one OSError.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "bindings/classes.hpp"
#include "bindings/module.hpp"
#include "bindings/native_arrays.hpp"
#include "core/io/mod.hpp"
#include "core/io/pcd.hpp"
#include "core/io/ply.hpp"
#include "core/io/source.hpp"
#include "core/io/text_columns.hpp"
#include "core/io/xyz.hpp"

namespace nubiro::py {
namespace {

using namespace native;

// The NumPy type number of a PCD value type (int64 is NPY_LONG where long has 64 bits).
int numpy_type(char type, std::uint32_t size) {
    constexpr bool long64 = sizeof(long) == 8;
    if (type == 'F') return size == 4 ? 11 : 12;
    switch (size) {
        case 1: return type == 'I' ? 1 : 2;
        case 2: return type == 'I' ? 3 : 4;
        case 4: return type == 'I' ? 5 : 6;
        default: return type == 'I' ? (long64 ? 7 : 9) : (long64 ? 8 : 10);
    }
}

Ref text(std::string_view s) { return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))); }
Ref integer(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

void set(PyObject* dict, const char* key, Ref value) { check(PyDict_SetItemString(dict, key, value.get())); }

// The whole file, or OSError when it cannot be read (the Python layer has already checked that
// it exists and is a file).
template <class Parse>
auto read_file(const Path& path, Parse&& parse) {
    bool readable = true;
    auto result = [&] {
        return released([&] {
            io::FileBytes bytes(path.native);
            readable = bytes.ok();
            return parse(readable ? bytes.view() : std::string_view());
        });
    }();
    if (!readable) raise(PyExc_OSError, path.text + ": cannot be read");
    if (!result) raise(result.error());
    return std::move(result.value());
}

Ref header_dict(const io::pcd::Header& h) {
    Ref d = check(PyDict_New());
    set(d.get(), "version", text(h.version));
    Ref fields = check(PyList_New(0));
    for (const auto& f : h.fields) {
        Ref item = check(Py_BuildValue("(s#sIK)", f.name.data(), static_cast<Py_ssize_t>(f.name.size()),
                                       std::string(1, f.type).c_str(), f.size,
                                       static_cast<unsigned long long>(f.count)));
        check(PyList_Append(fields.get(), item.get()));
    }
    set(d.get(), "fields", fields);
    set(d.get(), "width", integer(h.width));
    set(d.get(), "height", integer(h.height));
    set(d.get(), "points", integer(h.points));
    Ref vp = check(PyTuple_New(7));
    for (Py_ssize_t i = 0; i < 7; ++i) check(PyTuple_SetItem(vp.get(), i, check(PyFloat_FromDouble(h.viewpoint[i])).release()));
    set(d.get(), "viewpoint", vp);
    set(d.get(), "data", text(io::pcd::encoding_name(h.encoding)));
    return d;
}

// pcd_read(path, remove_non_finite, fields) -> (cloud, {name: array}, header dict); the
// dict is empty unless `fields`.
PyObject* pcd_read(Args& a) {
    const Path path = a.get<Path>(0);
    const bool remove_non_finite = a.get<bool>(1);
    const bool keep_fields = a.get<bool>(2);
    bool readable = true;
    Result<io::pcd::Cloud> read = released([&]() -> Result<io::pcd::Cloud> {
        io::FileSource source(path.native);
        readable = source.ok();
        if (!readable) return value_error("");
        return io::pcd::read(source, remove_non_finite, keep_fields);
    });
    if (!readable) raise(PyExc_OSError, path.text + ": cannot be read");
    io::pcd::Cloud c = unwrap(std::move(read));
    Ref fields = check(PyDict_New());
    const auto n = static_cast<np::npy_intp>(c.cloud.points.size());
    for (const auto& f : c.fields) {
        const np::npy_intp shape[2] = {n, static_cast<np::npy_intp>(f.field.count)};
        Ref arr = np::new_array(numpy_type(f.field.type, f.field.size), std::span(shape, f.field.count == 1 ? 1 : 2),
                                nullptr, nullptr);
        if (!f.bytes.empty()) std::memcpy(np::info(arr.get()).data, f.bytes.data(), f.bytes.size());
        if (!PyDict_Contains(fields.get(), text(f.field.name).get())) set(fields.get(), f.field.name.c_str(), arr);
    }
    Ref header = header_dict(c.header);
    Ref cloud = cloud_object(std::move(c.cloud));
    return check(PyTuple_Pack(3, cloud.get(), fields.get(), header.get())).release();
}

// Runs write(cloud, output) into the file at `path` without the GIL: the writer's errors as
// they are, OSError when the file refuses a piece or cannot be closed.
template <class Write>
void write_file(const Path& path, PyObject* cloud, Write&& write) {
    bool written = false;
    with_cloud(cloud, [&](const Cloud& c) -> Result<bool> {
        io::FileWriter file(path.native);
        Result<bool> r = write(c, io::file_output(file));
        const bool closed = file.close();
        if (r) written = *r && closed;
        return r;
    });
    if (!written) raise(PyExc_OSError, path.text + ": cannot be written");
}

io::pcd::Encoding encoding_arg(const std::string& name) {
    if (name == "binary") return io::pcd::Encoding::Binary;
    if (name == "binary_compressed") return io::pcd::Encoding::BinaryCompressed;
    if (name == "ascii") return io::pcd::Encoding::Ascii;
    raise(PyExc_ValueError, "argument 'encoding': expected 'binary', 'binary_compressed' or 'ascii', got '" + name + "'");
}

// pcd_write(path, cloud, encoding, double, width, height, viewpoint, fields) where fields is
// a list of (name, type, size, count, bytes): the values of each extra field, point after point.
PyObject* pcd_write(Args& a) {
    const Path path = a.get<Path>(0);
    PyObject* cloud = cloud_arg(a, 1);
    io::pcd::WriteOptions options;
    options.encoding = encoding_arg(a.get<std::string>(2));
    options.double_precision = a.get<bool>(3);
    options.width = a.get<std::uint64_t>(4);
    options.height = a.get<std::uint64_t>(5);
    const auto vp = a.get<MatrixView>(6);
    if (vp.rows != 1 || vp.cols != 7) raise(PyExc_ValueError, "viewpoint must hold 7 numbers");
    for (int i = 0; i < 7; ++i) options.viewpoint[i] = vp.at(0, i);
    std::vector<io::pcd::FieldValues> extra;
    PyObject* items = a.raw(7);
    const Py_ssize_t count_items = PySequence_Size(items);
    if (count_items < 0) raise_current();
    for (Py_ssize_t i = 0; i < count_items; ++i) {
        Ref held = check(PySequence_GetItem(items, i));
        PyObject* item = held.get();
        const char *name = nullptr, *type = nullptr, *data = nullptr;
        unsigned size = 0;
        unsigned long long count = 0;
        Py_ssize_t length = 0;
        if (!PyArg_ParseTuple(item, "ssIKy#", &name, &type, &size, &count, &data, &length)) raise_current();
        io::pcd::FieldValues f;
        f.field = {name, type[0], size, count};
        f.bytes.assign(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + length);
        extra.push_back(std::move(f));
    }
    write_file(path, cloud,
               [&](const Cloud& c, const io::Output& out) { return io::pcd::write(c, extra, options, out); });
    return none();
}

// The NumPy type number of a PLY value type.
int numpy_type(io::ply::ValueType type) {
    using T = io::ply::ValueType;
    switch (type) {
        case T::Int8: return 1;
        case T::UInt8: return 2;
        case T::Int16: return 3;
        case T::UInt16: return 4;
        case T::Int32: return 5;
        case T::UInt32: return 6;
        case T::Float32: return 11;
        case T::Float64: return 12;
    }
    return 12;
}

// An extra property's values as an array of its declared type. Binary values always fit it
// exactly; a text file may hold any number in any column, and an integer column with a value
// that is not one of its integers (1.5, nan, 300 for uchar) stays float64 rather than be cut.
template <class T>
Ref typed_values(int type_num, std::span<const double> values) {
    if constexpr (std::is_integral_v<T>) {
        constexpr double low = static_cast<double>(std::numeric_limits<T>::min());
        constexpr double high = static_cast<double>(std::numeric_limits<T>::max());
        for (double v : values)
            if (!(v >= low && v <= high && v == std::trunc(v))) return float64_array(values);
    }
    const np::npy_intp shape[1] = {static_cast<np::npy_intp>(values.size())};
    Ref arr = np::new_array(type_num, std::span(shape, 1), nullptr, nullptr);
    T* to = reinterpret_cast<T*>(np::info(arr.get()).data);  // NumPy aligns new arrays
    for (std::size_t i = 0; i < values.size(); ++i) to[i] = static_cast<T>(values[i]);
    return arr;
}

Ref extra_values(const io::ply::ExtraProperty& e) {
    using T = io::ply::ValueType;
    const std::span<const double> v = e.values.span();
    const int type_num = numpy_type(e.type);
    switch (e.type) {
        case T::Int8: return typed_values<std::int8_t>(type_num, v);
        case T::UInt8: return typed_values<std::uint8_t>(type_num, v);
        case T::Int16: return typed_values<std::int16_t>(type_num, v);
        case T::UInt16: return typed_values<std::uint16_t>(type_num, v);
        case T::Int32: return typed_values<std::int32_t>(type_num, v);
        case T::UInt32: return typed_values<std::uint32_t>(type_num, v);
        case T::Float32: return typed_values<float>(type_num, v);
        case T::Float64: break;
    }
    return float64_array(v);
}

// ply_read(path, fields) -> (cloud, {name: array}): the io module's PLY reader, but a damaged
// file raises; with `fields`, the vertex element's other scalar properties come back by name.
PyObject* ply_read(Args& a) {
    const Path path = a.get<Path>(0);
    const bool want_fields = a.get<bool>(1);
    bool readable = true;
    std::optional<io::ply::CloudData> parsed;
    std::vector<io::ply::ExtraProperty> extras;
    {
        released([&] {
            io::FileSource source(path.native);  // read in blocks, not whole
            readable = source.ok();
            if (readable) parsed = want_fields ? io::ply::read_point_cloud(source, extras) : io::ply::read_point_cloud(source);
        });
    }
    if (!readable) raise(PyExc_OSError, path.text + ": cannot be read");
    if (!parsed) raise(PyExc_ValueError, "not a PLY file with vertices, or a damaged one");
    Ref fields = check(PyDict_New());
    for (const auto& e : extras) check(PyDict_SetItem(fields.get(), text(e.name).get(), extra_values(e).get()));
    Cloud c;
    c.points = std::move(parsed->points);
    c.normals = std::move(parsed->normals);
    c.colors = std::move(parsed->colors);
    Ref cloud = cloud_object(std::move(c));
    return check(PyTuple_Pack(2, cloud.get(), fields.get())).release();
}

// A field's values for the PLY writer, read in place: a 1-D C-contiguous array of one of the
// eight PLY types in native byte order.
io::ply::ExtraColumn extra_column(const char* name, PyObject* array) {
    using T = io::ply::ValueType;
    if (np::is_array(array)) {
        const np::ArrayInfo v = np::info(array);
        for (T t : {T::Int8, T::UInt8, T::Int16, T::UInt16, T::Int32, T::UInt32, T::Float32, T::Float64})
            if (v.is(numpy_type(t)) && v.ndim == 1 && v.c_contiguous())
                return {name, t, v.data, static_cast<std::size_t>(v.shape[0])};
    }
    raise(PyExc_TypeError,
          std::string("field '") + name + "': expected a contiguous 1-D array of a PLY type in native byte order");
}

// ply_write(path, cloud, ascii, fields) where fields is a list of (name, array): one vertex
// property per array, of the array's type, after the cloud's own columns.
PyObject* ply_write(Args& a) {
    const Path path = a.get<Path>(0);
    PyObject* cloud = cloud_arg(a, 1);
    const bool ascii = a.get<bool>(2);
    std::vector<io::ply::ExtraColumn> extra;
    std::vector<Ref> held;  // the items whose arrays are read without the GIL
    PyObject* items = a.raw(3);
    const Py_ssize_t count_items = PySequence_Size(items);
    if (count_items < 0) raise_current();
    for (Py_ssize_t i = 0; i < count_items; ++i) {
        PyObject* item = held.emplace_back(check(PySequence_GetItem(items, i))).get();
        const char* name = nullptr;
        PyObject* array = nullptr;
        if (!PyArg_ParseTuple(item, "sO", &name, &array)) raise_current();
        extra.push_back(extra_column(name, array));
    }
    write_file(path, cloud,
               [&](const Cloud& c, const io::Output& out) { return io::ply::write_point_cloud(c, extra, ascii, out); });
    return none();
}

io::text_columns::Layout layout_arg(const std::string& name) {
    if (name == "xyzn") return io::text_columns::Layout::Xyzn;
    if (name == "xyzrgb") return io::text_columns::Layout::Xyzrgb;
    if (name == "pts") return io::text_columns::Layout::Pts;
    raise(PyExc_ValueError, "argument 'layout': expected 'xyzn', 'xyzrgb' or 'pts', got '" + name + "'");
}

// text_read(path, layout) -> (cloud, intensity or None); layout "xyz" is the plain XYZ reader.
PyObject* text_read(Args& a) {
    const Path path = a.get<Path>(0);
    const std::string layout = a.get<std::string>(1);
    if (layout == "xyz") {
        Cloud cloud = read_file(path, [](std::string_view data) -> Result<Cloud> {
            Cloud c;
            c.points = io::xyz::read(data);
            if (c.points.size() == 0) return value_error("no point could be read (the format needs lines of three numbers)");
            return c;
        });
        return check(PyTuple_Pack(2, cloud_object(std::move(cloud)).get(), Py_None)).release();
    }
    const auto l = layout_arg(layout);
    io::text_columns::Cloud c = read_file(path, [&](std::string_view data) { return io::text_columns::read(data, l); });
    Ref intensity = c.intensity.empty() ? Ref::borrow(Py_None) : float64_array(c.intensity);
    Ref cloud = cloud_object(std::move(c.cloud));
    return check(PyTuple_Pack(2, cloud.get(), intensity.get())).release();
}

// zero_cloud(n, colors) -> a cloud of n points at the origin (and n black colours): readers
// that decode in Python fill it through its arrays' views, so the data is never held twice.
PyObject* zero_cloud(Args& a) {
    const std::uint64_t n = a.get<std::uint64_t>(0);
    const bool colors = a.get<bool>(1);
    if (n > std::uint64_t{1} << 40) raise(PyExc_ValueError, "too many points: " + std::to_string(n));
    Cloud c;
    c.points.resize(static_cast<std::size_t>(n));
    if (colors) c.colors.resize(static_cast<std::size_t>(n));
    return cloud_object(std::move(c)).release();
}

// text_write(path, cloud, layout)
PyObject* text_write(Args& a) {
    const Path path = a.get<Path>(0);
    PyObject* cloud = cloud_arg(a, 1);
    const std::string layout = a.get<std::string>(2);
    const std::optional<io::text_columns::Layout> l =
        layout == "xyz" ? std::nullopt : std::optional(layout_arg(layout));
    bool written = false;
    with_cloud(cloud, [&](const Cloud& c) -> Result<bool> {
        const std::string body = l ? io::text_columns::write(c, *l) : io::xyz::write(c.points.span());
        io::FileWriter file(path.native);
        written = file.write(body) && file.close();
        return written;
    });
    if (!written) raise(PyExc_OSError, path.text + ": cannot be written");
    return none();
}

}  // namespace

void add_native_formats(PyObject* native) {
    add_functions(native, {
        function<"pcd_read(path, remove_non_finite, fields)", pcd_read>(),
        function<"pcd_write(path, cloud, encoding, double, width, height, viewpoint, fields)", pcd_write>(),
        function<"ply_read(path, fields)", ply_read>(),
        function<"ply_write(path, cloud, ascii, fields)", ply_write>(),
        function<"text_read(path, layout)", text_read>(),
        function<"text_write(path, cloud, layout)", text_write>(),
        function<"zero_cloud(n, colors)", zero_cloud>(),
    });
}

}  // namespace nubiro::py
