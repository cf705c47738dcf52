// Part of the module only when the C++ runtime is linked into it
// (CORVEL_STATIC_CXX_RUNTIME, see CMakeLists.txt).
//
// libstdc++ built on glibc 2.32 or newer reads glibc's __libc_single_threaded
// to skip atomic operations while a process has one thread. That variable
// exists from glibc 2.32 on only, so a copy of libstdc++ inside the module
// would make the wheel need glibc 2.32. The link (-Wl,--wrap) sends those
// reads here instead: a constant "may have other threads", so the runtime
// always takes its atomic path, which is what it does on a glibc without the
// variable and always correct.
extern "C" {
__attribute__((visibility("hidden"))) char __wrap___libc_single_threaded = 0;  // NOLINT
}
