// Preloaded into vmosaic by hostile_input_test: an attacker and a signal at
// the exact moment a result's temporary file is created. For a creating open
// of a file whose name contains $VMOSAIC_SHIM_MATCH, it
//  - first plants a symbolic link to $VMOSAIC_SHIM_LINK_TO under that very
//    name (once per process), as someone sharing the directory could;
//  - after the open succeeds, raises signal $VMOSAIC_SHIM_RAISE.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool g_planted = false;

bool Matches(const char* path, int flags) {
  const char* want = std::getenv("VMOSAIC_SHIM_MATCH");
  if (want == nullptr || (flags & O_CREAT) == 0) return false;
  const char* slash = std::strrchr(path, '/');
  return std::strstr(slash != nullptr ? slash + 1 : path, want) != nullptr;
}

void Before(const char* path, int flags) {
  const char* victim = std::getenv("VMOSAIC_SHIM_LINK_TO");
  if (victim == nullptr || g_planted || !Matches(path, flags)) return;
  g_planted = symlink(victim, path) == 0;
}

int After(int fd, const char* path, int flags) {
  const char* signalNumber = std::getenv("VMOSAIC_SHIM_RAISE");
  if (fd >= 0 && signalNumber != nullptr && Matches(path, flags)) raise(std::atoi(signalNumber));
  return fd;
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define VMOSAIC_SHIM_OPEN(name)                                                      \
  extern "C" int name(const char* path, int flags, ...) {                           \
    va_list args;                                                                   \
    va_start(args, flags);                                                          \
    const mode_t mode = ModeOf(flags, args);                                        \
    va_end(args);                                                                   \
    static const auto real = Next<int (*)(const char*, int, ...)>(#name);           \
    Before(path, flags);                                                            \
    return After(real(path, flags, mode), path, flags);                             \
  }
#define VMOSAIC_SHIM_OPENAT(name)                                                    \
  extern "C" int name(int dir, const char* path, int flags, ...) {                  \
    va_list args;                                                                   \
    va_start(args, flags);                                                          \
    const mode_t mode = ModeOf(flags, args);                                        \
    va_end(args);                                                                   \
    static const auto real = Next<int (*)(int, const char*, int, ...)>(#name);      \
    Before(path, flags);                                                            \
    return After(real(dir, path, flags, mode), path, flags);                        \
  }

VMOSAIC_SHIM_OPEN(open)
VMOSAIC_SHIM_OPEN(open64)
VMOSAIC_SHIM_OPENAT(openat)
VMOSAIC_SHIM_OPENAT(openat64)
