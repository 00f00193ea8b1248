// The stored verbosity level: set, read and scoped; nothing in the library logs.
#include <atomic>

#include "bindings/enums.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {
namespace {

std::atomic<std::int32_t> verbosity{2};
PyTypeObject* verbosity_type = nullptr;

// A VerbosityLevel member (its value) or a signed 32-bit int, reported without argument name.
std::int32_t level_from(PyObject* o) {
    if (auto v = enum_value(verbosity_type, o)) return *v;
    return Convert<std::int32_t>::from(o);
}

PyObject* set_verbosity_level(Args& a) {
    verbosity.store(level_from(a.raw(0)));
    return none();
}

PyObject* get_verbosity_level(Args&) {
    int level = verbosity.load();
    return enum_member(verbosity_type, level >= 0 && level <= 3 ? level : 2).release();
}

PyObject* reset_print_function(Args&) { return none(); }

struct ScopedLevel {
    std::int32_t level = 2;
    std::int32_t saved = 2;
};
using ScopedLevelObject = Object<ScopedLevel>;

PyObject* scoped_init(ScopedLevelObject* self, Args& a) {
    std::int32_t level = level_from(a.raw(0));
    WriteAccess w(object_of(self));
    self->value.level = level;
    return none();
}

PyObject* scoped_enter(ScopedLevelObject* self, Args&) {
    WriteAccess w(object_of(self));
    self->value.saved = verbosity.exchange(self->value.level);
    return none();
}

PyObject* scoped_exit(ScopedLevelObject* self, Args&) {
    ReadAccess r(object_of(self));
    verbosity.store(self->value.saved);
    return none();
}

}  // namespace

void add_verbosity(PyObject* utility) {
    verbosity_type = make_enum({kUtility, "VerbosityLevel", "<VerbosityLevel.",
                                {{"Error", 0}, {"Warning", 1}, {"Info", 2}, {"Debug", 3}}});
    for (auto [name, value] : {std::pair{"Error", 0}, {"Warning", 1}, {"Info", 2}, {"Debug", 3}})
        check(PyObject_SetAttrString(reinterpret_cast<PyObject*>(verbosity_type), name,
                                     enum_member(verbosity_type, value).get()));
    add_type(utility, verbosity_type);

    ClassSpec manager{kUtility, "VerbosityContextManager", "(level)"};
    manager.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"VerbosityContextManager(level)", scoped_init>)}};
    manager.methods = {method<"VerbosityContextManager.__enter__()", scoped_enter>(),
                       method<"VerbosityContextManager.__exit__(_t, _v, _tb)", scoped_exit>()};
    add_type(utility, make_value_class<ScopedLevel>(std::move(manager)));

    for (const char* name : {"Error", "Warning", "Info", "Debug"})
        add(utility, name, check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(verbosity_type), name)));
    add_functions(utility, {function<"set_verbosity_level(verbosity_level)", set_verbosity_level>(),
                            function<"get_verbosity_level()", get_verbosity_level>(),
                            function<"reset_print_function()", reset_print_function>()});
}

}  // namespace nubiro::py
