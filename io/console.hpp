// Keyboard interaction for a program that usually runs unattended.
//
// With a HighGUI window open, keys come from cv::waitKey. Without one, a key
// is read from the terminal when standard input is a terminal; otherwise
// (scripts, pipes, CI) nothing waits, so a batch run never hangs.
#pragma once

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

}  // namespace console
