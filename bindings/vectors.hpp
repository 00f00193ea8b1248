// The list-like containers of `utility`, written once over the element type. A container is
// either free-standing (it owns `storage`) or a view: then `owner` is a geometry and `target`
// names which of its arrays the view stands for; every operation resolves that array afresh,
// so a view never goes stale.
#pragma once
#include <vector>

#include "bindings/classes.hpp"
#include "core/storage.hpp"

namespace nubiro::py {

template <class E>
struct Container {
    Storage<E> storage;
    Ref owner;
    int target = -1;
};

// One array of a geometry class that views may stand for.
template <class E>
struct ViewTarget {
    PyTypeObject* (*owner_type)();
    const char* wrong_owner;  // e.g. "view owner is not a PointCloud"
    Storage<E>& (*storage)(PyObject* owner);
};

template <class E>
int register_view_target(ViewTarget<E> target);

// A new view of `owner`'s array `target`.
template <class E>
Ref make_view(PyObject* owner, int target);

// A geometry's array as a property: reading gives a live view of it, assigning replaces it by
// the (n, k) rule. Registers the array as a view target; call once per class, at module build.
template <auto Member>
PyGetSetDef array_field(const char* name, const char* wrong_owner);

// Converts `value` to a fresh list of elements by the (n, k) rule. `held_owner` is a geometry
// whose write access the caller already holds: a view of it is read directly instead of taking
// access on it a second time.
template <class E>
Storage<E> elements_from(PyObject* value, PyObject* held_owner = nullptr);

// Replaces a geometry array with the conversion of `value`, holding write access on `owner`
// for the whole step (conversion included). Everything is converted before the array changes,
// so a failed assignment leaves it as it was (and a view of the same array can be assigned to
// it).
template <class E>
void assign_attribute(PyObject* owner, Storage<E>& target, PyObject* value);

// A sequence (not a str) of numbers of any length, each converted as an argument of kind S.
template <class S>
struct NumberSequence {
    std::vector<S> items;
};
template <class S>
struct Convert<NumberSequence<S>> {
    static constexpr bool bare = false;
    static NumberSequence<S> from(PyObject* o);
};

// An argument that must be a container of E, free-standing or a view. Its elements are read in
// place: read access on the container (and a view's owner) is held while this value lives.
template <class E>
struct ContainerArg {
    ReadAccess self_access;
    ReadAccess owner_access;
    const Storage<E>* array;
    std::span<const E> span() const { return array->span(); }
};
template <class E>
struct Convert<ContainerArg<E>> {
    static constexpr bool bare = false;
    static ContainerArg<E> from(PyObject* o);
};

template <class M>
struct ArrayMember;
template <class T, class E>
struct ArrayMember<Storage<E> T::*> {
    using owner = T;
    using element = E;
};

template <auto Member>
PyGetSetDef array_field(const char* name, const char* wrong_owner) {
    using T = typename ArrayMember<decltype(Member)>::owner;
    using E = typename ArrayMember<decltype(Member)>::element;
    static int target = -1;
    target = register_view_target<E>(
        {type_of<Object<T>>, wrong_owner, [](PyObject* owner) -> Storage<E>& { return value_of<T>(owner).*Member; }});
    auto get = [](PyObject* self, void*) -> PyObject* {
        return guarded<PyObject*>(nullptr, [&] {
            ReadAccess r(self);
            return make_view<E>(self, target).release();
        });
    };
    auto set = [](PyObject* self, PyObject* value, void*) -> int {
        return guarded<int>(-1, [&] {
            if (!value) raise(PyExc_AttributeError, "can't delete attribute");
            assign_attribute<E>(self, value_of<T>(self).*Member, value);
            return 0;
        });
    };
    return {name, get, set, nullptr, nullptr};
}

}  // namespace nubiro::py

namespace nubiro::py {
// A container argument (a correspondence set and the like), converted by the (n, k) rule.
template <class E>
struct Convert<Storage<E>> {
    static constexpr bool bare = false;
    static Storage<E> from(PyObject* o) { return elements_from<E>(o); }
};

// A new free-standing container holding `values` (query results and the like).
template <class E>
Ref new_container(Storage<E>&& values);
template <class E>
Ref new_container(const std::vector<E>& values) {
    return new_container(Storage<E>(values.data(), values.size()));
}
}  // namespace nubiro::py
