"""Moves LeakSanitizer's end-of-process check to the interpreter's exit
handlers, for every interpreter of the sanitizer venv (imported by a .pth).

At the default time, after the interpreter has finalised, threads of prebuilt
libraries (duckdb's and pyarrow's pools) are still exiting: their owners
signal them during finalisation and do not join them. LeakSanitizer's tracer
stops every thread to scan it, and now and then it meets one halfway through
its exit and crashes ("Tracer caught signal 11"), failing a run that has no
leak. In the exit handlers those threads are still parked. This handler is
registered before any other, so it runs after them all; a leak found ends
the process with LeakSanitizer's exit code as before, and the check at the
process's end is skipped, since it runs once.

A forked child that runs the exit handlers (the fast mode's warm children
do) is not checked: it ends with os._exit, which never had a leak check, and
the locks the interpreter replaces after a fork would show as leaks. Nor is
a subinterpreter: its exit handlers run while the process finalises, where
calling into the runtime hangs, and the main interpreter's check covers the
process.
"""

import atexit
import ctypes
import os


def _leak_check():
    """LeakSanitizer's check; None without its runtime or in a subinterpreter."""
    try:
        check = ctypes.CDLL(None).__lsan_do_leak_check
    except AttributeError:  # the runtime is not preloaded
        return None
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = api.PyInterpreterState_Main.restype = ctypes.c_void_p
    if api.PyInterpreterState_Get() != api.PyInterpreterState_Main():
        return None
    check.restype = None
    return check


_check = _leak_check()
if _check is not None:
    _started_as = os.getpid()

    def _check_for_leaks():
        if os.getpid() == _started_as:
            _check()

    atexit.register(_check_for_leaks)
