// How failure travels: a failed host call throws ErrorIsSet with the host's
// error indicator holding the error, and every entry the host calls catches
// it and hands back null or -1, so nothing C++ unwinds into the interpreter.
#pragma once

#include "host/ref.hpp"

#include <cassert>
#include <exception>

namespace mg {

// The host's error indicator holds the failure; the exception carries nothing.
struct ErrorIsSet : std::exception {};

[[noreturn, gnu::cold]] void raise_error_set();

// raise type(message)
[[noreturn, gnu::cold]] void raise_error(PyObject* type, const char* message);

// Inside a catch block: the exception being handled, as the host's error
// (a std::bad_alloc as MemoryError).
void error_from_exception() noexcept;

// A C-API "new reference" result, owned; a null one is a failure.
inline Ref check(PyObject* result)
{
    if (!result) raise_error_set();
    return Ref::steal(result);
}

// A C-API status or truth value; a negative one is a failure.
inline int check(int status)
{
    if (status < 0) raise_error_set();
    return status;
}

// Sets the error being raised aside and raises it again at the end of the
// scope; errors raised meanwhile are dropped.
class ErrorSetAside {
public:
    ErrorSetAside() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~ErrorSetAside()
    {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
    ErrorSetAside(const ErrorSetAside&) = delete;
    ErrorSetAside& operator=(const ErrorSetAside&) = delete;
    ErrorSetAside(ErrorSetAside&&) = delete;
    ErrorSetAside& operator=(ErrorSetAside&&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The error just raised, taken over as the one being handled (as inside an
// except clause): errors raised meanwhile get it as their context. The
// previous handled error comes back when this goes away.
class HandledError {
public:
    HandledError();
    ~HandledError();
    HandledError(const HandledError&) = delete;
    HandledError& operator=(const HandledError&) = delete;
    HandledError(HandledError&&) = delete;
    HandledError& operator=(HandledError&&) = delete;

    [[nodiscard]] PyObject* type() const { return type_.get(); }
    [[nodiscard]] PyObject* value() const { return value_.get(); }
    [[nodiscard]] PyObject* traceback_or_none() const { return traceback_ ? traceback_.get() : Py_None; }
    // Raises it again, unchanged.
    [[noreturn]] void reraise();

private:
    Ref type_, value_, traceback_;
    Ref previous_;
};

// Runs `body` for the host: a failure comes back as the error indicator set
// and `failed` returned, a std::bad_alloc as MemoryError.
template <typename Result, typename Body>
Result guarded(Result failed, Body&& body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        error_from_exception();
        return failed;
    }
}

// What the host is handed back: a result with no error set, or null with the
// error set. Anything else leaves the caller with a stray or a missing
// exception. The host turns a function's wrong return into a SystemError,
// which a caller's except clause may swallow, and does not check an
// iterator's next at all; builds with assertions (the sanitizer build) stop
// at once, where control goes back.
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
