#include "host/genexpr.hpp"

#include "host/calls.hpp"
#include "host/error_indicator.hpp"
#include "host/traceback.hpp"

namespace mg {
namespace {

struct Genexpr {
    PyObject_HEAD
    const GenexprSpec* spec;
    PyObject* iterator;  // null once exhausted
};

Genexpr* as_genexpr(PyObject* self) { return reinterpret_cast<Genexpr*>(self); }

PyObject* genexpr_next(PyObject* self)
{
    Genexpr* genexpr = as_genexpr(self);
    if (!genexpr->iterator) return nullptr;
    Ref item = Ref::steal(PyIter_Next(genexpr->iterator));
    if (!item) {
        Py_CLEAR(genexpr->iterator);
        if (PyErr_Occurred()) add_traceback("genexpr");
        return nullptr;
    }
    Ref result = call_method(item.get(), genexpr->spec->method);
    if (!result) {
        Py_CLEAR(genexpr->iterator);  // a generator that raised is finished
        add_traceback("genexpr");
    }
    return yielded_to_host(result.release());
}

int genexpr_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_genexpr(self)->iterator);
    return 0;
}

int genexpr_clear(PyObject* self)
{
    Py_CLEAR(as_genexpr(self)->iterator);
    return 0;
}

void genexpr_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    genexpr_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString("genexpr"); }
PyObject* get_qualname(PyObject* self, void*) { return PyUnicode_FromString(as_genexpr(self)->spec->qualname); }

PyGetSetDef genexpr_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot genexpr_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(genexpr_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(genexpr_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(genexpr_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(genexpr_dealloc)},
    {Py_tp_getset, genexpr_getset},
    {0, nullptr},
};

PyType_Spec genexpr_type_spec = {
    "corvel.model_generator.generator",
    sizeof(Genexpr),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    genexpr_slots,
};

PyObject* genexpr_type()
{
    static PyObject* type = nullptr;
    if (!type) type = PyType_FromSpec(&genexpr_type_spec);
    return type;
}

}  // namespace

Ref make_genexpr(const GenexprSpec& spec, PyObject* iterable)
{
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    PyObject* type = iterator ? genexpr_type() : nullptr;
    auto* self = type ? PyObject_GC_New(Genexpr, reinterpret_cast<PyTypeObject*>(type)) : nullptr;
    if (!self) {
        add_traceback(spec.creation_entry);
        return {};
    }
    self->spec = &spec;
    self->iterator = iterator.release();
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace mg
