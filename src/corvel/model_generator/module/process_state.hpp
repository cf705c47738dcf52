// What the module keeps per process: it is loaded into one interpreter and
// never unloaded.
#pragma once

#include "host/ref.hpp"

namespace mg {

// The builtins `open` and `print` as they were when the module started; the
// operations use these whatever the builtins are rebound to later.
PyObject* startup_open();
PyObject* startup_print();

}  // namespace mg
