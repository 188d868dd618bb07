#pragma once
// The few interpreter internals the bindings read, in one place, with what
// differs between the supported versions (CPython 3.12 and 3.13). Each is a
// plain read of the interpreter's own structures that runs no Python code.

#include <Python.h>

namespace ovelin::binding {

// The slot of an instance's __dict__ (the dictionary may not exist yet), or
// nullptr for a type without one. The bound classes keep their dictionary at
// a fixed offset in both versions.
inline PyObject** instance_dict_slot(PyObject* self) noexcept {
    return _PyObject_GetDictPtr(self);
}

// `name` found on the class or its bases, as attribute lookup finds it;
// borrowed, nullptr when absent.
inline PyObject* class_attribute(PyTypeObject* type, PyObject* name) noexcept {
    return _PyType_Lookup(type, name);
}

// The class's version tag, which the interpreter renews whenever the class
// changes; 0 when it has none. 3.13 no longer keeps the flag that 3.12 sets
// beside a valid tag, and gives no tag unless one is asked for.
inline unsigned int class_version_tag(PyTypeObject* type) noexcept {
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#if PY_VERSION_HEX < 0x030D0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

}  // namespace ovelin::binding
