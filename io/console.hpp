// Keyboard interaction for a program that usually runs unattended.
//
// With a HighGUI window open, keys come from cv::waitKey. Without one, a key
// is read from the terminal when standard input is a terminal; otherwise
// (scripts, pipes, CI) nothing waits, so a batch run never hangs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "io/operator.hpp"

namespace console {

constexpr int kEscKey = 27;

// Tells the helpers that a HighGUI window exists from now on.
void NoteWindowOpen();
bool WindowOpen();

// Blocks for one key press where a key can be pressed (see above); returns
// the key code, or -1 when nothing could be waited for.
int WaitForKey();

// The loop's poll: cv::waitKey(1), and when standard input is a terminal an
// Esc pressed there. Returns the low 8 bits of the key, or 0xFF for none.
int PollKey();

// Restores the terminal's mode if the helpers changed it (safe to call from
// any exit path, repeatedly).
void RestoreTerminal();

// The same for a signal handler that is about to end the process
// (async-signal-safe).
void RestoreTerminalFromSignal();

// True when HighGUI windows can be shown and can receive clicks and keys:
// an X server or Wayland compositor answers (Debian's HighGUI runs on Qt,
// which aborts the whole process when it cannot reach a display).
bool InteractiveDisplayAvailable();

}  // namespace console

namespace io {

// The program's operator: messages to the standard streams, keys as
// console::WaitForKey reads them, HighGUI windows.
class ConsoleOperator : public Operator {
 public:
  ConsoleOperator();
  ~ConsoleOperator() override;
  void Out(const std::string& text) override;
  void Err(const std::string& text) override;
  int WaitForKey() override;
  bool DisplayAvailable() override;
  std::string DisplayName() override;
  void Show(const std::string& window, const cv::Mat& image, ClickHandler onClick) override;

 private:
  struct Window;
  std::vector<std::unique_ptr<Window>> windows_;
};

}  // namespace io
