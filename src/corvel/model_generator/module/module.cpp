// The module's entry, its create and execute steps, and what start-up binds.
#include "host/calls.hpp"
#include "host/function.hpp"
#include "host/traceback.hpp"
#include "model_generation/generate.hpp"
#include "module/process_state.hpp"
#include "schema_export/export.hpp"

#include <cstdint>
#include <utility>

namespace mg {
namespace {

constexpr const char* full_name = "corvel.model_generator";
constexpr const char* init_entry = "init corvel.model_generator";

struct ProcessState {
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // the one module object, while it exists
    bool initialised = false;
    // The module object's state block when a re-import hands the object out
    // again: the host then sets the object's state aside without freeing it
    // and gives it a new one before the exec slot runs.
    void* replaced_state = nullptr;
    PyObject* open = nullptr;
    PyObject* print = nullptr;
} state;

const FunctionSpec jsonschema_files_spec = {
    "generate_jsonschema_files", "connector_names", "corvel.model_generator.generate_jsonschema_files",
    generate_jsonschema_files};
const FunctionSpec model_files_spec = {
    "generate_model_files", "connector_names_w_version", "corvel.model_generator.generate_model_files",
    generate_model_files};

// Copies spec.<attribute> to the namespace entry `entry`. A spec without the
// attribute is passed over; None is copied unless `skip_none`.
bool copy_spec_attribute(PyObject* spec, PyObject* module, const char* attribute, const char* entry, bool skip_none)
{
    Ref value = get_attr(spec, attribute);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, entry, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*)
{
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = interpreter;
    } else if (state.interpreter_id != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module) {
        state.replaced_state = PyModule_GetState(state.module);
        return Py_NewRef(state.module);
    }

    Ref name = get_attr(spec, "name");
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attribute(spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    state.module = Py_NewRef(module.get());
    return module.release();
}

bool bind(PyObject* globals, const char* name, PyObject* value)
{
    return value && PyDict_SetItemString(globals, name, value) == 0;
}

// import <name>
bool import_module(PyObject* globals, const char* name)
{
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return false;
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(text.get(), globals, nullptr, nullptr, 0));
    return bind(globals, name, module.get());
}

// from <module_name> import <names...>
bool import_from(PyObject* globals, const char* module_name, std::initializer_list<const char*> names)
{
    Ref text = Ref::steal(PyUnicode_FromString(module_name));
    Ref from_list = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!text || !from_list) return false;
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyObject* item = PyUnicode_FromString(name);
        if (!item) return false;
        PyTuple_SET_ITEM(from_list.get(), index++, item);
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(text.get(), globals, nullptr, from_list.get(), 0));
    if (!module) return false;
    for (Py_ssize_t at = 0; at < PyTuple_GET_SIZE(from_list.get()); ++at) {
        PyObject* name = PyTuple_GET_ITEM(from_list.get(), at);
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            // A submodule entered in sys.modules but not yet set on its parent.
            Ref parent = get_attr(module.get(), "__name__");
            if (!parent) PyErr_Clear();
            Ref full = parent ? Ref::steal(PyUnicode_FromFormat("%S.%U", parent.get(), name)) : Ref();
            if (parent && !full) return false;
            value = full ? Ref::steal(PyImport_GetModule(full.get())) : Ref();
            if (!value) {
                if (PyErr_Occurred()) return false;
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                return false;
            }
        }
        if (PyDict_SetItem(globals, name, value.get()) < 0) return false;
    }
    return true;
}

// os.path.<function>, looked up afresh
Ref os_path_function(PyObject* globals, const char* function)
{
    Ref os = lookup_global(globals, "os");
    Ref path = os ? get_attr(os.get(), "path") : Ref();
    return path ? get_attr(path.get(), function) : Ref();
}

// sys.path.append(os.path.abspath(os.path.join(os.path.dirname(__file__), "..")))
bool append_search_path(PyObject* globals)
{
    Ref sys = lookup_global(globals, "sys");
    Ref sys_path = sys ? get_attr(sys.get(), "path") : Ref();
    if (!sys_path) return false;
    Ref abspath = os_path_function(globals, "abspath");
    if (!abspath) return false;
    Ref join = os_path_function(globals, "join");
    if (!join) return false;
    Ref dirname = os_path_function(globals, "dirname");
    if (!dirname) return false;
    Ref file = lookup_global(globals, "__file__");
    if (!file) return false;
    Ref up = Ref::steal(PyUnicode_FromString(".."));
    if (!up) return false;
    Ref directory = call(dirname.get(), {file.get()});
    Ref joined = directory ? call(join.get(), {directory.get(), up.get()}) : Ref();
    Ref absolute = joined ? call(abspath.get(), {joined.get()}) : Ref();
    if (!absolute) return false;
    if (PyList_CheckExact(sys_path.get())) return PyList_Append(sys_path.get(), absolute.get()) == 0;
    return static_cast<bool>(call_method(sys_path.get(), "append", {absolute.get()}));
}

// CURRENT_DIR = os.path.dirname(__file__)
bool bind_current_dir(PyObject* globals)
{
    Ref dirname = os_path_function(globals, "dirname");
    if (!dirname) return false;
    Ref file = lookup_global(globals, "__file__");
    if (!file) return false;
    Ref directory = call(dirname.get(), {file.get()});
    return bind(globals, "CURRENT_DIR", directory.get());
}

// When initialised as the host's main module: both operations, chained, for
// the three default connectors.
bool run_as_main(PyObject* globals)
{
    Ref name = lookup_global(globals, "__name__");
    if (!name) return false;
    Ref main_name = Ref::steal(PyUnicode_FromString("__main__"));
    if (!main_name) return false;
    const int is_main = PyObject_RichCompareBool(name.get(), main_name.get(), Py_EQ);
    if (is_main <= 0) return is_main == 0;

    Ref defaults = Ref::steal(Py_BuildValue("[sss]", "source-file", "destination-sftp-json", "destination-csv"));
    if (!bind(globals, "connector_names", defaults.get())) return false;
    Ref model_files = lookup_global(globals, "generate_model_files");
    if (!model_files) return false;
    Ref jsonschema_files = lookup_global(globals, "generate_jsonschema_files");
    if (!jsonschema_files) return false;
    Ref connector_names = lookup_global(globals, "connector_names");
    if (!connector_names) return false;
    Ref versioned_names = call(jsonschema_files.get(), {connector_names.get()});
    return versioned_names && call(model_files.get(), {versioned_names.get()});
}

// Everything after the version check; `entered` tells whether this call put
// the module into sys.modules.
bool start_up(PyObject* module, bool& entered)
{
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) return false;

    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString(full_name));
    if (!key) return false;
    const int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    if (!present) {
        if (PyDict_SetItem(modules, key.get(), module) < 0) return false;
        entered = true;
    }
    PyObject* builtins = PyEval_GetBuiltins();
    Ref open = builtins ? lookup_global(builtins, "open") : Ref();
    Ref print = open ? lookup_global(builtins, "print") : Ref();
    if (!print) return false;
    Py_XSETREF(state.open, open.release());
    Py_XSETREF(state.print, print.release());

    if (!import_module(globals, "sys") || !import_module(globals, "shutil") || !import_module(globals, "os")) {
        return false;
    }
    if (!append_search_path(globals)) return false;
    if (!import_module(globals, "subprocess") ||
        !import_from(globals, "airbyte.sources.registry", {"_get_registry_url", "_is_registry_disabled"}) ||
        !import_module(globals, "json") || !import_module(globals, "re") || !import_module(globals, "requests") ||
        !import_from(globals, "pathlib", {"Path"}) || !import_from(globals, "airbyte.version", {"get_version"}) ||
        !import_module(globals, "pydantic")) {
        return false;
    }
    if (!bind_current_dir(globals)) return false;
    if (!bind(globals, "generate_jsonschema_files", make_function(jsonschema_files_spec, globals).get()) ||
        !bind(globals, "generate_model_files", make_function(model_files_spec, globals).get())) {
        return false;
    }
    return run_as_main(globals);
}

int exec_module(PyObject* module)
{
    if (state.initialised) {
        if (module == state.module) {
            void* replaced = std::exchange(state.replaced_state, nullptr);
            if (replaced && replaced != PyModule_GetState(module)) PyMem_Free(replaced);
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'model_generator' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    const unsigned long major = (Py_Version >> 24U) & 0xffU, minor = (Py_Version >> 16U) & 0xffU;
    if ((major != 3 || minor != 11) &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 11,
                         full_name, "does not match", static_cast<int>(major), static_cast<int>(minor)) < 0) {
        return -1;
    }
    bool entered = false;
    if (!start_up(module, entered)) {
        add_traceback(init_entry);
        // The module is absent again: a later import starts from scratch.
        if (entered) {
            PyObject* type = nullptr;
            PyObject* value = nullptr;
            PyObject* traceback = nullptr;
            PyErr_Fetch(&type, &value, &traceback);
            if (PyDict_GetItemString(PyImport_GetModuleDict(), full_name) == module) {
                PyDict_DelItemString(PyImport_GetModuleDict(), full_name);
            }
            PyErr_Restore(type, value, traceback);
        }
        Py_CLEAR(state.module);
        return -1;
    }
    state.initialised = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "model_generator", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* startup_open() { return state.open; }
PyObject* startup_print() { return state.print; }

}  // namespace mg

extern "C" PyMODINIT_FUNC PyInit_model_generator() { return PyModuleDef_Init(&mg::module_definition); }
