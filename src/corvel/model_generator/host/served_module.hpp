// What host/ knows of the module it serves: what the module tells it at
// start-up, before it makes any function or generator object.
#pragma once

#include "host/calls.hpp"

#include <initializer_list>
#include <string>

namespace mg {

// The module's full name ("package.module"): the __module__ of its functions
// and the prefix of host/'s type names. Its sources lie in a directory named
// after it ("package/module"), where traceback entries' source paths start.
void serve_module(const char* full_name);
const std::string& served_module_name();
const std::string& served_module_source_dir();

// A type named "<module name>.<name>", kept for the life of the process.
PyTypeObject* make_served_type(const char* name, int basicsize, unsigned int flags, PyType_Slot* slots);

// The builtins open and print as they were at start-up; the module's files
// and prints use these whatever the builtins are rebound to later.
void keep_startup_builtins(Handle open, Handle print);

// open(path, mode, encoding="utf8")
Ref startup_open(Handle path, const char* mode);
// print(*arguments)
void startup_print(std::initializer_list<Handle> arguments);

// with open(path, mode, encoding="utf8") as file: body(file)
template <typename Body>
void with_open(Handle path, const char* mode, Body&& body)
{
    with_block(startup_open(path, mode), std::forward<Body>(body));
}

}  // namespace mg
