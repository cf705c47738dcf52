// What the host is handed back: a result with no error set, or null with the
// error set. Anything else leaves the caller with a stray or a missing
// exception. The host turns a function's wrong return into a SystemError,
// which a caller's except clause may swallow, and does not check an
// iterator's next at all; builds with assertions (the sanitizer build) stop
// at once, where control goes back.
#pragma once

#include "host/ref.hpp"

#include <cassert>

namespace mg {

inline PyObject* returned_to_host(PyObject* result)
{
    assert((result == nullptr) == (PyErr_Occurred() != nullptr) && "a result with the error set, or null without it");
    return result;
}

// From an iterator's next, null without an error is the end of iteration.
inline PyObject* yielded_to_host(PyObject* item)
{
    assert((item == nullptr || PyErr_Occurred() == nullptr) && "an item with the error set");
    return item;
}

}  // namespace mg
