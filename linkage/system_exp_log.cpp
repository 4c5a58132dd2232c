// exp and log of the C library the module is loaded into, looked up once at
// load time instead of bound to a symbol version at link time.
//
// A program linked against glibc 2.29 or later calls exp@GLIBC_2.29 and
// log@GLIBC_2.29, versions that older C libraries lack, so a module linked
// that way would not load where glibc is older. The old exp@GLIBC_2.2.5 and
// log@GLIBC_2.2.5, still in every glibc, are no way out: on newer glibc they
// are compatibility entries that differ from the current functions (log of a
// negative number or of -inf returns +NaN there, -NaN in the current one).
//
// So the modules are linked with -Wl,--wrap=exp,--wrap=log: every call to
// exp or log in them, the address taken by the replicas' run-time check
// included, goes to __wrap_exp or __wrap_log below, which jump through a
// pointer to the function that dlsym(RTLD_DEFAULT) finds. That is the default
// version of the running C library, exactly what a program built on that
// system calls, or the definition of a library preloaded in front of it
// (LD_PRELOAD), which a program would call too. The lookup happens once, at
// load time (a static initialiser); each call then costs one indirect jump,
// as a call through the procedure linkage table does.
//
// dlsym itself is bound to its oldest version (GLIBC_2.2.5, in libdl before
// glibc 2.34, in libc since), which every glibc on x86-64 defines.
#include <dlfcn.h>

#include <atomic>

#if defined(__GLIBC__)
__asm__(".symver dlsym,dlsym@GLIBC_2.2.5");
#endif

namespace {

using Function = double (*)(double);

// The definition that a call from this module would reach by the dynamic
// linker's default lookup; never null while libm is one of the module's
// dependencies (its link line names it).
Function system_function(const char* name) noexcept {
    void* const symbol = dlsym(RTLD_DEFAULT, name);
    return reinterpret_cast<Function>(symbol);
}

double exp_at_first_call(double x) noexcept;
double log_at_first_call(double x) noexcept;

// Constant-initialised to the resolving functions, so that a call made
// before this file's static initialiser ran (from another initialiser) is
// still the system's; relaxed loads, plain moves on x86-64.
std::atomic<Function> exp_function{&exp_at_first_call};
std::atomic<Function> log_function{&log_at_first_call};

double exp_at_first_call(double x) noexcept {
    const Function exp = system_function("exp");
    exp_function.store(exp, std::memory_order_relaxed);
    return exp(x);
}

double log_at_first_call(double x) noexcept {
    const Function log = system_function("log");
    log_function.store(log, std::memory_order_relaxed);
    return log(x);
}

// Resolves both at load time, so that no call pays for the lookup.
[[maybe_unused]] const bool resolved_at_load = [] {
    exp_function.store(system_function("exp"), std::memory_order_relaxed);
    log_function.store(system_function("log"), std::memory_order_relaxed);
    return true;
}();

}  // namespace

extern "C" {

// The names the linker gives to exp and log under --wrap; exported by no one
// (the modules' version scripts export only their init functions).
double __wrap_exp(double x) noexcept {
    return exp_function.load(std::memory_order_relaxed)(x);
}

double __wrap_log(double x) noexcept {
    return log_function.load(std::memory_order_relaxed)(x);
}

}  // extern "C"
