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
  if (want == nullptr || (flags & O_CREAT) == 0)
    return false;
  const char* slash = std::strrchr(path, '/');
  return std::strstr(slash != nullptr ? slash + 1 : path, want) != nullptr;
}

void Before(const char* path, int flags) {
  const char* victim = std::getenv("VMOSAIC_SHIM_LINK_TO");
  if (victim != nullptr && !g_planted && Matches(path, flags))
    g_planted = symlink(victim, path) == 0;
}

int After(int fd, const char* path, int flags) {
  const char* signalNumber = std::getenv("VMOSAIC_SHIM_RAISE");
  if (fd >= 0 && signalNumber != nullptr && Matches(path, flags))
    raise(std::atoi(signalNumber));
  return fd;
}

}  // namespace

// open(path, flags, ...) and openat(dir, path, flags, ...): DIR_PARAM and
// DIR_ARG are empty or the directory argument.
#define VMOSAIC_SHIM_OPEN(name, DIR_PARAM, DIR_ARG)                                          \
  extern "C" int name(DIR_PARAM const char* path, int flags, ...) {                          \
    va_list args;                                                                            \
    va_start(args, flags);                                                                   \
    const mode_t mode =                                                                      \
        (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;   \
    va_end(args);                                                                            \
    static const auto real =                                                                 \
        reinterpret_cast<int (*)(DIR_PARAM const char*, int, ...)>(dlsym(RTLD_NEXT, #name)); \
    Before(path, flags);                                                                     \
    return After(real(DIR_ARG path, flags, mode), path, flags);                              \
  }
#define VMOSAIC_DIR_PARAM int dir,
#define VMOSAIC_DIR_ARG dir,

VMOSAIC_SHIM_OPEN(open, , )
VMOSAIC_SHIM_OPEN(open64, , )
VMOSAIC_SHIM_OPEN(openat, VMOSAIC_DIR_PARAM, VMOSAIC_DIR_ARG)
VMOSAIC_SHIM_OPEN(openat64, VMOSAIC_DIR_PARAM, VMOSAIC_DIR_ARG)
