// generate_jsonschema_files, the first of the module's two operations.
#pragma once

#include "host/ref.hpp"

namespace mg {

// generate_jsonschema_files(connector_names): the registry's matching
// connectors written as JSON Schema files; returns their versioned names.
Ref generate_jsonschema_files(Handle globals, Handle connector_names);

}  // namespace mg
