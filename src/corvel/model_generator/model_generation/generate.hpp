// generate_model_files, the second of the module's two operations.
#pragma once

#include "host/ref.hpp"

namespace mg {

// generate_model_files(connector_names_w_version): one datamodel-codegen run
// per versioned name, and the package index that imports the results.
Ref generate_model_files(Handle globals, Handle connector_names_w_version);

}  // namespace mg
