#include "io/image_sequence.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <opencv2/imgcodecs.hpp>

#include "io/image_header.hpp"

namespace {

constexpr int kMaxWidth = 18;      // of the number field
constexpr size_t kMaxDigits = 18;  // numbers stay within long long

// The whole file behind path when it is a regular file of at most maxBytes;
// otherwise false with why set. Opened without blocking, so a FIFO planted
// as a member is looked at, never waited on.
bool ReadRegularFile(const std::string& path, long long maxBytes, std::vector<unsigned char>* bytes,
                     std::string* why) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::string("could not be opened (") + std::strerror(errno) + ")";
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok)
    *why = "is not a regular file";
  if (ok && st.st_size > maxBytes) {
    ok = false;
    *why = "is too large";
  }
  if (ok) {
    bytes->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    int readError = 0;
    while (got < bytes->size()) {
      const ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        readError = errno;
      if (n <= 0)
        break;
      got += static_cast<size_t>(n);
    }
    if (got < bytes->size()) {
      ok = false;
      *why = std::string("could not be read (") +
             (readError != 0 ? std::strerror(readError) : "it shrank while read") + ")";
    }
  }
  close(fd);
  return ok;
}

}  // namespace

void ImageSequence::NoteEnd(const std::string& name, const std::string& why) {
  endNote_ = name + " " + why;
  const std::string note = "vmosaic: " + endNote_ + "; input ends here\n";
  if (noteSink_)
    noteSink_(note);
  else
    std::fputs(note.c_str(), stderr);
}

void ImageSequence::SetFrameBound(long long maxSide, long long maxPixels) {
  maxSide_ = maxSide;
  maxPixels_ = maxPixels;
}

bool ImageSequence::WithinFrameBound(const std::string& name,
                                     const std::vector<unsigned char>& bytes) {
  io::DeclaredSize declared;
  if (!io::ReadDeclaredSize(bytes.data(), bytes.size(), &declared))
    return true;
  if (declared.width <= maxSide_ && declared.height <= maxSide_ &&
      declared.width * declared.height <= maxPixels_) {
    return true;
  }
  NoteEnd(name, "declares " + std::to_string(declared.width) + "x" +
                    std::to_string(declared.height) + " pixels, beyond the bound of " +
                    std::to_string(maxSide_) + " pixels a side and " + std::to_string(maxPixels_) +
                    " pixels in all");
  return false;
}

bool ImageSequence::IsPattern(const std::string& path) {
  ImageSequence probe;
  return probe.ParsePattern(path);
}

bool ImageSequence::ParsePattern(const std::string& path) {
  const size_t slash = path.rfind('/');
  directory_ = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  prefix_.clear();
  suffix_.clear();
  bool converted = false;
  for (size_t i = 0; i < name.size(); ++i) {
    std::string& out = converted ? suffix_ : prefix_;
    if (name[i] != '%') {
      out += name[i];
      continue;
    }
    if (i + 1 < name.size() && name[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    if (converted)
      return false;  // a second conversion
    size_t at = i + 1;
    pad_ = ' ';
    if (at < name.size() && name[at] == '0') {
      pad_ = '0';
      ++at;
    }
    width_ = 0;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
      width_ = width_ * 10 + (name[at] - '0');
      if (width_ > kMaxWidth)
        return false;
      ++at;
    }
    if (at >= name.size() || name[at] != 'd')
      return false;
    converted = true;
    i = at;
  }
  return converted;
}

std::string ImageSequence::NameOf(long long number) const {
  std::string digits = std::to_string(number);
  if (digits.size() < static_cast<size_t>(width_)) {
    digits.insert(0, static_cast<size_t>(width_) - digits.size(), pad_);
  }
  return directory_ + prefix_ + digits + suffix_;
}

bool ImageSequence::Open(const std::string& pattern) {
  members_.clear();
  next_ = 0;
  ended_ = false;
  endNote_.clear();
  if (!ParsePattern(pattern))
    return false;
  DIR* folder = opendir(directory_.empty() ? "." : directory_.c_str());
  if (folder == nullptr)
    return false;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix_.size() + suffix_.size())
      continue;
    if (name.compare(0, prefix_.size(), prefix_) != 0)
      continue;
    if (name.compare(name.size() - suffix_.size(), suffix_.size(), suffix_) != 0)
      continue;
    const std::string middle =
        name.substr(prefix_.size(), name.size() - prefix_.size() - suffix_.size());
    const size_t first = middle.find_first_not_of(' ');
    if (first == std::string::npos || middle.size() - first > kMaxDigits)
      continue;
    if (middle.find_first_not_of("0123456789", first) != std::string::npos)
      continue;
    const long long number = std::stoll(middle.substr(first));
    // Only the exact spelling the pattern gives that number is a member.
    if (NameOf(number) == directory_ + name)
      members_.push_back(number);
  }
  closedir(folder);
  std::sort(members_.begin(), members_.end());
  if (members_.empty())
    return false;
  expected_ = members_.front();
  return true;
}

bool ImageSequence::Read(cv::Mat& frame) {
  frame.release();
  if (ended_)
    return false;
  ended_ = true;  // until this member is delivered
  const std::string name = NameOf(expected_);
  if (next_ >= members_.size())
    return false;  // the normal end
  if (members_[next_] != expected_) {
    NoteEnd(name, "is missing (a gap in the sequence)");
    return false;
  }
  std::vector<unsigned char> bytes;
  std::string why;
  if (!ReadRegularFile(name, kMaxMemberBytes, &bytes, &why)) {
    NoteEnd(name, why);
    return false;
  }
  if (!WithinFrameBound(name, bytes))
    return false;
  try {
    // Not IMREAD_UNCHANGED, which ignores the EXIF orientation: members are
    // turned upright as imread turns them (phone pictures held on end), and
    // grey and 16-bit images stay as stored.
    frame = cv::imdecode(bytes, cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
  } catch (const cv::Exception&) {
    frame.release();
  }
  if (frame.empty()) {
    NoteEnd(name, "is not an image that can be read");
    return false;
  }
  ++next_;
  ++expected_;
  ended_ = false;
  return true;
}

long long ImageSequence::MembersLeft() const {
  return static_cast<long long>(members_.size() - std::min(next_, members_.size()));
}

std::vector<std::string> ImageSequence::MemberNames() const {
  std::vector<std::string> names;
  for (const long long number : members_)
    names.push_back(NameOf(number));
  return names;
}
