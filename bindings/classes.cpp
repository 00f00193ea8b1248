#include "bindings/classes.hpp"

#include <deque>

namespace nubiro::py {

namespace {
// Type names, method tables and property tables are referenced by the types for the rest of
// the process; they live here and are never freed.
const char* keep(std::string s) {
    static std::deque<std::string> strings;
    return strings.emplace_back(std::move(s)).c_str();
}
template <class T>
T* keep_table(std::vector<T> v) {
    static std::deque<std::vector<T>> tables;
    v.push_back(T{});  // sentinel
    return tables.emplace_back(std::move(v)).data();
}
}  // namespace

namespace {
std::vector<PyTypeObject*> value_types;
}
void register_value_type(PyTypeObject* type) { value_types.push_back(type); }
bool is_value_object(PyObject* o) {
    for (PyTypeObject* t : value_types)
        if (PyObject_TypeCheck(o, t)) return true;
    return false;
}

PyObject* tp_new_refused(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref name = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
        raise(PyExc_TypeError, "No constructor defined for " + str(name.get()));
    });
}

std::string text_signature_doc(const Signature& sig, bool with_self) {
    std::string params = sig.params;
    if (with_self) params = params.empty() ? "$self" : "$self, " + params;
    return sig.name + "(" + params + ")\n--\n\n";
}

void add_functions(PyObject* module, std::vector<PyMethodDef> functions) {
    check(PyModule_AddFunctions(module, keep_table(std::move(functions))));
}

PyTypeObject* make_class(ClassSpec cls) {
    std::string full = std::string(cls.module) + "." + cls.name;
    std::string doc = cls.constructor ? std::string(cls.name) + cls.constructor + "\n--\n\n" : "";
    std::vector<PyType_Slot> slots = cls.slots;
    slots.push_back({Py_tp_doc, const_cast<char*>(keep(doc))});
    if (!cls.constructor) slots.push_back({Py_tp_new, reinterpret_cast<void*>(tp_new_refused)});
    if (!cls.methods.empty()) slots.push_back({Py_tp_methods, keep_table(cls.methods)});
    if (!cls.properties.empty()) slots.push_back({Py_tp_getset, keep_table(cls.properties)});

    PyType_Spec type_spec{keep(full), cls.basicsize, 0,
                          static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | (cls.subclassable ? Py_TPFLAGS_BASETYPE : 0) |
                                                    cls.extra_flags),
                          keep_table(std::move(slots))};
    Ref bases;
    if (cls.base) bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(cls.base)));
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpecWithBases(&type_spec, bases.get())).release());
}

}  // namespace nubiro::py
