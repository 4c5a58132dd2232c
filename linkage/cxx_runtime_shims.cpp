// What the C++ runtime, linked into the modules (CMakeLists.txt), asks of
// the C library at versions newer than the wheel's manylinux policy allows.
// GCC's static libstdc++ was built against the build machine's glibc, and a
// few of its objects that the modules pull in (the strings that standard
// exceptions carry come with std::random_device's object) name glibc's
// newest symbols. Defined here, those references bind to these definitions
// when the module is linked, not to the C library at load time; the
// modules' version scripts keep them out of the dynamic symbol table.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" {

// Read by libstdc++ to skip the atomic operations on reference counts while
// a process has one thread (glibc 2.32). Zero means "count atomically",
// right in every process, threaded or not.
char __libc_single_threaded = 0;

// std::random_device's sources (glibc 2.25 and 2.36), which the modules
// never construct. As glibc's: the kernel's getrandom, at most 256 bytes a
// call, ENOSYS where the kernel lacks it. (Declared without noexcept by
// <unistd.h>, so defined without it.)
int getentropy(void* buffer, std::size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const long got = syscall(SYS_getrandom, bytes, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        bytes += got;
        length -= static_cast<std::size_t>(got);
    }
    return 0;
}

// Never fails, as glibc's: /dev/urandom where the kernel has no getrandom,
// and the process ends if neither gives randomness.
std::uint32_t arc4random() noexcept {
    std::uint32_t value = 0;
    if (getentropy(&value, sizeof value) == 0) {
        return value;
    }
    const int device = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (device >= 0) {
        const ssize_t got = read(device, &value, sizeof value);
        close(device);
        if (got == static_cast<ssize_t>(sizeof value)) {
            return value;
        }
    }
    std::abort();
}

}  // extern "C"
