#include "host/calls.hpp"

#include <unordered_map>

namespace mg {

PyObject* interned(const char* literal)
{
    // Keyed by the literal's address: every caller passes a string literal.
    // The module is never unloaded, so the strings are never released.
    static std::unordered_map<const char*, PyObject*> cache;
    if (auto found = cache.find(literal); found != cache.end()) return found->second;
    PyObject* text = PyUnicode_InternFromString(literal);
    if (text) cache.emplace(literal, text);
    return text;
}

Ref lookup_global(PyObject* globals, const char* literal)
{
    PyObject* name = interned(literal);
    if (!name) return {};
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        found = PyDict_GetItemWithError(builtins, name);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref get_attr(PyObject* object, const char* literal)
{
    PyObject* name = interned(literal);
    if (!name) return {};
    return Ref::steal(PyObject_GetAttr(object, name));
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> positional,
         std::initializer_list<const char*> keyword_names, std::initializer_list<PyObject*> keyword_values)
{
    // Slot 0 is left free so the host may use it (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[8];
    const size_t total = positional.size() + keyword_values.size();
    if (total + 1 > std::size(stack) || keyword_names.size() != keyword_values.size()) {
        PyErr_SetString(PyExc_SystemError, "corvel.model_generator: call with too many arguments");
        return {};
    }
    size_t at = 1;
    for (PyObject* argument : positional) stack[at++] = argument;
    for (PyObject* argument : keyword_values) stack[at++] = argument;
    Ref names;
    if (keyword_names.size() != 0) {
        names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keyword_names.size())));
        if (!names) return {};
        Py_ssize_t index = 0;
        for (const char* name : keyword_names) {
            PyObject* key = interned(name);
            if (!key) return {};
            Py_INCREF(key);
            PyTuple_SET_ITEM(names.get(), index++, key);
        }
    }
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                          positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref call_method(PyObject* object, const char* literal, std::initializer_list<PyObject*> positional)
{
    PyObject* name = interned(literal);
    if (!name) return {};
    PyObject* stack[4];
    if (positional.size() + 1 > std::size(stack)) {
        PyErr_SetString(PyExc_SystemError, "corvel.model_generator: method call with too many arguments");
        return {};
    }
    stack[0] = object;
    size_t at = 1;
    for (PyObject* argument : positional) stack[at++] = argument;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, at | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref format_value(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, nullptr));
}

Ref concat(std::initializer_list<PyObject*> parts)
{
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) return {};
    Ref sequence = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!sequence) return {};
    Py_ssize_t index = 0;
    for (PyObject* part : parts) {
        Py_INCREF(part);
        PyTuple_SET_ITEM(sequence.get(), index++, part);
    }
    return Ref::steal(PyUnicode_Join(empty.get(), sequence.get()));
}

int truth(PyObject* value) { return PyObject_IsTrue(value); }

HandledError::HandledError()
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    previous_ = PyErr_GetHandledException();
    PyErr_SetHandledException(value_.get());
}

HandledError::~HandledError()
{
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

void HandledError::reraise() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

namespace detail {

namespace {

// Special methods are looked up on the type, as the with statement does.
Ref special_method(PyObject* manager, const char* name)
{
    PyObject* key = interned(name);
    if (!key) return {};
    PyObject* found = _PyType_Lookup(Py_TYPE(manager), key);  // borrowed
    Ref bound;
    if (found) {
        descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
        bound = bind ? Ref::steal(bind(found, manager, reinterpret_cast<PyObject*>(Py_TYPE(manager))))
                     : Ref::borrow(found);
    } else if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
    }
    return bound;
}

}  // namespace

bool with_enter(PyObject* manager, WithState& state)
{
    Ref enter = special_method(manager, "__enter__");
    if (!enter) return false;
    state.exit = special_method(manager, "__exit__");
    if (!state.exit) return false;
    state.target = call(enter.get(), {});
    return static_cast<bool>(state.target);
}

bool with_exit(PyObject*, WithState& state, bool body_ok)
{
    if (body_ok) return static_cast<bool>(call(state.exit.get(), {Py_None, Py_None, Py_None}));

    HandledError error;
    Ref swallowed = call(state.exit.get(), {error.type(), error.value(), error.traceback_or_none()});
    if (!swallowed) return false;  // __exit__'s own error replaces the body's
    const int suppress = truth(swallowed.get());
    if (suppress < 0) return false;
    if (suppress) return true;
    error.reraise();
    return false;
}

}  // namespace detail
}  // namespace mg
