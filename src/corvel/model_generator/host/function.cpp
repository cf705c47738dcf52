// The native function type: argument rules, attributes and life cycle.
#include "host/function.hpp"

#include "host/calls.hpp"
#include "host/served_module.hpp"
#include "host/traceback.hpp"

#include <cstddef>
#include <structmember.h>

namespace mg {
namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* globals;
    PyObject* name;
    PyObject* code;  // carries the parameter list for introspection
};

NativeFunction* as_function(PyObject* self) noexcept { return reinterpret_cast<NativeFunction*>(self); }

PyObject* positional_count_error(const FunctionSpec& spec, Py_ssize_t given) noexcept
{
    return PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                        "exactly", static_cast<Py_ssize_t>(1), "", given);
}

// The argument rules: one argument, by position or by keyword, nothing else.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
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

    Ref result = guarded(Ref(), [&] { return spec.body(as_function(self)->globals, argument); });
    if (!result) add_traceback(spec.traceback_name);
    return returned_to_host(result.release());
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->globals);
    return 0;
}

int function_clear(PyObject* self) noexcept
{
    Py_CLEAR(as_function(self)->globals);
    return 0;
}

void function_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U>", as_function(self)->name);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_module(PyObject*, void*) noexcept { return PyUnicode_FromString(served_module_name().c_str()); }
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->code); }
PyObject* get_annotations(PyObject*, void*) noexcept { return PyDict_New(); }
PyObject* get_globals(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->globals); }

PyGetSetDef function_getset[] = {
    {.name = "__name__", .get = get_name},
    {.name = "__qualname__", .get = get_name},
    {.name = "__module__", .get = get_module},
    {.name = "__doc__", .get = get_none},
    {.name = "__code__", .get = get_code},
    {.name = "__defaults__", .get = get_none},
    {.name = "__kwdefaults__", .get = get_none},
    {.name = "__annotations__", .get = get_annotations},
    {.name = "__globals__", .get = get_globals},
    {},
};

PyMemberDef function_members[] = {
    {.name = "__vectorcalloffset__",
     .type = T_PYSSIZET,
     .offset = offsetof(NativeFunction, vectorcall),
     .flags = READONLY},
    {},
};

PyType_Slot function_slots[] = {
    {.slot = Py_tp_call, .pfunc = reinterpret_cast<void*>(PyVectorcall_Call)},
    {.slot = Py_tp_repr, .pfunc = reinterpret_cast<void*>(function_repr)},
    {.slot = Py_tp_traverse, .pfunc = reinterpret_cast<void*>(function_traverse)},
    {.slot = Py_tp_clear, .pfunc = reinterpret_cast<void*>(function_clear)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(function_dealloc)},
    {.slot = Py_tp_getset, .pfunc = function_getset},
    {.slot = Py_tp_members, .pfunc = function_members},
    {},
};

// One type for the life of the process, made at first use.
PyTypeObject* function_type()
{
    static PyTypeObject* type =
        make_served_type("native_function", sizeof(NativeFunction),
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                         function_slots);
    return type;
}

// An empty code object whose parameter list is the one parameter.
Ref signature_code(const FunctionSpec& spec)
{
    Ref empty = check(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(served_module_source_dir().c_str(), spec.name, 0)));
    Ref variables = check(PyTuple_Pack(1, str(spec.parameter)));
    Ref one = check(PyLong_FromLong(1));
    return call(attr(empty, "replace"), {},
                {{"co_argcount", one}, {"co_nlocals", one}, {"co_varnames", variables}});
}

}  // namespace

Ref make_function(const FunctionSpec& spec, Handle globals)
{
    PyTypeObject* type = function_type();
    Ref name = check(PyUnicode_FromString(spec.name));
    Ref code = signature_code(spec);
    auto* self = PyObject_GC_New(NativeFunction, type);
    if (!self) raise_error_set();
    self->vectorcall = function_vectorcall;
    self->spec = &spec;
    self->globals = Py_NewRef(globals.get());
    self->name = name.release();
    self->code = code.release();
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace mg
