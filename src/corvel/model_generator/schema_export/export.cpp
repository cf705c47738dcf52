#include "schema_export/export.hpp"

#include "host/calls.hpp"
#include "module/process_state.hpp"
#include "schema_export/const_rewrite.hpp"
#include "schema_export/registry.hpp"

namespace mg {
namespace {

// f"{name}__{latest_version if latest_version else ''}" with ".", "-", "/",
// ":" and " " each replaced by "_".
Ref versioned_name(PyObject* name, PyObject* latest_version)
{
    const int tagged = truth(latest_version);
    if (tagged < 0) return {};
    Ref name_text = format_value(name);
    Ref tag_text = tagged ? format_value(latest_version) : Ref::steal(PyUnicode_New(0, 0));
    Ref separator = Ref::steal(PyUnicode_FromString("__"));
    if (!name_text || !tag_text || !separator) return {};
    Ref result = concat({name_text.get(), separator.get(), tag_text.get()});
    Ref underscore = Ref::steal(PyUnicode_FromString("_"));
    if (!underscore) return {};
    for (const char* replaced : {".", "-", "/", ":", " "}) {
        Ref what = Ref::steal(PyUnicode_FromString(replaced));
        if (!result || !what) return {};
        result = Ref::steal(PyUnicode_Replace(result.get(), what.get(), underscore.get(), -1));
    }
    return result;
}

// {"type": "string", "title": name, "enum": [name], "default": name,
//  "description": "the name of the connector - source or destination"}
Ref connector_name_property(PyObject* name)
{
    return Ref::steal(Py_BuildValue("{s:s,s:O,s:[O],s:O,s:s}", "type", "string", "title", name, "enum", name,
                                    "default", name, "description",
                                    "the name of the connector - source or destination"));
}

// The entry's schema with the connector's title and connector_name property,
// edited in place inside the registry document.
Ref edited_schema(PyObject* entry, PyObject* name)
{
    Ref spec_key = Ref::steal(PyUnicode_FromString("spec"));
    Ref spec = spec_key ? call_method(entry, "get", {spec_key.get()}) : Ref();
    Ref schema_key = spec ? Ref::steal(PyUnicode_FromString("connectionSpecification")) : Ref();
    Ref schema = schema_key ? call_method(spec.get(), "get", {schema_key.get()}) : Ref();
    if (!schema) return {};
    Ref suffix = Ref::steal(PyUnicode_FromString("-config"));
    Ref title = suffix ? Ref::steal(PyNumber_Add(name, suffix.get())) : Ref();
    Ref title_key = title ? Ref::steal(PyUnicode_FromString("title")) : Ref();
    if (!title_key || PyObject_SetItem(schema.get(), title_key.get(), title.get()) < 0) return {};
    Ref properties_key = Ref::steal(PyUnicode_FromString("properties"));
    Ref properties = properties_key ? Ref::steal(PyObject_GetItem(schema.get(), properties_key.get())) : Ref();
    Ref property = properties ? connector_name_property(name) : Ref();
    Ref property_key = property ? Ref::steal(PyUnicode_FromString("connector_name")) : Ref();
    if (!property_key || PyObject_SetItem(properties.get(), property_key.get(), property.get()) < 0) return {};
    return schema;
}

// json.dumps(schema, indent=2) with every const member rewritten
Ref schema_text(PyObject* globals, PyObject* schema, PyObject* const_pattern)
{
    Ref json = lookup_global(globals, "json");
    Ref dumps = json ? get_attr(json.get(), "dumps") : Ref();
    Ref indent = dumps ? Ref::steal(PyLong_FromLong(2)) : Ref();
    Ref text = indent ? call(dumps.get(), {schema}, {"indent"}, {indent.get()}) : Ref();
    return text ? rewrite_consts(text.get(), const_pattern) : Ref();
}

// with open(f"{CURRENT_DIR}/connector_configs/jsonschema/{name_w_version}.json",
//           "w+", encoding="utf8") as f: f.write(text)
bool write_schema_file(PyObject* globals, PyObject* name_w_version, PyObject* text)
{
    Ref current_dir = lookup_global(globals, "CURRENT_DIR");
    Ref directory = current_dir ? format_value(current_dir.get()) : Ref();
    Ref folder = Ref::steal(PyUnicode_FromString("/connector_configs/jsonschema/"));
    Ref extension = Ref::steal(PyUnicode_FromString(".json"));
    if (!directory || !folder || !extension) return false;
    Ref path = concat({directory.get(), folder.get(), name_w_version, extension.get()});
    Ref mode = Ref::steal(PyUnicode_FromString("w+"));
    Ref encoding = Ref::steal(PyUnicode_FromString("utf8"));
    if (!path || !mode || !encoding) return false;
    return with_block(call(startup_open(), {path.get(), mode.get()}, {"encoding"}, {encoding.get()}),
                      [&](PyObject* file) { return static_cast<bool>(call_method(file, "write", {text})); });
}

// The scan of one registry member ("sources" or "destinations").
bool export_matching(PyObject* globals, PyObject* data, const char* member, PyObject* connector_names,
                     PyObject* const_pattern, PyObject* connector_names_w_version)
{
    Ref member_name = Ref::steal(PyUnicode_FromString(member));
    Ref entries = member_name ? call_method(data, "get", {member_name.get()}) : Ref();
    Ref iterator = entries ? Ref::steal(PyObject_GetIter(entries.get())) : Ref();
    Ref repository_key = Ref::steal(PyUnicode_FromString("dockerRepository"));
    Ref tag_key = Ref::steal(PyUnicode_FromString("dockerImageTag"));
    Ref prefix = Ref::steal(PyUnicode_FromString("airbyte/"));
    Ref nothing = Ref::steal(PyUnicode_New(0, 0));
    if (!iterator || !repository_key || !tag_key || !prefix || !nothing) return false;

    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref repository = Ref::steal(PyObject_GetItem(entry.get(), repository_key.get()));
        Ref name = repository ? call_method(repository.get(), "replace", {prefix.get(), nothing.get()}) : Ref();
        Ref latest_version = name ? call_method(entry.get(), "get", {tag_key.get()}) : Ref();
        if (!latest_version) return false;
        const int requested = PySequence_Contains(connector_names, name.get());
        if (requested < 0) return false;
        if (!requested) continue;

        Ref name_w_version = versioned_name(name.get(), latest_version.get());
        if (!name_w_version || PyList_Append(connector_names_w_version, name_w_version.get()) < 0) return false;
        Ref schema = edited_schema(entry.get(), name.get());
        Ref text = schema ? schema_text(globals, schema.get(), const_pattern) : Ref();
        if (!text || !write_schema_file(globals, name_w_version.get(), text.get())) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* generate_jsonschema_files(PyObject* globals, PyObject* connector_names)
{
    RegistryDocument registry = load_registry(globals);
    if (registry.disabled) return PyDict_New();
    if (!registry.data) return nullptr;

    // Compiled once per call, as the fallback for texts the rewrite cannot read.
    Ref re = lookup_global(globals, "re");
    Ref pattern_text = re ? Ref::steal(PyUnicode_FromString(R"(("const":)([^,|\n]*)(,{0,1}))")) : Ref();
    Ref const_pattern = pattern_text ? call_method(re.get(), "compile", {pattern_text.get()}) : Ref();
    Ref connector_names_w_version = const_pattern ? Ref::steal(PyList_New(0)) : Ref();
    if (!connector_names_w_version) return nullptr;
    for (const char* member : {"sources", "destinations"}) {
        if (!export_matching(globals, registry.data.get(), member, connector_names, const_pattern.get(),
                             connector_names_w_version.get())) {
            return nullptr;
        }
    }
    return connector_names_w_version.release();
}

}  // namespace mg
