// The class registry: heap types built from slot tables, and the templates that turn plain
// C++ functions into methods, properties and constructors. A binding body looks like
//
//   PyObject* translate(CloudObject* self, Args& a) { ... }
//   method<"PointCloud.translate(translation, relative=True)", translate>()
//
// and everything else (argument binding, the error mapping, text signatures) happens here.
#pragma once
#include <algorithm>
#include <new>
#include <tuple>
#include <string>
#include <type_traits>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/py.hpp"

namespace nubiro::py {

// Function-pointer traits: the self type and the argument list.
template <class Fn>
struct FnTraits;
template <class R, class S, class... A>
struct FnTraits<R (*)(S*, A...)> {
    using self = S;
    using args = std::tuple<S*, A...>;
};

template <std::size_t N>
struct Text {
    char value[N]{};
    constexpr Text() = default;
    constexpr Text(const char (&s)[N]) { std::copy_n(s, N, value); }
};
// Compile-time concatenation, so templates can build "Name.method(...)" signatures.
template <std::size_t N, std::size_t M>
constexpr Text<N + M - 1> operator+(const Text<N>& a, const char (&b)[M]) {
    Text<N + M - 1> out{};
    std::copy_n(a.value, N - 1, out.value);
    std::copy_n(b, M, out.value + N - 1);
    return out;
}

// ---- registry of Object<T> types -----------------------------------------------------------

template <class O>
struct ClassSlot {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = "";
};
template <class O>
PyTypeObject* type_of() {
    return ClassSlot<O>::type;
}
template <class O>
const char* class_name_of() {
    return ClassSlot<O>::name;
}

// The C++ value of an object known to be of (a subclass of) O's type.
template <class T>
T& value_of(PyObject* o) {
    return reinterpret_cast<Object<T>*>(o)->value;
}

template <class T>
PyObject* tp_new_value(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = check(alloc(type, 0)).release();
        auto* obj = reinterpret_cast<Object<T>*>(self);
        new (&obj->head.flag) BorrowFlag();
        try {
            new (&obj->value) T();
        } catch (...) {
            // The value was never built: free the bare object without running tp_dealloc.
            auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
            free_fn(self);
            Py_DECREF(type);
            throw;
        }
        return self;
    });
}

// A new object of `type` holding a default value, made without calling the class (also for
// classes that Python code cannot instantiate).
template <class T>
Ref new_object(PyTypeObject* type) {
    return check(tp_new_value<T>(type, nullptr, nullptr));
}

template <class T>
void tp_dealloc_value(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Object<T>*>(self)->value.~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* tp_new_refused(PyTypeObject* type, PyObject*, PyObject*);

struct ClassSpec {
    const char* module;                  // "nubiro.cpu.pybind.geometry"
    const char* name;                    // "PointCloud"
    const char* constructor = nullptr;   // "(other=None)"; nullptr: no constructor
    PyTypeObject* base = nullptr;        // nullptr: object
    bool subclassable = false;
    int basicsize = 0;                   // 0: the base's
    std::vector<PyType_Slot> slots = {};
    std::vector<PyMethodDef> methods = {};
    std::vector<PyGetSetDef> properties = {};
    unsigned long extra_flags = 0;
};

PyTypeObject* make_class(ClassSpec cls);

// Records a type whose instances start with our Header; tells whether `o` is such an instance.
void register_value_type(PyTypeObject* type);
bool is_value_object(PyObject* o);

// Builds and records the type of Object<T>.
template <class T>
PyTypeObject* make_value_class(ClassSpec cls) {
    cls.basicsize = sizeof(Object<T>);
    if (cls.constructor) cls.slots.push_back({Py_tp_new, reinterpret_cast<void*>(tp_new_value<T>)});
    cls.slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc_value<T>)});
    const char* name = cls.name;
    PyTypeObject* type = make_class(std::move(cls));
    register_value_type(type);
    ClassSlot<Object<T>>::type = type;
    ClassSlot<Object<T>>::name = name;
    return type;
}

// ---- the copy protocol ---------------------------------------------------------------------

// Constructor `(other=None)`: empty, or an independent deep copy of another instance.
template <class T>
PyObject* init_copy(PyObject* self, Args& a) {
    auto other = a.optional<Instance<Object<T>>>(0);
    T copy;
    if (other) {
        ReadAccess r(other->object());
        copy = other->ptr->value;
    }
    WriteAccess w(self);
    value_of<T>(self) = std::move(copy);
    return none();
}

// __copy__ / __deepcopy__: a deep copy of the exact registered class (never a Python subclass).
template <class T>
PyObject* deep_copy(PyObject* self, Args&) {
    Ref out = new_object<T>(type_of<Object<T>>());
    ReadAccess r(self);
    value_of<T>(out.get()) = value_of<T>(self);
    return out.release();
}

// ---- methods -------------------------------------------------------------------------------

template <auto F>
PyObject* call_body(PyObject* self, Args& a) {
    using Fn = decltype(F);
    if constexpr (std::is_invocable_v<Fn, Args&>) {
        return F(a);
    } else if constexpr (std::is_invocable_v<Fn, PyObject*, Args&>) {
        return F(self, a);
    } else {
        using Self = std::remove_pointer_t<std::tuple_element_t<0, typename FnTraits<Fn>::args>>;
        return F(reinterpret_cast<Self*>(self), a);
    }
}

template <Text S, auto F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig(S.value);
    return guarded<PyObject*>(nullptr, [&] {
        Args a(sig, args, nargs, kwnames);
        return call_body<F>(self, a);
    });
}

std::string text_signature_doc(const Signature& sig, bool with_self);

// `Doc` is the docstring after the text signature; members have none unless stated.
template <Text S, auto F, Text Doc = "">
PyMethodDef method_def(int flags, bool with_self) {
    static const Signature sig(S.value);
    static const std::string doc = text_signature_doc(sig, with_self) + Doc.value;
    return {sig.name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fastcall<S, F>)),
            METH_FASTCALL | METH_KEYWORDS | flags, doc.c_str()};
}
template <Text S, auto F, Text Doc = "">
PyMethodDef method() {
    return method_def<S, F, Doc>(0, true);
}
template <Text S, auto F>
PyMethodDef static_method() {
    return method_def<S, F>(METH_STATIC, false);
}
// A module-level function.
template <Text S, auto F>
PyMethodDef function() {
    return method_def<S, F>(0, false);
}
void add_functions(PyObject* module, std::vector<PyMethodDef> functions);

// tp_init from a body taking the same Args.
template <Text S, auto F>
int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Signature sig(S.value);
    return guarded<int>(-1, [&] {
        Args a(sig, args, kwargs);
        call_body<F>(self, a);
        return 0;
    });
}

// ---- properties ----------------------------------------------------------------------------
//
// A property is one line over the class's value type:
//
//   field<&Box::min_bound>("min_bound")                      read and assign a data member
//   readonly_field<&Checker::threshold>("distance_threshold")
//   computed<with_scaling, set_with_scaling>("with_scaling")  through functions of the value
//
// The getter reads under read access; the setter converts the assigned value first, with the
// argument rules of its kind and named after the attribute, then writes under write access, so
// a failed assignment changes nothing. Deleting raises "can't delete attribute". The attribute
// name travels in the closure slot, so one instantiation serves every name.

// How a value of type V crosses: `out` makes the new Python value, `in` converts an assigned
// one. A class whose attribute reads or words its errors differently passes its own face.
template <class V>
struct Face {
    static PyObject* out(const V& v) {
        if constexpr (std::is_same_v<V, bool>)
            return boolean(v);
        else if constexpr (std::is_same_v<V, double>)
            return PyFloat_FromDouble(v);
        else if constexpr (std::is_same_v<V, std::int32_t>)
            return PyLong_FromLong(v);
        else
            return result(v);
    }
    static V in(PyObject* value, const char* name) { return convert_named<V>(value, name); }
};

template <class M>
struct MemberTraits;
template <class T, class V>
struct MemberTraits<V T::*> {
    using owner = T;
    using value = V;
};

// The argument types of a plain function or a captureless lambda.
template <class F>
struct CallTraits : CallTraits<decltype(&F::operator())> {};
template <class R, class... A>
struct CallTraits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<std::remove_cvref_t<A>...>;
};
template <class R, class C, class... A>
struct CallTraits<R (C::*)(A...) const> : CallTraits<R (*)(A...)> {};

inline const char* attribute_name(void* closure) { return static_cast<const char*>(closure); }

template <class T, auto Get>
PyObject* computed_get(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ReadAccess r(self);
        using R = typename CallTraits<decltype(Get)>::result;
        if constexpr (std::is_same_v<R, PyObject*>)
            return Get(value_of<T>(self));
        else
            return Face<std::remove_cvref_t<R>>::out(Get(value_of<T>(self)));
    });
}

template <class T, auto Set, class F>
int computed_set(PyObject* self, PyObject* value, void* closure) {
    return guarded<int>(-1, [&] {
        if (!value) raise(PyExc_AttributeError, "can't delete attribute");
        auto converted = F::in(value, attribute_name(closure));
        WriteAccess w(self);
        Set(value_of<T>(self), std::move(converted));
        return 0;
    });
}

template <auto Member>
void write_member(typename MemberTraits<decltype(Member)>::owner& v, typename MemberTraits<decltype(Member)>::value x) {
    v.*Member = std::move(x);
}

// A property through functions of the value: Get(const T&) returns a value with a face (or a
// new PyObject*); Set(T&, V), if given, receives the assigned value converted by F.
template <auto Get, auto Set,
          class F = Face<std::tuple_element_t<1, typename CallTraits<decltype(Set)>::args>>>
PyGetSetDef computed(const char* name) {
    using T = std::tuple_element_t<0, typename CallTraits<decltype(Get)>::args>;
    return {name, computed_get<T, Get>, computed_set<T, Set, F>, nullptr, const_cast<char*>(name)};
}
template <auto Get>
PyGetSetDef computed(const char* name) {
    using T = std::tuple_element_t<0, typename CallTraits<decltype(Get)>::args>;
    return {name, computed_get<T, Get>, nullptr, nullptr, const_cast<char*>(name)};
}

// A data member of the value, read and assigned through F.
template <auto Member, class F = Face<typename MemberTraits<decltype(Member)>::value>>
PyGetSetDef field(const char* name) {
    using T = typename MemberTraits<decltype(Member)>::owner;
    return {name, computed_get<T, [](const T& v) { return F::out(v.*Member); }>,
            computed_set<T, write_member<Member>, F>, nullptr, const_cast<char*>(name)};
}
template <auto Member, class F = Face<typename MemberTraits<decltype(Member)>::value>>
PyGetSetDef readonly_field(const char* name) {
    using T = typename MemberTraits<decltype(Member)>::owner;
    return {name, computed_get<T, [](const T& v) { return F::out(v.*Member); }>, nullptr, nullptr,
            const_cast<char*>(name)};
}

// ---- single-slot adapters (repr, len, ...) -------------------------------------------------

template <auto F>
PyObject* unary(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] { return F(reinterpret_cast<typename FnTraits<decltype(F)>::self*>(self)); });
}

}  // namespace nubiro::py
