// The static libstdc++ of a newer toolchain names a few glibc symbols that glibc 2.17 lacks.
// A module linked against the old interface defines them itself, privately: libstdc++ uses
// them only in std::random_device (which tavex never makes) and to skip atomic reference
// counts in a single-threaded process (always answered "no": the atomic path is correct).
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" {

[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;

[[gnu::visibility("hidden")]] int getentropy(void* buffer, std::size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  auto* at = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const long n = syscall(SYS_getrandom, at, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    at += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Kernels before 3.17 have no getrandom: then /dev/urandom, and no silent weak value.
[[gnu::visibility("hidden")]] std::uint32_t arc4random() {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) == 0) return value;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
    close(fd);
    return value;
  }
  std::abort();
}

#if defined(__powerpc64__)
// glibc 2.23's promise that the thread block holds the hardware capabilities, which
// __builtin_cpu_supports reads; only std::random_device asks (for the darn instruction).
[[gnu::visibility("hidden")]] void __parse_hwcap_and_convert_at_platform() {}
#endif

}  // extern "C"
