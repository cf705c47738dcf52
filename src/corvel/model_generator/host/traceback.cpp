// Traceback entries that point into the native sources.
#include "host/traceback.hpp"

#include "host/error.hpp"
#include "host/served_module.hpp"

#include <frameobject.h>

#include <string_view>

namespace mg {

namespace {

// The source path from the module's source directory on
// (package/module/...), whatever directory the build ran in.
const char* package_relative(const char* path)
{
    const std::string_view text(path);
    const auto at = text.rfind(served_module_source_dir() + '/');
    return at == std::string_view::npos ? path : path + at;
}

// A fresh frame of a code object whose first line is the entry's line
// reports that line.
Ref entry_frame(const char* function_name, std::source_location where)
{
    Ref code = check(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(package_relative(where.file_name()), function_name, static_cast<int>(where.line()))));
    Ref globals = check(PyDict_New());
    return check(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
}

}  // namespace

void add_traceback(const char* function_name, std::source_location where) noexcept
{
    if (!PyErr_Occurred()) return;
    Ref frame;
    {
        // Failing to build the entry must not replace the error being reported.
        const ErrorSetAside aside;
        frame = guarded(Ref(), [&] { return entry_frame(function_name, where); });
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace mg
