// A numbered image sequence read as a video: a printf-style pattern such as
// "frames/img_%04d.png" whose file name holds one %d, %Nd or %0Nd (and %%
// for a literal %). The members are found by listing the folder, so the
// numbering may start anywhere (DJI_0137.JPG); they are read in order until
// the first number that is missing.
//
// Only regular files are read, each checked as it is opened (a FIFO or a
// device among the members is never opened for reading). A sequence that
// ends early (a gap before later members, a member that is not a regular
// file, cannot be read or does not decode) ends with a note on standard
// error naming the member; its normal end is silent.
#pragma once

#include <cstddef>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

class ImageSequence {
 public:
  // Whether path is a sequence pattern (see above).
  static bool IsPattern(const std::string& path);

  // Lists the members of pattern; false when it is not a pattern or has no
  // member.
  bool Open(const std::string& pattern);

  // The next member: grey and 16-bit images as stored, colour ones as BGR
  // (an alpha channel dropped), turned upright by their EXIF orientation as
  // cv::imread does. False at the end of the sequence.
  bool Read(cv::Mat& frame);

  // Members listed after the one last read (those a gap cuts off included).
  long long MembersLeft() const;

  // The file names of all members listed by Open, in order.
  std::vector<std::string> MemberNames() const;

  // Why the sequence ended early ("img_0002.png is missing (a gap in the
  // sequence)"); empty while it has not, or at its normal end.
  const std::string& EndNote() const { return endNote_; }

  // Members whose header declares more pixels a side or in all end the
  // sequence before they are decoded.
  void SetFrameBound(long long maxSide, long long maxPixels);

  // Where the note of an early end goes (standard error when unset).
  void SetNoteSink(std::function<void(const std::string&)> sink) { noteSink_ = std::move(sink); }

  // Largest member file read, in bytes; a larger one ends the sequence.
  static constexpr long long kMaxMemberBytes = 1LL << 30;

 private:
  std::string NameOf(long long number) const;
  bool ParsePattern(const std::string& path);
  void NoteEnd(const std::string& name, const std::string& why);
  std::function<void(const std::string&)> noteSink_;
  bool WithinFrameBound(const std::string& name, const std::vector<unsigned char>& bytes);

  std::string directory_;
  std::string prefix_;
  std::string suffix_;
  int width_ = 0;
  char pad_ = ' ';
  std::vector<long long> members_;  // ascending
  size_t next_ = 0;                 // index in members_ of the next member
  long long expected_ = 0;          // number of the next member
  bool ended_ = false;
  std::string endNote_;
  long long maxSide_ = 1LL << 31;
  long long maxPixels_ = 1LL << 62;
};
