// Getting the connector registry document from wherever airbyte points.
#pragma once

#include "host/ref.hpp"

#include <optional>

namespace mg {

// The whole parsed document, over HTTP (a location starting with "http") or
// from a local file; nothing when airbyte has the registry switched off.
std::optional<Ref> load_registry(Handle globals);

}  // namespace mg
