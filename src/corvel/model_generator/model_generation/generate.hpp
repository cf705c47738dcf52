#pragma once

#include "host/ref.hpp"

namespace mg {

// generate_model_files(connector_names_w_version): one datamodel-codegen run
// per versioned name, and the package index that imports the results.
PyObject* generate_model_files(PyObject* globals, PyObject* connector_names_w_version);

}  // namespace mg
