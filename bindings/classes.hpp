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
        ReadAccess r(&other->ptr->head.ob_base);
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

template <auto Get>
PyObject* getter(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return Get(reinterpret_cast<typename FnTraits<decltype(Get)>::self*>(self)); });
}
template <auto Set>
int setter(PyObject* self, PyObject* value, void*) {
    return guarded<int>(-1, [&] {
        if (!value) raise(PyExc_AttributeError, "can't delete attribute");
        Set(reinterpret_cast<typename FnTraits<decltype(Set)>::self*>(self), value);
        return 0;
    });
}
template <auto Get>
PyGetSetDef readonly(const char* name) {
    return {name, getter<Get>, nullptr, nullptr, nullptr};
}
template <auto Get, auto Set>
PyGetSetDef property(const char* name) {
    return {name, getter<Get>, setter<Set>, nullptr, nullptr};
}

// ---- single-slot adapters (repr, len, ...) -------------------------------------------------

template <auto F>
PyObject* unary(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] { return F(reinterpret_cast<typename FnTraits<decltype(F)>::self*>(self)); });
}

}  // namespace nubiro::py
