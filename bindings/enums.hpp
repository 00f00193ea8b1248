// One mechanism for every enumeration class (GeometryType, VerbosityLevel, FileGeometry):
// members with read-only `name` and `value`, int()/index conversion, equality by value and
// name against members of the same class only, a hash, no ordering and no constructor.
#pragma once
#include <utility>
#include <vector>

#include "bindings/classes.hpp"

namespace nubiro::py {

struct EnumSpec {
    const char* module;
    const char* name;         // class name
    const char* repr_prefix;  // "<Type." gives "<Type.PointCloud: 1>"
    std::vector<std::pair<const char*, int>> members;
};

PyTypeObject* make_enum(EnumSpec table);

// A new member object of `type` for `value` (named after the table entry).
Ref enum_member(PyTypeObject* type, int value);

// The value of `o` if it is a member of `type`.
std::optional<int> enum_value(PyTypeObject* type, PyObject* o);

}  // namespace nubiro::py
