// Native function objects that present themselves like Python functions:
// __name__, __qualname__, __module__, no docstring, a signature that
// introspection can read, and the host's own messages for wrong calls.
#pragma once

#include "host/ref.hpp"

namespace mg {

struct FunctionSpec {
    const char* name;            // __name__ and __qualname__
    const char* parameter;       // the one positional-or-keyword parameter
    const char* traceback_name;  // entry added to an error raised inside
    // Gets the module namespace and the argument; throws ErrorIsSet on failure.
    Ref (*body)(Handle globals, Handle argument);
};

// A function object calling spec.body with `globals`; `spec` must outlive it.
Ref make_function(const FunctionSpec& spec, Handle globals);

}  // namespace mg
