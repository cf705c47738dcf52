// The names the package index gives a connector, derived from its versioned
// name with the host's own string operations.
#pragma once

#include "host/ref.hpp"

namespace mg {

// name_w_version.split("__")[0]
Ref unversioned_name(Handle name_w_version);

// "".join(word.capitalize() for word in name_wo_version.lower().split("_"))
Ref class_root(Handle name_wo_version);

}  // namespace mg
