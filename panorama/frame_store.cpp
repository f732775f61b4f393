#include "panorama/frame_store.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The spill file grows, and is mapped, in chunks of at least this size, so a
// long run needs few mappings. Blocks are reserved chunk by chunk: a full
// disk shows up when a chunk is added, never as a fault on a later read.
constexpr std::size_t kChunkBytes = std::size_t{64} << 20;

std::size_t PageSize() {
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

void Warn(const char* what, int error) {
  std::fprintf(stderr, "vmosaic: cannot spill key frames to %s (%s: %s); keeping them in memory\n",
               FrameStore::TemporaryDirectory().c_str(), what, std::strerror(error));
}

}  // namespace

FrameStore::FrameStore(std::int64_t budgetBytes) : budgetBytes_(budgetBytes) {}

FrameStore::~FrameStore() {
  for (const Chunk& chunk : chunks_)
    munmap(chunk.base, chunk.size);
  if (fd_ >= 0)
    close(fd_);
}

std::int64_t FrameStore::DefaultBudgetBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  if (pages <= 0)
    return kDefaultBudgetCap;
  return std::min(kDefaultBudgetCap,
                  static_cast<std::int64_t>(pages) * static_cast<std::int64_t>(PageSize()) / 4);
}

std::string FrameStore::TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return (dir != nullptr && dir[0] != '\0') ? std::string(dir) : std::string("/tmp");
}

cv::Mat FrameStore::Keep(const cv::Mat& frame) {
  if (frame.empty())
    return cv::Mat();
  const std::int64_t bytes = static_cast<std::int64_t>(frame.total() * frame.elemSize());
  if (!spillFailed_ && bytes > budgetBytes_ - std::min(bytesInMemory_, budgetBytes_)) {
    const cv::Mat continuous = frame.isContinuous() ? frame : frame.clone();
    if (const unsigned char* pixels = Spill(continuous)) {
      bytesSpilled_ += bytes;
      // Read-only pages: the header's type allows writing, the mapping does not.
      return cv::Mat(frame.dims, frame.size.p, frame.type(), const_cast<unsigned char*>(pixels));
    }
  }
  bytesInMemory_ += bytes;
  return frame.clone();
}

void FrameStore::Release() {
  for (const Chunk& chunk : chunks_)
    madvise(chunk.base, chunk.size, MADV_DONTNEED);
}

void FrameStore::Release(const cv::Mat& frame) {
  const unsigned char* begin = frame.datastart;
  for (const Chunk& chunk : chunks_) {
    if (begin < chunk.base || begin >= chunk.base + chunk.size)
      continue;
    // Spilled frames start on a page and are continuous.
    const std::size_t page = PageSize();
    const std::size_t bytes = static_cast<std::size_t>(frame.dataend - begin);
    madvise(const_cast<unsigned char*>(begin), (bytes + page - 1) / page * page, MADV_DONTNEED);
    return;
  }
}

bool FrameStore::OpenSpillFile() {
  const std::string dir = TemporaryDirectory();
#ifdef O_TMPFILE
  fd_ = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd_ < 0) {
    // A file system without O_TMPFILE: a named file, unlinked at once with
    // every signal held off, so no exit path can leave it behind.
    std::string name = dir + "/vmosaic-frames-XXXXXX";
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    const int error = errno;
    if (fd_ >= 0)
      unlink(name.c_str());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (fd_ < 0) {
      Warn("create", error);
      return false;
    }
  }
  return true;
}

const unsigned char* FrameStore::Spill(const cv::Mat& continuous) {
  if (fd_ < 0 && !OpenSpillFile()) {
    spillFailed_ = true;
    return nullptr;
  }
  const std::size_t bytes = continuous.total() * continuous.elemSize();
  const std::size_t page = PageSize();
  const std::size_t span = (bytes + page - 1) / page * page;  // frames start on a page
  if (chunks_.empty() || usedInLastChunk_ + span > chunks_.back().size) {
    const std::size_t size = std::max(kChunkBytes, span);
    const int error =
        posix_fallocate(fd_, static_cast<off_t>(fileBytes_), static_cast<off_t>(size));
    if (error != 0) {
      Warn("reserve", error);
      spillFailed_ = true;
      return nullptr;
    }
    void* base = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(fileBytes_));
    if (base == MAP_FAILED) {
      Warn("map", errno);
      spillFailed_ = true;
      return nullptr;
    }
    chunks_.push_back(Chunk{static_cast<unsigned char*>(base), size, fileBytes_});
    fileBytes_ += size;
    usedInLastChunk_ = 0;
  }
  const Chunk& chunk = chunks_.back();
  const unsigned char* from = continuous.data;
  for (std::size_t done = 0; done < bytes;) {
    const ssize_t n = pwrite(fd_, from + done, bytes - done,
                             static_cast<off_t>(chunk.offset + usedInLastChunk_ + done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      Warn("write", n < 0 ? errno : EIO);
      spillFailed_ = true;
      return nullptr;
    }
    done += static_cast<std::size_t>(n);
  }
  const unsigned char* pixels = chunk.base + usedInLastChunk_;
  usedInLastChunk_ += span;
  return pixels;
}
