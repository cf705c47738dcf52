// Calls into the host, the error types of error.hpp, and the with-block's
// protocol.
#include "host/calls.hpp"

#include "host/compat.hpp"

#include <unordered_map>
#include <vector>

namespace mg {

void raise_error_set() { throw ErrorIsSet{}; }

void raise_error(PyObject* type, const char* message)
{
    PyErr_SetString(type, message);
    raise_error_set();
}

void error_from_exception() noexcept
{
    try {
        throw;
    } catch (const ErrorIsSet&) {
        return;  // set already
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in native code");
    }
}

PyObject* str(const char* literal)
{
    // Keyed by the literal's address: every caller passes a string literal.
    // The module is never unloaded, so the strings are never released.
    static std::unordered_map<const char*, PyObject*> cache;
    if (auto found = cache.find(literal); found != cache.end()) return found->second;
    Ref text = check(PyUnicode_InternFromString(literal));
    cache.emplace(literal, text.get());
    return text.release();
}

Ref global(Handle globals, const char* name)
{
    PyObject* key = str(name);
    if (PyObject* found = PyDict_GetItemWithError(globals.get(), key)) return Ref::borrow(found);
    if (PyErr_Occurred()) raise_error_set();
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        if (PyObject* found = PyDict_GetItemWithError(builtins, key)) return Ref::borrow(found);
        if (PyErr_Occurred()) raise_error_set();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    raise_error_set();
}

Ref attr(Handle object, const char* name) { return check(PyObject_GetAttr(object.get(), str(name))); }

Ref optional_attr(Handle object, Handle name)
{
    PyObject* value = nullptr;
    check(compat::lookup_attr(object.get(), name.get(), &value));
    return Ref::steal(value);
}

Ref item(Handle object, Handle key) { return check(PyObject_GetItem(object.get(), key.get())); }

void set_item(Handle object, Handle key, Handle value)
{
    check(PyObject_SetItem(object.get(), key.get(), value.get()));
}

Ref call(Handle callable, std::initializer_list<Handle> positional, std::initializer_list<Keyword> keywords)
{
    // Slot 0 is left free so the host may use it (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::vector<PyObject*> stack{nullptr};
    stack.reserve(1 + positional.size() + keywords.size());
    for (Handle argument : positional) stack.push_back(argument.get());
    Ref names;
    if (keywords.size() != 0) {
        names = check(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t index = 0;
        for (const auto& [name, value] : keywords) {
            PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(str(name)));
            stack.push_back(value.get());
        }
    }
    return check(PyObject_Vectorcall(callable.get(), stack.data() + 1,
                                     positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref call_method(Handle object, const char* name, std::initializer_list<Handle> positional)
{
    PyObject* method = str(name);
    std::vector<PyObject*> stack{object.get()};
    for (Handle argument : positional) stack.push_back(argument.get());
    return check(PyObject_VectorcallMethod(method, stack.data(), stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

Ref format_value(Handle value)
{
    if (PyUnicode_CheckExact(value.get())) return Ref::borrow(value.get());
    return check(PyObject_Format(value.get(), nullptr));
}

namespace {

template <typename Text>
Ref join(std::initializer_list<Handle> parts, const Text& text)
{
    Ref texts = check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t index = 0;
    for (Handle part : parts) PyTuple_SET_ITEM(texts.get(), index++, text(part).release());
    return check(PyUnicode_Join(str(""), texts.get()));
}

}  // namespace

Ref concat(std::initializer_list<Handle> texts)
{
    return join(texts, [](Handle text) { return Ref::borrow(text.get()); });
}

Ref fstring(std::initializer_list<Handle> parts) { return join(parts, format_value); }

bool truth(Handle value) { return check(PyObject_IsTrue(value.get())) != 0; }

HandledError::HandledError()
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    if (traceback) check(PyException_SetTraceback(value, traceback));
    previous_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value);
}

HandledError::~HandledError() { PyErr_SetHandledException(previous_.get()); }

void HandledError::reraise()
{
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    raise_error_set();
}

namespace detail {
namespace {

// Special methods are looked up on the type, as the with statement does.
Ref special_method(Handle manager, const char* name)
{
    PyTypeObject* type = Py_TYPE(manager.get());
    PyObject* found = compat::type_lookup(type, str(name));  // borrowed
    if (!found) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         type->tp_name);
        }
        raise_error_set();
    }
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (!bind) return Ref::borrow(found);
    return check(bind(found, manager.get(), reinterpret_cast<PyObject*>(type)));
}

}  // namespace

WithState with_enter(Handle manager)
{
    Ref enter = special_method(manager, "__enter__");
    Ref exit = special_method(manager, "__exit__");
    return {.exit = exit, .target = call(enter)};
}

void with_exit_on_error(const Ref& exit)
{
    HandledError error;
    // __exit__'s own error replaces the body's.
    Ref swallowed = call(exit, {error.type(), error.value(), error.traceback_or_none()});
    if (!truth(swallowed)) error.reraise();
}

}  // namespace detail
}  // namespace mg
