#include "io/output_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <opencv2/imgcodecs.hpp>

namespace io {
namespace {

constexpr size_t kNameMax = 255;  // NAME_MAX of Linux file systems
constexpr size_t kMaxPathBytes = 4096;
constexpr int kCreateAttempts = 64;
constexpr size_t kRandomLetters = 6;

// The temporary file being written, for the signal handlers. Changed only
// with every signal blocked, so a handler sees either no file or a file that
// exists and is ours.
char g_temporary[kMaxPathBytes];
volatile sig_atomic_t g_hasTemporary = 0;

// Blocks every signal for the life of the object.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved_);
  }
  ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

std::string Reason(int error) {
  return std::strerror(error);
}

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr)
    *error = text;
}

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Letters of the temporary name: from the kernel's random source, falling
// back to the clock (the exclusive creation, not the name, is what is safe).
std::string RandomLetters() {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kRandomLetters];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    static unsigned long long counter = 0;
    unsigned long long seed = static_cast<unsigned long long>(
                                  std::chrono::steady_clock::now().time_since_epoch().count()) ^
                              (static_cast<unsigned long long>(getpid()) << 32) ^ ++counter;
    for (unsigned char& b : bytes) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      b = static_cast<unsigned char>(seed >> 56);
    }
  }
  std::string letters;
  for (const unsigned char b : bytes)
    letters += kAlphabet[b % (sizeof kAlphabet - 1)];
  return letters;
}

// ".<target name>.tmpXXXXXX" in the target's directory; the target's name is
// shortened so that the whole stays within NAME_MAX.
std::string TemporaryNameFor(const std::string& path) {
  const std::string suffix = ".tmp" + RandomLetters();
  const std::string base = BaseNameOf(path).substr(0, kNameMax - 1 - suffix.size());
  return DirectoryOf(path) + "/." + base + suffix;
}

// Creates a new temporary file for path and registers it for the signal
// handlers; returns its descriptor, or -1 with errno set.
int CreateTemporary(const std::string& path, std::string* name) {
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    *name = TemporaryNameFor(path);
    if (name->size() >= kMaxPathBytes) {
      errno = ENAMETOOLONG;
      return -1;
    }
    SignalsBlocked blocked;
    const int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      std::memcpy(g_temporary, name->c_str(), name->size() + 1);
      g_hasTemporary = 1;
      return fd;
    }
    if (errno != EEXIST)
      return -1;
  }
  errno = EEXIST;
  return -1;
}

void DropTemporary(const std::string& name) {
  SignalsBlocked blocked;
  unlink(name.c_str());
  g_hasTemporary = 0;
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// How a target is written.
enum class Way {
  kReplace,
  kInPlace,
  kStandardStream,
  kRefuse
};

// A target that exists and is not a regular file is written in place. A
// link that leads to one of this process's own standard output or error
// (/dev/stdout redirected to a file) is written through that stream, at its
// position. Anything else that exists but is neither a regular file, a FIFO
// nor a character device (a directory, a block device) is refused.
Way WayFor(const std::string& path, int* streamFd, int* error) {
  struct stat target {};
  if (stat(path.c_str(), &target) != 0)
    return Way::kReplace;  // new (or a dangling link)
  if (S_ISFIFO(target.st_mode) || S_ISCHR(target.st_mode))
    return Way::kInPlace;
  if (!S_ISREG(target.st_mode)) {
    *error = S_ISDIR(target.st_mode) ? EISDIR : EINVAL;
    return Way::kRefuse;
  }
  struct stat link {};
  if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
      struct stat stream {};
      if (fstat(fd, &stream) == 0 && stream.st_dev == target.st_dev &&
          stream.st_ino == target.st_ino) {
        *streamFd = fd;
        return Way::kStandardStream;
      }
    }
  }
  return Way::kReplace;
}

bool WriteInPlace(const std::string& path, const std::vector<unsigned char>& bytes,
                  std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, Reason(errno));
    return false;
  }
  const bool written = WriteAll(fd, bytes.data(), bytes.size());
  const int writeError = errno;
  if (close(fd) != 0 && written) {
    SetError(error, Reason(errno));
    return false;
  }
  if (!written)
    SetError(error, Reason(writeError));
  return written;
}

bool WriteToStream(int fd, const std::vector<unsigned char>& bytes, std::string* error) {
  std::fflush(fd == STDOUT_FILENO ? stdout : stderr);  // keep the stream's order
  if (WriteAll(fd, bytes.data(), bytes.size()))
    return true;
  SetError(error, Reason(errno));
  return false;
}

bool Replace(const std::string& path, const std::vector<unsigned char>& bytes, std::string* error) {
  std::string temporary;
  const int fd = CreateTemporary(path, &temporary);
  if (fd < 0) {
    SetError(error, Reason(errno));
    return false;
  }
  bool ok = WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
  int failure = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (ok) {
    SignalsBlocked blocked;
    if (rename(temporary.c_str(), path.c_str()) == 0) {
      g_hasTemporary = 0;
      return true;
    }
    failure = errno;
  }
  DropTemporary(temporary);
  SetError(error, Reason(failure));
  return false;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

bool WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string* error) {
  int streamFd = -1;
  int refusal = 0;
  switch (WayFor(path, &streamFd, &refusal)) {
    case Way::kInPlace:
      return WriteInPlace(path, bytes, error);
    case Way::kStandardStream:
      return WriteToStream(streamFd, bytes, error);
    case Way::kRefuse:
      SetError(error, Reason(refusal));
      return false;
    case Way::kReplace:
      break;
  }
  return Replace(path, bytes, error);
}

bool WriteImageAtomically(const std::string& path, const cv::Mat& image, std::string* error) {
  const size_t dot = path.rfind('.');
  const std::string extension = dot == std::string::npos ? ".png" : path.substr(dot);
  std::vector<unsigned char> bytes;
  try {
    if (!cv::imencode(extension, image, bytes)) {
      SetError(error, "the image could not be encoded");
      return false;
    }
  } catch (const cv::Exception& e) {
    SetError(error, e.what());
    return false;
  }
  return WriteFileAtomically(path, bytes, error);
}

bool CanWrite(const std::string& path, std::string* error) {
  int streamFd = -1;
  int refusal = 0;
  switch (WayFor(path, &streamFd, &refusal)) {
    case Way::kInPlace:
      if (access(path.c_str(), W_OK) == 0)
        return true;
      SetError(error, Reason(errno));
      return false;
    case Way::kStandardStream:
      return true;
    case Way::kRefuse:
      SetError(error, Reason(refusal));
      return false;
    case Way::kReplace:
      break;
  }
  std::string temporary;
  const int fd = CreateTemporary(DirectoryOf(path) + "/vmosaic", &temporary);
  if (fd < 0) {
    const int failure = errno;
    struct stat folder {};
    // Some file systems (/proc, /sys) answer ENOENT for a new name in a
    // folder that exists: the folder takes no new files.
    const bool folderExists = stat(DirectoryOf(path).c_str(), &folder) == 0;
    SetError(error, failure == ENOENT && folderExists && S_ISDIR(folder.st_mode)
                        ? "the folder does not take new files"
                        : Reason(failure));
    return false;
  }
  close(fd);
  DropTemporary(temporary);
  return true;
}

bool IsStandardOutput(const std::string& path) {
  struct stat target {
  }, stream{};
  return stat(path.c_str(), &target) == 0 && fstat(STDOUT_FILENO, &stream) == 0 &&
         target.st_dev == stream.st_dev && target.st_ino == stream.st_ino;
}

void RemoveTemporaryFileFromSignal() {
  if (g_hasTemporary != 0)
    unlink(g_temporary);
}

}  // namespace io
