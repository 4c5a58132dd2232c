// The POSIX thread functions that the pool (and the C++ runtime linked into
// the module with it) calls, bound to their oldest symbol versions.
//
// glibc 2.34 moved libpthread into libc and gave these functions new symbol
// versions (GLIBC_2.34, pthread_sigmask GLIBC_2.32), which older C libraries
// lack: a module linked against them would not load there. Unlike exp and
// log (system_exp_log.cpp), the old versions are the very same functions
// under their first names, in libpthread.so.0 before 2.34 and in libc since.
// The pool's library is linked with -Wl,--wrap for each of them, so every
// call, the static C++ runtime's std::thread included, reaches __wrap_<name>
// below, which calls <name>@GLIBC_2.2.5.
#include <pthread.h>
#include <signal.h>

#define KESTRELFIN_OLDEST(name) __asm__(".symver " #name "_oldest," #name "@GLIBC_2.2.5")

extern "C" {

int pthread_create_oldest(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int pthread_join_oldest(pthread_t, void**);
int pthread_detach_oldest(pthread_t);
int pthread_once_oldest(pthread_once_t*, void (*)());
int pthread_key_create_oldest(pthread_key_t*, void (*)(void*));
int pthread_key_delete_oldest(pthread_key_t);
void* pthread_getspecific_oldest(pthread_key_t);
int pthread_setspecific_oldest(pthread_key_t, const void*);
int pthread_sigmask_oldest(int, const sigset_t*, sigset_t*);

KESTRELFIN_OLDEST(pthread_create);
KESTRELFIN_OLDEST(pthread_join);
KESTRELFIN_OLDEST(pthread_detach);
KESTRELFIN_OLDEST(pthread_once);
KESTRELFIN_OLDEST(pthread_key_create);
KESTRELFIN_OLDEST(pthread_key_delete);
KESTRELFIN_OLDEST(pthread_getspecific);
KESTRELFIN_OLDEST(pthread_setspecific);
KESTRELFIN_OLDEST(pthread_sigmask);

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    return pthread_create_oldest(thread, attributes, start, argument);
}
int __wrap_pthread_join(pthread_t thread, void** result) {
    return pthread_join_oldest(thread, result);
}
int __wrap_pthread_detach(pthread_t thread) {
    return pthread_detach_oldest(thread);
}
int __wrap_pthread_once(pthread_once_t* control, void (*routine)()) {
    return pthread_once_oldest(control, routine);
}
int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return pthread_key_create_oldest(key, destructor);
}
int __wrap_pthread_key_delete(pthread_key_t key) {
    return pthread_key_delete_oldest(key);
}
void* __wrap_pthread_getspecific(pthread_key_t key) {
    return pthread_getspecific_oldest(key);
}
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    return pthread_setspecific_oldest(key, value);
}
int __wrap_pthread_sigmask(int how, const sigset_t* set, sigset_t* previous) {
    return pthread_sigmask_oldest(how, set, previous);
}

}  // extern "C"
