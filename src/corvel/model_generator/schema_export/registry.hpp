// Getting the connector registry document from wherever airbyte points.
#pragma once

#include "host/ref.hpp"

namespace mg {

struct RegistryDocument {
    bool disabled = false;  // airbyte has the registry switched off
    Ref data;               // the parsed document; null on error
};

// Loads the whole document over HTTP (a location starting with "http") or
// from a local file. On error `data` is null with the host's error set.
RegistryDocument load_registry(PyObject* globals);

}  // namespace mg
