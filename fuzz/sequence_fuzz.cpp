// The image-sequence input: a pattern and the members of a folder, both from
// the fuzzer's bytes, through the frame source. Members may be images, any
// bytes, FIFOs or links to a device; the source must neither crash, hang
// (a FIFO is never waited on) nor deliver anything but 8-bit BGR frames of
// the first frame's size.
//
// Layout: pattern length and bytes ('/' becomes '_', so the pattern stays in
// the folder), then up to 8 members, each a number (its name is
// "f<number, 3 digits>.png"), a kind (regular file, FIFO, link to
// /dev/zero, or a PNG header declaring a size, followed by the bytes), for
// the last a width and a height (4 bytes each, big-endian as in PNG), then
// a length and that many bytes. A declared size beyond the frame bound must
// be refused before anything is decoded.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "io/image_sequence.hpp"
#include "io/io_video.hpp"

namespace fuzz {
namespace {

constexpr int kMaxPatternBytes = 48;
constexpr int kMaxMembers = 8;
constexpr int kMaxFrames = 12;
constexpr long long kMaxFramePixels = 4'000'000;  // larger ones are decoded slowly

enum MemberKind {
  kRegular,
  kFifo,
  kDeviceLink,
  kDeclaredPng,
  kKinds
};

std::string Folder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/vmosaic_fuzz_seq_XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

}  // namespace

int FuzzSequence(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  std::string pattern;
  for (int n = in.IntIn(0, kMaxPatternBytes); n > 0 && in.Remaining() > 0; --n) {
    const char c = static_cast<char>(in.Byte());
    pattern += (c == '/' || c == '\0') ? '_' : c;
  }
  const std::string folder = Folder();
  if (folder.empty())
    return 0;
  int regularMembers = 0;
  for (int m = in.IntIn(0, kMaxMembers); m > 0 && in.Remaining() > 0; --m) {
    char name[16];
    std::snprintf(name, sizeof name, "/f%03d.png", static_cast<int>(in.Byte()));
    const std::string path = folder + name;
    const int kind = in.IntIn(0, kKinds - 1);
    std::vector<char> bytes;
    if (kind == kDeclaredPng) {
      // The signature, IHDR's length and type, width and height.
      const char header[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR";
      bytes.assign(header, header + sizeof header - 1);
      for (int i = 0; i < 8; ++i)
        bytes.push_back(static_cast<char>(in.Byte()));
    }
    bytes.resize(bytes.size() + (in.Byte() | (static_cast<size_t>(in.Byte()) << 8)));
    for (size_t b = kind == kDeclaredPng ? 24 : 0; b < bytes.size(); ++b)
      bytes[b] = static_cast<char>(in.Byte());
    if (std::filesystem::exists(std::filesystem::symlink_status(path)))
      continue;
    if (kind == kFifo) {
      mkfifo(path.c_str(), 0600);
    } else if (kind == kDeviceLink) {
      if (symlink("/dev/zero", path.c_str()) != 0)
        continue;
    } else if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
      ++regularMembers;
    }
  }

  const std::string input = folder + "/" + pattern;
  ImageSequence sequence;
  // A name that is no pattern, or has no member, is "not found": the frame
  // source would end the process, which is the driver's tests' business.
  if (ImageSequence::IsPattern(input) && sequence.Open(input) && !std::filesystem::exists(input)) {
    ioVideo video;
    std::string program = "vmosaic";
    std::string path = input;
    char* argv[] = {program.data(), path.data(), nullptr};
    int frames = 0;
    const int opened = video.Input_Video(2, argv, 2, 1);
    Require(opened != 1 ||
                (video.imageW <= ioVideo::kMaxFrameSide && video.imageH <= ioVideo::kMaxFrameSide &&
                 static_cast<long long>(video.imageW) * video.imageH <= ioVideo::kMaxFramePixels),
            "frames stay within the bound");
    if (opened == 1 && static_cast<long long>(video.imageW) * video.imageH <= kMaxFramePixels) {
      frames = 1;
      Require(video.frame_Current.type() == CV_8UC3, "frames are 8-bit BGR");
      while (frames < kMaxFrames && video.Read_NextFrame(2, 1) == 1) {
        ++frames;
        Require(video.frame_Current.type() == CV_8UC3, "frames are 8-bit BGR");
        Require(video.frame_Current.size() == video.frame_Previous.size(),
                "frames keep the first frame's size");
      }
    }
    Require(frames <= regularMembers, "only regular files are read");
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}

}  // namespace fuzz

VMOSAIC_FUZZ_ENTRY(fuzz::FuzzSequence)
