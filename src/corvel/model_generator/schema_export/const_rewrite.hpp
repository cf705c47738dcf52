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

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace mg {

struct ConstMember {
    size_t key_begin;  // the opening quote of "const"
    size_t key_end;    // just past its closing quote
    size_t colon_end;  // just past the colon
    size_t value_end;  // just past the value
};

// The const members to rewrite, in text order; nullopt when the text is not
// well-formed JSON.
std::optional<std::vector<ConstMember>> find_const_members(std::string_view text);

// Size of the rewritten text: each member grows by two characters.
inline size_t rewritten_size(std::string_view text, const std::vector<ConstMember>& members)
{
    return text.size() + 2 * members.size();
}

// Writes the rewritten text into `out`, which holds rewritten_size() bytes.
void write_rewritten(std::string_view text, const std::vector<ConstMember>& members, char* out);

// The rewritten text of the str `text`. Anything that is not a str, or not
// well-formed JSON, goes to `pattern.sub` unchanged, as the host would do it.
Ref rewrite_consts(Handle text, Handle pattern);

}  // namespace mg
