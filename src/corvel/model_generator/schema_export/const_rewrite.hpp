// Turning every `"const": value` member of a schema text into
// `"enum": [ value]`.
//
// The text is read as JSON in one linear pass, so a const value is always
// wrapped whole: strings holding "," or "|" and multi-line arrays and objects
// come out as well-formed one-element arrays. Names inside a map of schemas
// (the members of "properties", "patternProperties", "definitions" and
// "$defs") are property names, not keywords: a property called const is left
// as it stands. For a one-line value without "," or "|" the result is the same
// as the substitution ("const":)([^,|\n]*)(,{0,1}) -> "enum": [\2]\3.
#pragma once

#include "host/ref.hpp"

namespace mg {

// The rewritten text of the str `text`. Anything that is not a str, or not
// well-formed JSON, goes to `pattern.sub` unchanged, as the host would do it.
Ref rewrite_consts(Handle text, Handle pattern);

}  // namespace mg
