#pragma once

#include "host/ref.hpp"

namespace mg {

// generate_jsonschema_files(connector_names): the registry's matching
// connectors written as JSON Schema files; returns their versioned names.
PyObject* generate_jsonschema_files(PyObject* globals, PyObject* connector_names);

}  // namespace mg
