// The C API calls whose spelling differs between the Pythons the module is
// built for (3.11 and 3.12). Everything else the module calls is the same
// public API on both; the calls below are the only private ones, each with
// the public spelling that replaces it where the host has one.
#pragma once

#include "host/ref.hpp"

namespace mg::compat {

// object.name into *value (a new reference): 1 when found, 0 with *value
// null and no error set when the object has no such attribute, -1 on error.
inline int lookup_attr(PyObject* object, PyObject* name, PyObject** value)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(object, name, value);
#else
    return _PyObject_LookupAttr(object, name, value);
#endif
}

// `name` along the type's method resolution order, unbound, as the
// interpreter looks up special methods (borrowed; null without an error
// set when absent). No public call looks at the type alone: the type
// object's own getattr would find the metaclass's attributes too.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

}  // namespace mg::compat
