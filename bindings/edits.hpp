// In-place edits shared by the geometry classes. Each converts all of its arguments first, then
// takes write access and changes the geometry, and returns the object itself.
#pragma once
#include "bindings/classes.hpp"

namespace nubiro::py::edits {

template <class G, class F>
PyObject* edit(PyObject* self, F&& change) {
    WriteAccess w(self);
    change(value_of<G>(self));
    return self_ref(self);
}

template <class G>
PyObject* clear(PyObject* self, Args&) {
    return edit<G>(self, [](G& g) { g.clear(); });
}

template <class G>
PyObject* translate(PyObject* self, Args& a) {
    Vector3d t = a.get<Vector3d>(0);
    bool relative = a.get<bool>(1, true);
    return edit<G>(self, [&](G& g) { g.translate(t, relative); });
}

template <class G>
PyObject* scale(PyObject* self, Args& a) {
    double f = a.get<double>(0);
    Vector3d center = a.get<Vector3d>(1);
    return edit<G>(self, [&](G& g) { g.scale(f, center); });
}

// Geometries whose arrays move freely (points, vertices and their normals).
template <class G>
PyObject* transform(PyObject* self, Args& a) {
    Matrix4d t = a.get<Matrix4d>(0);
    return edit<G>(self, [&](G& g) { g.transform(t); });
}

template <class G>
PyObject* rotate(PyObject* self, Args& a) {
    Matrix3d r = a.get<Matrix3d>(0);
    auto center = a.optional<Vector3d>(1);
    return edit<G>(self, [&](G& g) { center ? g.rotate(r, *center) : g.rotate(r); });
}

template <class G>
PyObject* normalize_normals(PyObject* self, Args&) {
    return edit<G>(self, [](G& g) { g.normalize_normals(); });
}

template <class G>
PyObject* paint_uniform_color(PyObject* self, Args& a) {
    Vector3d color = a.get<Vector3d>(0);
    return edit<G>(self, [&](G& g) { g.paint_uniform_color(color); });
}

}  // namespace nubiro::py::edits
