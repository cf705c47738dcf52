// The registry document: airbyte's location and switch, then the download or
// the local file.
#include "schema_export/registry.hpp"

#include "host/calls.hpp"

namespace mg {
namespace {

// requests.get(url, headers={"User-Agent": f"PyAirbyte/{get_version()}"}, timeout=60)
// then raise_for_status() and the parsed body
Ref fetch_over_http(Handle globals, Handle registry_url)
{
    Ref get = attr(global(globals, "requests"), "get");
    Ref user_agent = fstring({str("PyAirbyte/"), call(global(globals, "get_version"))});
    Ref headers = check(PyDict_New());
    check(PyDict_SetItemString(headers.get(), "User-Agent", user_agent.get()));
    Ref timeout = check(PyLong_FromLong(60));
    Ref response = call(get, {registry_url}, {{"headers", headers}, {"timeout", timeout}});
    call_method(response, "raise_for_status");
    return call_method(response, "json");
}

// with Path(url).open(encoding="utf-8") as f: json.load(f)
Ref read_local_file(Handle globals, Handle registry_url)
{
    Ref open = attr(call(global(globals, "Path"), {registry_url}), "open");
    // data stays the empty dict should the file's __exit__ swallow an error
    Ref data = check(PyDict_New());
    with_block(call(open, {}, {{"encoding", str("utf-8")}}),
               [&](Handle file) { data = call(attr(global(globals, "json"), "load"), {file}); });
    return data;
}

}  // namespace

std::optional<Ref> load_registry(Handle globals)
{
    Ref registry_url = call(global(globals, "_get_registry_url"));
    if (truth(call(global(globals, "_is_registry_disabled"), {registry_url}))) return std::nullopt;
    if (truth(call_method(registry_url, "startswith", {str("http")}))) return fetch_over_http(globals, registry_url);
    return read_local_file(globals, registry_url);
}

}  // namespace mg
