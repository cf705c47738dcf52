// Name derivation with the host's string methods, as the Python lines do it.
#include "model_generation/names.hpp"

#include "host/calls.hpp"
#include "host/genexpr.hpp"

namespace mg {

Ref unversioned_name(Handle name_w_version)
{
    Ref parts = call_method(name_w_version, "split", {str("__")});
    return item(parts, check(PyLong_FromLong(0)));
}

Ref class_root(Handle name_wo_version)
{
    static const GenexprSpec capitalized_words = {
        .qualname = "generate_model_files.<locals>.genexpr",
        .creation_entry = "corvel.model_generator.generate_model_files.genexpr",
        .method = "capitalize",
    };
    Ref words = call_method(call_method(name_wo_version, "lower"), "split", {str("_")});
    return call_method(str(""), "join", {make_genexpr(capitalized_words, words)});
}

}  // namespace mg
