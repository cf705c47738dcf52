// Traceback entries for errors that leave native code.
#pragma once

#include <source_location>

namespace mg {

// Adds one entry named `function_name` to the traceback of the error being
// raised; the entry points at the native source line that called this.
void add_traceback(const char* function_name, std::source_location where = std::source_location::current()) noexcept;

}  // namespace mg
