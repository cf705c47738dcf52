// The generator-expression type: iteration and life cycle.
#include "host/genexpr.hpp"

#include "host/calls.hpp"
#include "host/served_module.hpp"
#include "host/traceback.hpp"

namespace mg {
namespace {

struct Genexpr {
    PyObject_HEAD
    const GenexprSpec* spec;
    PyObject* iterator;  // null once finished
};

Genexpr* as_genexpr(PyObject* self) noexcept { return reinterpret_cast<Genexpr*>(self); }

PyObject* genexpr_next(PyObject* self) noexcept
{
    Genexpr* genexpr = as_genexpr(self);
    if (!genexpr->iterator) return nullptr;
    Ref result;
    if (Ref item = Ref::steal(PyIter_Next(genexpr->iterator))) {
        result = guarded(Ref(), [&] { return call_method(item, genexpr->spec->method); });
    }
    if (!result) {
        // Exhausted, or raised: a generator that raised is finished too.
        Py_CLEAR(genexpr->iterator);
        add_traceback("genexpr");
    }
    return yielded_to_host(result.release());
}

int genexpr_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_genexpr(self)->iterator);
    return 0;
}

int genexpr_clear(PyObject* self) noexcept
{
    Py_CLEAR(as_genexpr(self)->iterator);
    return 0;
}

void genexpr_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    genexpr_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject*, void*) noexcept { return PyUnicode_FromString("genexpr"); }
PyObject* get_qualname(PyObject* self, void*) noexcept
{
    return PyUnicode_FromString(as_genexpr(self)->spec->qualname);
}

PyGetSetDef genexpr_getset[] = {
    {.name = "__name__", .get = get_name},
    {.name = "__qualname__", .get = get_qualname},
    {},
};

PyType_Slot genexpr_slots[] = {
    {.slot = Py_tp_iter, .pfunc = reinterpret_cast<void*>(PyObject_SelfIter)},
    {.slot = Py_tp_iternext, .pfunc = reinterpret_cast<void*>(genexpr_next)},
    {.slot = Py_tp_traverse, .pfunc = reinterpret_cast<void*>(genexpr_traverse)},
    {.slot = Py_tp_clear, .pfunc = reinterpret_cast<void*>(genexpr_clear)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(genexpr_dealloc)},
    {.slot = Py_tp_getset, .pfunc = genexpr_getset},
    {},
};

// One type for the life of the process, made at first use.
PyTypeObject* genexpr_type()
{
    static PyTypeObject* type = make_served_type(
        "generator", sizeof(Genexpr),
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        genexpr_slots);
    return type;
}

}  // namespace

Ref make_genexpr(const GenexprSpec& spec, Handle iterable)
{
    try {
        Ref iterator = check(PyObject_GetIter(iterable.get()));
        auto* self = PyObject_GC_New(Genexpr, genexpr_type());
        if (!self) raise_error_set();
        self->spec = &spec;
        self->iterator = iterator.release();
        PyObject_GC_Track(self);
        return Ref::steal(reinterpret_cast<PyObject*>(self));
    } catch (...) {
        error_from_exception();
        add_traceback(spec.creation_entry);
        raise_error_set();
    }
}

}  // namespace mg
