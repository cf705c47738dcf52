#include "schema_export/registry.hpp"

#include "host/calls.hpp"

#include <utility>

namespace mg {
namespace {

// requests.get(url, headers={"User-Agent": f"PyAirbyte/{get_version()}"}, timeout=60)
// then raise_for_status() and the parsed body
Ref fetch_over_http(PyObject* globals, PyObject* registry_url)
{
    Ref requests = lookup_global(globals, "requests");
    Ref get = requests ? get_attr(requests.get(), "get") : Ref();
    if (!get) return {};
    Ref get_version = lookup_global(globals, "get_version");
    Ref version = get_version ? call(get_version.get(), {}) : Ref();
    Ref version_text = version ? format_value(version.get()) : Ref();
    if (!version_text) return {};
    Ref prefix = Ref::steal(PyUnicode_FromString("PyAirbyte/"));
    Ref user_agent = prefix ? concat({prefix.get(), version_text.get()}) : Ref();
    Ref headers = user_agent ? Ref::steal(PyDict_New()) : Ref();
    if (!headers || PyDict_SetItemString(headers.get(), "User-Agent", user_agent.get()) < 0) return {};
    Ref timeout = Ref::steal(PyLong_FromLong(60));
    if (!timeout) return {};
    Ref response = call(get.get(), {registry_url}, {"headers", "timeout"}, {headers.get(), timeout.get()});
    if (!response || !call_method(response.get(), "raise_for_status")) return {};
    return call_method(response.get(), "json");
}

// with Path(url).open(encoding="utf-8") as f: json.load(f)
Ref read_local_file(PyObject* globals, PyObject* registry_url)
{
    Ref path_type = lookup_global(globals, "Path");
    Ref path = path_type ? call(path_type.get(), {registry_url}) : Ref();
    Ref open = path ? get_attr(path.get(), "open") : Ref();
    Ref encoding = open ? Ref::steal(PyUnicode_FromString("utf-8")) : Ref();
    if (!encoding) return {};
    // data stays the empty dict should the file's __exit__ swallow an error
    Ref data = Ref::steal(PyDict_New());
    if (!data) return {};
    const bool read = with_block(call(open.get(), {}, {"encoding"}, {encoding.get()}), [&](PyObject* file) {
        Ref json = lookup_global(globals, "json");
        Ref load = json ? get_attr(json.get(), "load") : Ref();
        Ref loaded = load ? call(load.get(), {file}) : Ref();
        if (!loaded) return false;
        data = std::move(loaded);
        return true;
    });
    return read ? data : Ref();
}

}  // namespace

RegistryDocument load_registry(PyObject* globals)
{
    RegistryDocument document;
    Ref get_registry_url = lookup_global(globals, "_get_registry_url");
    Ref registry_url = get_registry_url ? call(get_registry_url.get(), {}) : Ref();
    if (!registry_url) return document;
    Ref is_disabled = lookup_global(globals, "_is_registry_disabled");
    Ref disabled = is_disabled ? call(is_disabled.get(), {registry_url.get()}) : Ref();
    const int switched_off = disabled ? truth(disabled.get()) : -1;
    if (switched_off < 0) return document;
    if (switched_off) {
        document.disabled = true;
        return document;
    }
    Ref scheme = Ref::steal(PyUnicode_FromString("http"));
    Ref is_http = scheme ? call_method(registry_url.get(), "startswith", {scheme.get()}) : Ref();
    const int over_http = is_http ? truth(is_http.get()) : -1;
    if (over_http < 0) return document;
    document.data = over_http ? fetch_over_http(globals, registry_url.get())
                              : read_local_file(globals, registry_url.get());
    return document;
}

}  // namespace mg
