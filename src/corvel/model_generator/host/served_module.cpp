// The served module's name and start-up builtins, kept for the process.
#include "host/served_module.hpp"

#include <algorithm>
#include <list>

namespace mg {
namespace {

struct ServedModule {
    std::string name;
    std::string source_dir;
    PyObject* open = nullptr;
    PyObject* print = nullptr;
} served;

}  // namespace

void serve_module(const char* full_name)
{
    served.name = full_name;
    served.source_dir = full_name;
    std::ranges::replace(served.source_dir, '.', '/');
}

const std::string& served_module_name() { return served.name; }
const std::string& served_module_source_dir() { return served.source_dir; }

PyTypeObject* make_served_type(const char* name, int basicsize, unsigned int flags, PyType_Slot* slots)
{
    // The type keeps pointing at the spec's name: it must live as long.
    static std::list<std::string> type_names;
    const std::string& full_name = type_names.emplace_back(served.name + '.' + name);
    PyType_Spec spec = {.name = full_name.c_str(), .basicsize = basicsize, .flags = flags, .slots = slots};
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)).release());
}

void keep_startup_builtins(Handle open, Handle print)
{
    Py_XSETREF(served.open, Py_NewRef(open.get()));
    Py_XSETREF(served.print, Py_NewRef(print.get()));
}

Ref startup_open(Handle path, const char* mode)
{
    return call(served.open, {path, str(mode)}, {{"encoding", str("utf8")}});
}

void startup_print(std::initializer_list<Handle> arguments) { call(served.print, arguments); }

}  // namespace mg
