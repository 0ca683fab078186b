// Local stand-ins for the few C library functions that the statically linked
// libstdc++ of the build machine calls under their newest symbol versions.
//
// Wheels link libstdc++ statically so that they need no newer libstdc++ than
// the system they land on. The archive, however, was compiled against the
// build machine's glibc, and two of its calls bind to versions that older
// systems lack: __isoc23_strtoul (glibc 2.38, the exception pool's reading of
// GLIBCXX_TUNABLES) and arc4random (glibc 2.36, one std::random_device
// source). Defining them here, hidden, satisfies those references inside the
// module; the shared object then asks the C library only for versions that
// every supported system has. Built into wheels only (TAVIK_PORTABLE).
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "portable/c23_strtoul.hpp"

namespace {

// Fills the buffer from the kernel's generator; false if no source works.
bool random_bytes(void* buffer, size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(out, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        out += got;
        size -= static_cast<size_t>(got);
    }
    if (size == 0) return true;
    // Kernels before getrandom(2): the device gives the same bytes.
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (size > 0) {
        ssize_t got = read(fd, out, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out += got;
        size -= static_cast<size_t>(got);
    }
    close(fd);
    return size == 0;
}

}  // namespace

extern "C" {

[[gnu::visibility("hidden")]] unsigned long __isoc23_strtoul(const char* text, char** end, int base) noexcept {
    return tavik::portable::c23_strtoul(text, end, base);
}

// Like the C library's, it has no way to report failure: without any source
// of randomness it stops the process, as glibc's own does.
[[gnu::visibility("hidden")]] uint32_t arc4random() noexcept {
    uint32_t value;
    if (!random_bytes(&value, sizeof value)) __builtin_trap();
    return value;
}

}  // extern "C"
