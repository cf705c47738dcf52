// Calling into the host the way Python code does: attribute and global name
// lookups, calls with keywords, formatted-text conversion, with-blocks.
#pragma once

#include "host/ref.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

namespace mg {

// The interned str of a string literal, made once and kept for the life of
// the process (borrowed; null with the error set if it cannot be made).
PyObject* interned(const char* literal);

// Looks `name` up in `globals`, then among the builtins; NameError otherwise.
Ref lookup_global(PyObject* globals, const char* literal);

Ref get_attr(PyObject* object, const char* literal);

// callable(*positional, **dict(zip(keyword_names, keyword_values)))
Ref call(PyObject* callable, std::initializer_list<PyObject*> positional,
         std::initializer_list<const char*> keyword_names = {},
         std::initializer_list<PyObject*> keyword_values = {});

// object.name(*positional)
Ref call_method(PyObject* object, const char* literal, std::initializer_list<PyObject*> positional = {});

// The text of `{value}` in a formatted string literal.
Ref format_value(PyObject* value);

// Joins texts (each already a str) into one str.
Ref concat(std::initializer_list<PyObject*> parts);

// -1 on error, else the host's truth value.
int truth(PyObject* value);

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
    void reraise();

private:
    Ref type_, value_, traceback_;
    PyObject* previous_;
};

// with manager as target: body(target)
// `body` returns false when it failed with the error indicator set. An
// exception leaving the body goes to __exit__, which may swallow it.
template <typename Body>
bool with_block(const Ref& manager, Body&& body);

namespace detail {
struct WithState {
    Ref exit;
    Ref target;
};
bool with_enter(PyObject* manager, WithState& state);
bool with_exit(PyObject* manager, WithState& state, bool body_ok);
}  // namespace detail

template <typename Body>
bool with_block(const Ref& manager, Body&& body)
{
    if (!manager) return false;
    detail::WithState state;
    if (!detail::with_enter(manager.get(), state)) return false;
    const bool body_ok = std::forward<Body>(body)(state.target.get());
    return detail::with_exit(manager.get(), state, body_ok);
}

}  // namespace mg
