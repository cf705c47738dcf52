// Calling into the host the way Python code does: constant texts, global
// name lookups, attributes, items, calls with keywords, f-strings and
// with-blocks. Each throws ErrorIsSet when the host fails.
#pragma once

#include "host/error.hpp"

#include <initializer_list>
#include <utility>

namespace mg {

// The interned str of a string literal, made once and kept for the life of
// the process (borrowed).
PyObject* str(const char* literal);

// `name` as Python code finds it: in `globals`, then among the builtins;
// NameError otherwise.
Ref global(Handle globals, const char* name);

// object.name; optional_attr gives null where attr raises AttributeError.
Ref attr(Handle object, const char* name);
Ref optional_attr(Handle object, Handle name);

// object[key], and object[key] = value
Ref item(Handle object, Handle key);
void set_item(Handle object, Handle key, Handle value);

// name=value in a call
using Keyword = std::pair<const char*, Handle>;

// callable(*positional, **dict(keywords))
Ref call(Handle callable, std::initializer_list<Handle> positional = {}, std::initializer_list<Keyword> keywords = {});

// object.name(*positional)
Ref call_method(Handle object, const char* name, std::initializer_list<Handle> positional = {});

// The text of `{value}` in a formatted string literal.
Ref format_value(Handle value);

// Joins texts (each already a str) into one str.
Ref concat(std::initializer_list<Handle> texts);

// f"{part}{part}...": each part formatted in turn, then joined.
Ref fstring(std::initializer_list<Handle> parts);

bool truth(Handle value);

// for item in iterable: body(item)
template <typename Body>
void for_each(Handle iterable, const Body& body)
{
    Ref iterator = check(PyObject_GetIter(iterable.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) body(item);
    if (PyErr_Occurred()) raise_error_set();
}

namespace detail {
struct WithState {
    Ref exit;
    Ref target;
};
WithState with_enter(Handle manager);
void with_exit_on_error(const Ref& exit);
}  // namespace detail

// with manager as target: body(target)
// A failure leaving the body goes to __exit__, which may swallow it.
template <typename Body>
void with_block(Handle manager, Body&& body)
{
    detail::WithState state = detail::with_enter(manager);
    try {
        std::forward<Body>(body)(state.target.get());
    } catch (...) {
        error_from_exception();
        detail::with_exit_on_error(state.exit);
        return;
    }
    call(state.exit, {Py_None, Py_None, Py_None});
}

}  // namespace mg
