#include "host/traceback.hpp"

#include <frameobject.h>

#include <string_view>

namespace mg {

namespace {

// The source path as the package lays it out (corvel/model_generator/...),
// whatever directory the build ran in.
const char* package_relative(const char* path)
{
    std::string_view text(path);
    const auto at = text.rfind("corvel/model_generator/");
    return at == std::string_view::npos ? path : path + at;
}

}  // namespace

void add_traceback(const char* function_name, std::source_location where)
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;

    // A code object whose first line is the entry's line: a fresh frame of it
    // reports that line.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(package_relative(where.file_name()), function_name, static_cast<int>(where.line()))));
    Ref globals = Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
    }
    // Failing to build the entry must not replace the error being reported.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace mg
