// Generator-expression objects: `(item.method() for item in iterable)`.
#pragma once

#include "host/ref.hpp"

namespace mg {

struct GenexprSpec {
    const char* qualname;        // e.g. "generate_model_files.<locals>.genexpr"
    const char* creation_entry;  // traceback entry when iter(iterable) fails
    const char* method;          // called on every item, without arguments
};

// As in Python, iter(iterable) happens at creation; the method calls happen
// as the result is consumed, each error there getting the entry "genexpr".
Ref make_genexpr(const GenexprSpec& spec, Handle iterable);

}  // namespace mg
