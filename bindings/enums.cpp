#include "bindings/enums.hpp"

#include <deque>

namespace nubiro::py {

namespace {

struct EnumValue {
    int value = 0;
    Ref name;
};
using EnumObject = Object<EnumValue>;

struct Registered {
    PyTypeObject* type;
    EnumSpec table;
};
std::deque<Registered> registry;

const EnumSpec& table_of(PyTypeObject* type) {
    for (auto& r : registry)
        if (PyType_IsSubtype(type, r.type)) return r.table;
    throw std::logic_error("unregistered enumeration type");
}

EnumValue& member(PyObject* o) { return value_of<EnumValue>(o); }

PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        const EnumSpec& table = table_of(Py_TYPE(self));
        std::string text = std::string(table.repr_prefix) + str(member(self).name.get()) + ": " +
                           std::to_string(member(self).value) + ">";
        return PyUnicode_FromString(text.c_str());
    });
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    int same_name = PyObject_RichCompareBool(member(self).name.get(), member(other).name.get(), Py_EQ);
    if (same_name < 0) return nullptr;
    bool equal = member(self).value == member(other).value && same_name;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

Py_hash_t hash(PyObject* self) {
    Py_hash_t h = PyObject_Hash(member(self).name.get());
    if (h == -1) return -1;
    h ^= static_cast<Py_hash_t>(member(self).value) * 1000003;
    return h == -1 ? -2 : h;
}

PyObject* to_int(PyObject* self) { return PyLong_FromLong(member(self).value); }

PyObject* get_name(PyObject* self, void*) { return Ref::borrow(member(self).name.get()).release(); }
PyObject* get_value(PyObject* self, void*) { return PyLong_FromLong(member(self).value); }

}  // namespace

PyTypeObject* make_enum(EnumSpec table) {
    ClassSpec cls{table.module, table.name};
    cls.basicsize = sizeof(EnumObject);
    cls.slots = {{Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc_value<EnumValue>)},
                 {Py_tp_repr, reinterpret_cast<void*>(repr)},
                 {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
                 {Py_tp_hash, reinterpret_cast<void*>(hash)},
                 {Py_nb_int, reinterpret_cast<void*>(to_int)},
                 {Py_nb_index, reinterpret_cast<void*>(to_int)}};
    cls.properties = {{"name", get_name, nullptr, nullptr, nullptr}, {"value", get_value, nullptr, nullptr, nullptr}};
    PyTypeObject* type = make_class(std::move(cls));
    registry.push_back({type, std::move(table)});
    return type;
}

Ref enum_member(PyTypeObject* type, int value) {
    const EnumSpec& table = table_of(type);
    const char* name = nullptr;
    for (auto& [n, v] : table.members)
        if (v == value) name = n;
    if (!name) throw std::logic_error("no enumeration member for value " + std::to_string(value));
    Ref self = new_object<EnumValue>(type);
    member(self.get()) = {value, check(PyUnicode_FromString(name))};
    return self;
}

std::optional<int> enum_value(PyTypeObject* type, PyObject* o) {
    if (!PyObject_TypeCheck(o, type)) return std::nullopt;
    return member(o).value;
}

}  // namespace nubiro::py
