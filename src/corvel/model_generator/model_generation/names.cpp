#include "model_generation/names.hpp"

#include "host/calls.hpp"
#include "host/genexpr.hpp"

namespace mg {

Ref unversioned_name(PyObject* name_w_version)
{
    Ref separator = Ref::steal(PyUnicode_FromString("__"));
    Ref parts = separator ? call_method(name_w_version, "split", {separator.get()}) : Ref();
    Ref first = parts ? Ref::steal(PyLong_FromLong(0)) : Ref();
    return first ? Ref::steal(PyObject_GetItem(parts.get(), first.get())) : Ref();
}

Ref class_root(PyObject* name_wo_version)
{
    static const GenexprSpec capitalized_words = {
        "generate_model_files.<locals>.genexpr",
        "corvel.model_generator.generate_model_files.genexpr",
        "capitalize",
    };
    Ref lowered = call_method(name_wo_version, "lower");
    Ref separator = lowered ? Ref::steal(PyUnicode_FromString("_")) : Ref();
    Ref words = separator ? call_method(lowered.get(), "split", {separator.get()}) : Ref();
    Ref capitalized = words ? make_genexpr(capitalized_words, words.get()) : Ref();
    Ref nothing = capitalized ? Ref::steal(PyUnicode_New(0, 0)) : Ref();
    return nothing ? call_method(nothing.get(), "join", {capitalized.get()}) : Ref();
}

}  // namespace mg
