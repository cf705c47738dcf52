#include "host/function.hpp"

#include "host/calls.hpp"
#include "host/error_indicator.hpp"
#include "host/traceback.hpp"

#include <cstddef>
#include <structmember.h>

namespace mg {
namespace {

constexpr const char* module_name = "corvel.model_generator";

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* globals;
    PyObject* name;
    PyObject* code;  // carries the parameter list for introspection
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

PyObject* positional_count_error(const FunctionSpec& spec, Py_ssize_t given)
{
    return PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                        "exactly", static_cast<Py_ssize_t>(1), "", given);
}

// The argument rules: one argument, by position or by keyword, nothing else.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    const FunctionSpec& spec = *as_function(self)->spec;
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > 1) return positional_count_error(spec, positional);

    PyObject* argument = positional == 1 ? args[0] : nullptr;
    PyObject* unexpected = nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t index = 0; index < keywords; ++index) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, index);
        if (!PyUnicode_Check(keyword)) {
            return PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
        }
        if (PyUnicode_CompareWithASCIIString(keyword, spec.parameter) != 0) {
            if (!unexpected) unexpected = keyword;
            continue;
        }
        if (argument) {
            return PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                                keyword);
        }
        argument = args[positional + index];
    }
    if (!argument) return positional_count_error(spec, 0);
    if (unexpected) {
        return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, unexpected);
    }

    PyObject* result = spec.body(as_function(self)->globals, argument);
    if (!result) add_traceback(spec.traceback_name);
    return returned_to_host(result);
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->globals);
    return 0;
}

int function_clear(PyObject* self)
{
    Py_CLEAR(as_function(self)->globals);
    return 0;
}

void function_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U>", as_function(self)->name); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString(module_name); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_annotations(PyObject*, void*) { return PyDict_New(); }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "corvel.model_generator.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// One type for the life of the process, made at first use.
PyObject* function_type()
{
    static PyObject* type = nullptr;
    if (!type) type = PyType_FromSpec(&function_type_spec);
    return type;
}

// An empty code object whose parameter list is the one parameter.
Ref signature_code(const FunctionSpec& spec)
{
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("corvel/model_generator", spec.name, 0)));
    if (!empty) return {};
    Ref replace = get_attr(empty.get(), "replace");
    if (!replace) return {};
    Ref parameter = Ref::steal(PyUnicode_FromString(spec.parameter));
    if (!parameter) return {};
    Ref variables = Ref::steal(PyTuple_Pack(1, parameter.get()));
    if (!variables) return {};
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return {};
    return call(replace.get(), {}, {"co_argcount", "co_nlocals", "co_varnames"},
                {one.get(), one.get(), variables.get()});
}

}  // namespace

Ref make_function(const FunctionSpec& spec, PyObject* globals)
{
    PyObject* type = function_type();
    if (!type) return {};
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    if (!name) return {};
    Ref code = signature_code(spec);
    if (!code) return {};
    auto* self = PyObject_GC_New(NativeFunction, reinterpret_cast<PyTypeObject*>(type));
    if (!self) return {};
    self->vectorcall = function_vectorcall;
    self->spec = &spec;
    self->globals = Py_NewRef(globals);
    self->name = name.release();
    self->code = code.release();
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace mg
