// What the module needs to load on every glibc from 2.17 (manylinux2014) when it is built against
// a newer one: part of the portable build on x86-64 glibc (TDT_PORTABLE, CMakeLists.txt).
// tools/wheels.sh fails a wheel whose module still needs a newer symbol version; this file is where
// such a need is answered.
#include <pthread.h>

extern "C" {

// The module carries its own libstdc++. From GCC 11 on, libstdc++ built against glibc 2.32 or newer
// reads glibc's `__libc_single_threaded` to skip atomic updates (static-local guards, exception
// strings) while a process has one thread; the variable exists only from glibc 2.32. This copy,
// local to the module, answers those reads instead: zero says "other threads may exist", and
// libstdc++ then always takes its atomic path, which is right in every process.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// When glibc 2.32 and 2.34 moved libpthread into libc, these functions got new default versions
// there; a build against a newer glibc binds to those. The linker sends the module's calls here
// (-Wl,--wrap), and these call the versions that every glibc has had (GLIBC_2.2.5 on x86-64,
// in libpthread.so.0 before 2.34, which the module therefore names as needed).
int tdt_pthread_getattr_np_2_2_5(pthread_t thread, pthread_attr_t* attr);
int tdt_pthread_attr_getstack_2_2_5(const pthread_attr_t* attr, void** addr, size_t* size);
__asm__(".symver tdt_pthread_getattr_np_2_2_5, pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver tdt_pthread_attr_getstack_2_2_5, pthread_attr_getstack@GLIBC_2.2.5");

__attribute__((visibility("hidden"))) int __wrap_pthread_getattr_np(pthread_t thread, pthread_attr_t* attr) {
    return tdt_pthread_getattr_np_2_2_5(thread, attr);
}

__attribute__((visibility("hidden"))) int __wrap_pthread_attr_getstack(const pthread_attr_t* attr, void** addr,
                                                                       size_t* size) {
    return tdt_pthread_attr_getstack_2_2_5(attr, addr, size);
}

}  // extern "C"
