// AxisAlignedBoundingBox: construction and copies, corner attributes, queries, in-place merge,
// translate/scale, and the refused rotate/transform.
#include "bindings/edits.hpp"
#include "bindings/module.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/bounding_box.hpp"
#include "core/number_text.hpp"

namespace nubiro::py {
namespace {

using Box = geometry::AxisAlignedBoundingBox;
using BoxObject = Object<Box>;

Box& box(PyObject* self) { return value_of<Box>(self); }

PyObject* str_result(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// ---- construction --------------------------------------------------------------------------

// (min_bound=None, max_bound=None): the default box, a copy of another box, or two corners.
PyObject* init(PyObject* self, Args& a) {
    Box made;
    if (a.present(0)) {
        PyObject* first = a.raw(0);
        if (PyObject_TypeCheck(first, type_of<BoxObject>())) {
            ReadAccess r(first);
            made = box(first);
        } else if (!a.present(1)) {
            raise_cannot_convert(first, "AxisAlignedBoundingBox");
        } else {
            Vector3d lo = Convert<Vector3d>::from(first);
            Vector3d hi = Convert<Vector3d>::from(a.raw(1));
            made = Box::from_bounds(lo, hi);
        }
    }
    WriteAccess w(self);
    box(self) = made;
    return none();
}

PyObject* create_from_points(Args& a) {
    auto points = a.get<ContainerArg<Vector3d>>(0);
    return box_object(Box::create_from_points(points.span())).release();
}

// ---- queries ---------------------------------------------------------------------------------

template <auto Query>
PyObject* read(PyObject* self, Args&) {
    ReadAccess r(self);
    return Query(box(self));
}

PyObject* box_points(const Box& b) {
    const auto corners = b.get_box_points();
    return new_container(Storage<Vector3d>(corners.data(), corners.size())).release();
}

PyObject* point_indices_within(PyObject* self, Args& a) {
    auto points = a.get<ContainerArg<Vector3d>>(0);
    std::vector<std::int64_t> inside;
    {
        ReadAccess r(self);
        inside = box(self).get_point_indices_within(points.span());
    }
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(inside.size())));
    for (std::size_t i = 0; i < inside.size(); ++i)
        check(PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromLongLong(inside[i])).release()));
    return out.release();
}

// "AxisAlignedBoundingBox: min: (x, y, z), max: (x, y, z)" with each value in `append`'s form.
template <class Append>
std::string corners_text(const Box& b, Append append) {
    std::string text = "AxisAlignedBoundingBox: min: (";
    for (int k = 0; k < 3; ++k) {
        if (k) text += ", ";
        append(text, b.min_bound[k]);
    }
    text += "), max: (";
    for (int k = 0; k < 3; ++k) {
        if (k) text += ", ";
        append(text, b.max_bound[k]);
    }
    return text + ")";
}

// Four decimals, correctly rounded; NaN as "NaN", and a sign on every negative value
// (negative zero and values that round to zero included).
void append_four_decimals(std::string& out, double x) {
    if (x != x)
        out += "NaN";
    else
        text::append_fixed(out, x, 4);
}

PyObject* print_info(const Box& b) { return str_result(corners_text(b, append_four_decimals)); }

PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        return str_result(corners_text(box(self), [](std::string& out, double x) { text::append_general(out, x); }));
    });
}

// ---- refused edits ---------------------------------------------------------------------------

PyObject* rotate(PyObject*, Args&) {
    raise(PyExc_RuntimeError, "[AxisAlignedBoundingBox::Rotate] Cannot rotate AABB. Convert to OrientedBoundingBox first.");
}

PyObject* transform(PyObject*, Args&) {
    raise(PyExc_RuntimeError,
          "[AxisAlignedBoundingBox::Transform] Cannot apply general transform. Convert to OrientedBoundingBox first or "
          "use Translate/Scale.");
}

// box += other; anything but a box (or a box that cannot be written now) is not ours to add.
PyObject* inplace_add(PyObject* self, PyObject* other) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyObject_TypeCheck(self, type_of<BoxObject>()) || !PyObject_TypeCheck(other, type_of<BoxObject>()))
            Py_RETURN_NOTIMPLEMENTED;
        Box addend;
        {
            auto r = ReadAccess::attempt(other);
            if (!r) Py_RETURN_NOTIMPLEMENTED;
            addend = box(other);
        }
        auto w = WriteAccess::attempt(self);
        if (!w) Py_RETURN_NOTIMPLEMENTED;
        box(self) += addend;
        return self_ref(self);
    });
}

}  // namespace

Ref box_object(const geometry::AxisAlignedBoundingBox& b) {
    Ref out = new_object<Box>(type_of<BoxObject>());
    box(out.get()) = b;
    return out;
}

void add_bounding_box(PyObject* module) {
    ClassSpec cls{kGeometry, "AxisAlignedBoundingBox", "(min_bound=None, max_bound=None)"};
    cls.base = geometry3d_type();
    cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"AxisAlignedBoundingBox(min_bound=None, max_bound=None)", init>)},
                 {Py_tp_repr, reinterpret_cast<void*>(repr)},
                 {Py_nb_inplace_add, reinterpret_cast<void*>(inplace_add)}};
    cls.properties = {field<&Box::min_bound>("min_bound"), field<&Box::max_bound>("max_bound"),
                      field<&Box::color>("color")};
    cls.methods = {
        method<"AxisAlignedBoundingBox.__copy__()", deep_copy<Box>>(),
        method<"AxisAlignedBoundingBox.__deepcopy__(_memo)", deep_copy<Box>>(),
        method<"AxisAlignedBoundingBox.clear()", edits::clear<Box>>(),
        method<"AxisAlignedBoundingBox.is_empty()", read<[](const Box& b) { return boolean(b.is_empty()); }>>(),
        method<"AxisAlignedBoundingBox.dimension()", read<[](const Box&) { return PyLong_FromLong(3); }>>(),
        method<"AxisAlignedBoundingBox.get_geometry_type()", read<[](const Box&) { return geometry_type(12).release(); }>>(),
        method<"AxisAlignedBoundingBox.get_min_bound()", read<[](const Box& b) { return result(b.min_bound); }>>(),
        method<"AxisAlignedBoundingBox.get_max_bound()", read<[](const Box& b) { return result(b.max_bound); }>>(),
        method<"AxisAlignedBoundingBox.get_center()", read<[](const Box& b) { return result(b.get_center()); }>>(),
        method<"AxisAlignedBoundingBox.get_axis_aligned_bounding_box()", read<[](const Box& b) { return box_object(b).release(); }>>(),
        method<"AxisAlignedBoundingBox.get_extent()", read<[](const Box& b) { return result(b.get_extent()); }>>(),
        method<"AxisAlignedBoundingBox.get_half_extent()", read<[](const Box& b) { return result(b.get_half_extent()); }>>(),
        method<"AxisAlignedBoundingBox.get_max_extent()", read<[](const Box& b) { return PyFloat_FromDouble(b.get_max_extent()); }>>(),
        method<"AxisAlignedBoundingBox.volume()", read<[](const Box& b) { return PyFloat_FromDouble(b.volume()); }>>(),
        method<"AxisAlignedBoundingBox.get_box_points()", read<box_points>>(),
        method<"AxisAlignedBoundingBox.get_point_indices_within_bounding_box(points)", point_indices_within>(),
        method<"AxisAlignedBoundingBox.get_print_info()", read<print_info>>(),
        static_method<"AxisAlignedBoundingBox.create_from_points(points)", create_from_points>(),
        method<"AxisAlignedBoundingBox.translate(translation, relative=True)", edits::translate<Box>>(),
        method<"AxisAlignedBoundingBox.scale(scale, center)", edits::scale<Box>>(),
        method<"AxisAlignedBoundingBox.transform(_t)", transform>(),
        method<"AxisAlignedBoundingBox.rotate(r, center=None)", rotate>(),
    };
    add_type(module, make_value_class<Box>(std::move(cls)));
}

}  // namespace nubiro::py
