/* A stand-in for the libm's exp and log, to be preloaded (LD_PRELOAD): it
 * returns the real libm's result with the last bit flipped for one input in
 * 64 (chosen by a hash of the input's bits), and the real result otherwise.
 * A process that runs with it has an exp and a log that no replica copies,
 * so the run-time check must reject every replica there
 * (test_standin_libm.cpp). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

static int flipped(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return ((b * 0x9e3779b97f4a7c15u) >> 58) == 0;
}

/* The next definition of name after this library's: the real libm's. (Copied
 * through memcpy: ISO C has no conversion from an object pointer to a
 * function pointer.) */
static double (*real_function(const char* name))(double) {
    void* symbol = dlsym(RTLD_NEXT, name);
    double (*function)(double);
    memcpy(&function, &symbol, sizeof function);
    return function;
}

static double with_last_bit_flipped(double y) {
    uint64_t b;
    memcpy(&b, &y, sizeof b);
    b ^= 1;
    memcpy(&y, &b, sizeof y);
    return y;
}

double exp(double x) {
    static double (*real)(double);
    if (!real) {
        real = real_function("exp");
    }
    const double y = real(x);
    return flipped(x) ? with_last_bit_flipped(y) : y;
}

double log(double x) {
    static double (*real)(double);
    if (!real) {
        real = real_function("log");
    }
    const double y = real(x);
    return flipped(x) ? with_last_bit_flipped(y) : y;
}
