// The module's entry, its create and execute steps, and what start-up binds.
#include "host/calls.hpp"
#include "host/function.hpp"
#include "host/served_module.hpp"
#include "host/traceback.hpp"
#include "model_generation/generate.hpp"
#include "schema_export/export.hpp"

#include <cstdint>
#include <utility>

namespace mg {
namespace {

constexpr const char* full_name = "corvel.model_generator";
constexpr const char* init_entry = "init corvel.model_generator";

// The module is loaded into one interpreter per process and never unloaded.
struct ProcessState {
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // the one module object, while it exists
    bool initialised = false;
    // The module object's state block when a re-import hands the object out
    // again: the host then sets the object's state aside without freeing it
    // and gives it a new one before the exec slot runs.
    void* replaced_state = nullptr;
} state;

const FunctionSpec jsonschema_files_spec = {
    .name = "generate_jsonschema_files",
    .parameter = "connector_names",
    .traceback_name = "corvel.model_generator.generate_jsonschema_files",
    .body = generate_jsonschema_files,
};
const FunctionSpec model_files_spec = {
    .name = "generate_model_files",
    .parameter = "connector_names_w_version",
    .traceback_name = "corvel.model_generator.generate_model_files",
    .body = generate_model_files,
};

// module.<entry> = spec.<attribute>, passed over when the spec lacks the
// attribute, and for None when `skip_none`.
void copy_spec_attribute(Handle spec, Handle module, const char* attribute, const char* entry, bool skip_none)
{
    Ref value = optional_attr(spec, str(attribute));
    if (!value || (skip_none && value.get() == Py_None)) return;
    check(PyObject_SetAttr(module.get(), str(entry), value.get()));
}

Ref create(Handle spec)
{
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) raise_error_set();
    if (state.interpreter_id == -1) {
        state.interpreter_id = interpreter;
    } else if (state.interpreter_id != interpreter) {
        raise_error(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    }
    if (state.module) {
        state.replaced_state = PyModule_GetState(state.module);
        return Ref::borrow(state.module);
    }
    Ref module = check(PyModule_NewObject(attr(spec, "name").get()));
    copy_spec_attribute(spec, module, "loader", "__loader__", false);
    copy_spec_attribute(spec, module, "origin", "__file__", false);
    copy_spec_attribute(spec, module, "parent", "__package__", false);
    copy_spec_attribute(spec, module, "submodule_search_locations", "__path__", true);
    state.module = Py_NewRef(module.get());
    return module;
}

void bind(Handle globals, const char* name, Handle value) { check(PyDict_SetItem(globals.get(), str(name), value.get())); }

// import <name>
void import_module(Handle globals, const char* name)
{
    bind(globals, name, check(PyImport_ImportModuleLevelObject(str(name), globals.get(), nullptr, nullptr, 0)));
}

// The name of a from-import: the module's attribute, or else a submodule
// entered in sys.modules but not yet set on its parent.
Ref imported_name(Handle module, Handle name)
{
    if (Ref value = optional_attr(module, name)) return value;
    if (Ref parent = Ref::steal(PyObject_GetAttr(module.get(), str("__name__")))) {
        Ref full = check(PyUnicode_FromFormat("%S.%U", parent.get(), name.get()));
        if (Ref submodule = Ref::steal(PyImport_GetModule(full.get()))) return submodule;
        if (PyErr_Occurred()) raise_error_set();
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
    raise_error_set();
}

// from <module_name> import <names...>
void import_from(Handle globals, const char* module_name, std::initializer_list<const char*> names)
{
    Ref from_list = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t index = 0;
    for (const char* name : names) PyTuple_SET_ITEM(from_list.get(), index++, Py_NewRef(str(name)));
    Ref module = check(PyImport_ImportModuleLevelObject(str(module_name), globals.get(), nullptr, from_list.get(), 0));
    for (const char* name : names) bind(globals, name, imported_name(module, str(name)));
}

// os.path.<function>, looked up afresh
Ref os_path_function(Handle globals, const char* function)
{
    return attr(attr(global(globals, "os"), "path"), function);
}

// sys.path.append(os.path.abspath(os.path.join(os.path.dirname(__file__), "..")))
void append_search_path(Handle globals)
{
    Ref sys_path = attr(global(globals, "sys"), "path");
    Ref abspath = os_path_function(globals, "abspath");
    Ref join = os_path_function(globals, "join");
    Ref dirname = os_path_function(globals, "dirname");
    Ref file = global(globals, "__file__");
    Ref absolute = call(abspath, {call(join, {call(dirname, {file}), str("..")})});
    if (PyList_CheckExact(sys_path.get())) {
        check(PyList_Append(sys_path.get(), absolute.get()));
    } else {
        call_method(sys_path, "append", {absolute});
    }
}

// CURRENT_DIR = os.path.dirname(__file__)
void bind_current_dir(Handle globals)
{
    Ref dirname = os_path_function(globals, "dirname");
    bind(globals, "CURRENT_DIR", call(dirname, {global(globals, "__file__")}));
}

// When initialised as the host's main module: both operations, chained, for
// the three default connectors.
void run_as_main(Handle globals)
{
    Ref name = global(globals, "__name__");
    if (!check(PyObject_RichCompareBool(name.get(), str("__main__"), Py_EQ))) return;
    bind(globals, "connector_names",
         check(Py_BuildValue("[sss]", "source-file", "destination-sftp-json", "destination-csv")));
    Ref model_files = global(globals, "generate_model_files");
    Ref jsonschema_files = global(globals, "generate_jsonschema_files");
    Ref connector_names = global(globals, "connector_names");
    call(model_files, {call(jsonschema_files, {connector_names})});
}

// Everything after the version check; `entered` tells whether this call put
// the module into sys.modules.
void start_up(Handle module, bool& entered)
{
    PyObject* globals = PyModule_GetDict(module.get());
    if (!globals) raise_error_set();

    PyObject* modules = PyImport_GetModuleDict();
    if (!check(PyDict_Contains(modules, str(full_name)))) {
        check(PyDict_SetItem(modules, str(full_name), module.get()));
        entered = true;
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) raise_error_set();
    Ref open = global(builtins, "open");
    keep_startup_builtins(open, global(builtins, "print"));

    for (const char* name : {"sys", "shutil", "os"}) import_module(globals, name);
    append_search_path(globals);
    import_module(globals, "subprocess");
    import_from(globals, "airbyte.sources.registry", {"_get_registry_url", "_is_registry_disabled"});
    for (const char* name : {"json", "re", "requests"}) import_module(globals, name);
    import_from(globals, "pathlib", {"Path"});
    import_from(globals, "airbyte.version", {"get_version"});
    import_module(globals, "pydantic");
    bind_current_dir(globals);
    bind(globals, "generate_jsonschema_files", make_function(jsonschema_files_spec, globals));
    bind(globals, "generate_model_files", make_function(model_files_spec, globals));
    run_as_main(globals);
}

void execute(Handle module)
{
    if (state.initialised) {
        if (module.get() == state.module) {
            void* replaced = std::exchange(state.replaced_state, nullptr);
            if (replaced && replaced != PyModule_GetState(module.get())) PyMem_Free(replaced);
            return;
        }
        raise_error(PyExc_RuntimeError,
                    "Module 'model_generator' has already been imported. Re-initialisation is not supported.");
    }
    // The module is built for one Python (the one whose headers it was
    // compiled with, 3.11 or 3.12) and says so when another one loads it.
    const unsigned long major = (Py_Version >> 24U) & 0xffU, minor = (Py_Version >> 16U) & 0xffU;
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                               PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match",
                               static_cast<int>(major), static_cast<int>(minor)));
    }
    serve_module(full_name);
    bool entered = false;
    try {
        start_up(module, entered);
    } catch (...) {
        error_from_exception();
        add_traceback(init_entry);
        // The module is absent again: a later import starts from scratch.
        if (entered) {
            const ErrorSetAside aside;
            if (PyDict_GetItemString(PyImport_GetModuleDict(), full_name) == module.get()) {
                PyDict_DelItemString(PyImport_GetModuleDict(), full_name);
            }
        }
        Py_CLEAR(state.module);
        raise_error_set();
    }
    state.initialised = true;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept
{
    return guarded(Ref(), [&] { return create(spec); }).release();
}

int exec_module(PyObject* module) noexcept
{
    return guarded(-1, [&] {
        execute(module);
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {.slot = Py_mod_create, .value = reinterpret_cast<void*>(create_module)},
    {.slot = Py_mod_exec, .value = reinterpret_cast<void*>(exec_module)},
    {},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "model_generator",
    .m_slots = module_slots,
};

}  // namespace
}  // namespace mg

extern "C" PyMODINIT_FUNC PyInit_model_generator() noexcept { return PyModuleDef_Init(&mg::module_definition); }
