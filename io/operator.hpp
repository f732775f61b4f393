// What the algorithm libraries may ask of the world around them: messages
// for standard output and standard error, a key press, and the windows and
// clicks of the interactive four-point homography. The program owns one
// implementation (io::ConsoleOperator) and hands it to the libraries, so they
// never print, read keys or probe for a display themselves, and tests can
// stand in for the person at the keyboard.
//
// The base class does nothing: no message goes anywhere, no key can be
// waited for and no display is available. It suits library users that print
// nothing and run unattended.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <opencv2/core.hpp>
#include <string>

namespace io {

class Operator {
 public:
  // A left click at image coordinates in a shown window.
  using ClickHandler = std::function<void(cv::Point)>;

  Operator() = default;
  Operator(const Operator&) = delete;
  Operator& operator=(const Operator&) = delete;
  virtual ~Operator() = default;

  // One message, written and flushed as it is (no newline added).
  virtual void Out(const std::string& /*text*/) {}
  virtual void Err(const std::string& /*text*/) {}

  // Blocks for one key press; the key code, or -1 when nothing could be
  // waited for.
  virtual int WaitForKey() { return -1; }

  // True when windows can be shown and can receive clicks and keys.
  virtual bool DisplayAvailable() { return false; }
  // The value of DISPLAY for a message (empty when unset).
  virtual std::string DisplayName() { return ""; }
  // Shows image in the named window; left clicks there go to onClick (the
  // latest handler given for that window).
  virtual void Show(const std::string& /*window*/, const cv::Mat& /*image*/,
                    ClickHandler /*onClick*/) {}
};

// The operator of library users that pass none: silent and unattended.
inline Operator& SilentOperator() {
  static Operator silent;
  return silent;
}

// printf-style formatting for messages, so their texts stay format strings.
__attribute__((format(printf, 1, 2))) inline std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0)
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

}  // namespace io
