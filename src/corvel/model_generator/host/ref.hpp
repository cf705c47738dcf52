// References to host objects: a borrowed Handle and an owning Ref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace mg {

// A borrowed object, taken by the helpers from a PyObject* or a Ref alike.
class Handle {
public:
    Handle(PyObject* object) noexcept : object_(object) {}  // NOLINT(misc-explicit-constructor)
    [[nodiscard]] PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;
};

// Holds one strong reference, released when the Ref goes away.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

    Ref(const Ref& other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(const Ref& other) noexcept
    {
        Ref copy(other);
        std::swap(object_, copy.object_);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept
    {
        Ref taken(std::move(other));
        std::swap(object_, taken.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    operator Handle() const noexcept { return object_; }  // NOLINT(misc-explicit-constructor)
    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (a C-API "new reference" result).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace mg
