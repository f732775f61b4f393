// Storage for the pixels of the key frames, which otherwise grow by one
// frame per key frame for the whole run.
//
// Frames are copied into ordinary heap memory while the copies fit within a
// budget; beyond it they are written to a spill file in the temporary
// directory (TMPDIR, else /tmp) and handed back as a read-only cv::Mat
// header onto a shared mapping of the file, so readers need no change. The
// file has no name (O_TMPFILE, or unlinked at once), so it vanishes on every
// exit path, signals included.
//
// Mapped pages count as resident once read (and the kernel maps more than the
// pages read: read-around and whole page-cache folios): Release() drops them
// again, and the run calls it at points where no spilled pixels are being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

class FrameStore {
 public:
  static constexpr std::int64_t kUnlimited = INT64_MAX;

  explicit FrameStore(std::int64_t budgetBytes = kUnlimited);
  ~FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // Applies to frames kept from now on.
  void SetBudget(std::int64_t budgetBytes) { budgetBytes_ = budgetBytes; }

  // A continuous copy of frame's pixels. A spilled copy stays valid (and
  // read-only: writing to it faults) as long as the store lives.
  cv::Mat Keep(const cv::Mat& frame);

  // Takes the spilled frames' pages out of the resident set; they are read
  // back from the file on the next access.
  void Release();
  // The same for one frame handed out by Keep (nothing for one kept in
  // memory): a median strip reads a row or two of every key frame, and
  // dropping each frame's pages after its read keeps the strip's resident
  // pages to about one frame's.
  void Release(const cv::Mat& frame);

  std::int64_t BytesInMemory() const { return bytesInMemory_; }
  std::int64_t BytesSpilled() const { return bytesSpilled_; }

  // A quarter of the physical memory, at most kDefaultBudgetCap: with the
  // cap, a long run at OVERLAP 100 (every frame a key frame) stays within a
  // few hundred MB whatever the machine, and the key frames past the cap cost
  // a write to the spill file and page-cache reads.
  static constexpr std::int64_t kDefaultBudgetCap = std::int64_t{256} << 20;
  static std::int64_t DefaultBudgetBytes();
  // TMPDIR when set and not empty, else /tmp.
  static std::string TemporaryDirectory();

 private:
  struct Chunk {
    unsigned char* base = nullptr;
    std::size_t size = 0;
    std::size_t offset = 0;  // in the file
  };
  // Writes frame at the end of the spill file; null (after a warning) when
  // the file cannot take it.
  const unsigned char* Spill(const cv::Mat& continuous);
  bool OpenSpillFile();

  std::int64_t budgetBytes_;
  std::int64_t bytesInMemory_ = 0;
  std::int64_t bytesSpilled_ = 0;
  int fd_ = -1;
  bool spillFailed_ = false;
  std::vector<Chunk> chunks_;
  std::size_t usedInLastChunk_ = 0;
  std::size_t fileBytes_ = 0;
};
