// From the registry document to one JSON Schema file per requested connector.
#include "schema_export/export.hpp"

#include "host/served_module.hpp"
#include "schema_export/const_rewrite.hpp"
#include "schema_export/registry.hpp"

namespace mg {
namespace {

// f"{name}__{latest_version if latest_version else ''}" with ".", "-", "/",
// ":" and " " each replaced by "_".
Ref versioned_name(Handle name, Handle latest_version)
{
    Ref result = fstring({name, str("__"), truth(latest_version) ? latest_version : str("")});
    for (const char* replaced : {".", "-", "/", ":", " "}) {
        result = check(PyUnicode_Replace(result.get(), str(replaced), str("_"), -1));
    }
    return result;
}

// {"type": "string", "title": name, "enum": [name], "default": name,
//  "description": "the name of the connector - source or destination"}
Ref connector_name_property(Handle name)
{
    return check(Py_BuildValue("{s:s,s:O,s:[O],s:O,s:s}", "type", "string", "title", name.get(), "enum", name.get(),
                               "default", name.get(), "description",
                               "the name of the connector - source or destination"));
}

// The entry's schema with the connector's title and connector_name property,
// edited in place inside the registry document.
Ref edited_schema(Handle entry, Handle name)
{
    Ref spec = call_method(entry, "get", {str("spec")});
    Ref schema = call_method(spec, "get", {str("connectionSpecification")});
    set_item(schema, str("title"), check(PyNumber_Add(name.get(), str("-config"))));
    Ref properties = item(schema, str("properties"));
    set_item(properties, str("connector_name"), connector_name_property(name));
    return schema;
}

// json.dumps(schema, indent=2) with every const member rewritten
Ref schema_text(Handle globals, Handle schema, Handle const_pattern)
{
    Ref indent = check(PyLong_FromLong(2));
    Ref text = call(attr(global(globals, "json"), "dumps"), {schema}, {{"indent", indent}});
    return rewrite_consts(text, const_pattern);
}

// with open(f"{CURRENT_DIR}/connector_configs/jsonschema/{name_w_version}.json",
//           "w+", encoding="utf8") as f: f.write(text)
void write_schema_file(Handle globals, Handle name_w_version, Handle text)
{
    Ref path = fstring({global(globals, "CURRENT_DIR"), str("/connector_configs/jsonschema/"), name_w_version,
                        str(".json")});
    with_open(path, "w+", [&](Handle file) { call_method(file, "write", {text}); });
}

// The scan of one registry member ("sources" or "destinations").
void export_matching(Handle globals, Handle data, const char* member, Handle connector_names, Handle const_pattern,
                     Handle connector_names_w_version)
{
    for_each(call_method(data, "get", {str(member)}), [&](Handle entry) {
        Ref name = call_method(item(entry, str("dockerRepository")), "replace", {str("airbyte/"), str("")});
        Ref latest_version = call_method(entry, "get", {str("dockerImageTag")});
        if (!check(PySequence_Contains(connector_names.get(), name.get()))) return;

        Ref name_w_version = versioned_name(name, latest_version);
        check(PyList_Append(connector_names_w_version.get(), name_w_version.get()));
        Ref text = schema_text(globals, edited_schema(entry, name), const_pattern);
        write_schema_file(globals, name_w_version, text);
    });
}

}  // namespace

Ref generate_jsonschema_files(Handle globals, Handle connector_names)
{
    std::optional<Ref> registry = load_registry(globals);
    if (!registry) return check(PyDict_New());

    // Compiled once per call, as the fallback for texts the rewrite cannot read.
    Ref const_pattern = call_method(global(globals, "re"), "compile", {str(R"(("const":)([^,|\n]*)(,{0,1}))")});
    Ref connector_names_w_version = check(PyList_New(0));
    for (const char* member : {"sources", "destinations"}) {
        export_matching(globals, *registry, member, connector_names, const_pattern, connector_names_w_version);
    }
    return connector_names_w_version;
}

}  // namespace mg
