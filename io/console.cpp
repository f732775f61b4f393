#include "io/console.hpp"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <opencv2/highgui.hpp>

namespace console {
namespace {

bool g_windowOpen = false;
// Read by signal handlers: set only after g_savedMode holds the mode to restore.
volatile sig_atomic_t g_terminalChanged = 0;
termios g_savedMode{};

// Only a process of the terminal's foreground group may change its mode or
// read it: one started in the background (`vmosaic clip.mp4 &`) would be
// stopped by SIGTTOU / SIGTTIN, so it leaves the terminal alone.
// Async-signal-safe.
bool InTerminalForeground() {
  return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1 && InTerminalForeground();
}

// Signals that end the process without running exit handlers; while the
// terminal is in key mode they must put it back first, or the user's shell
// is left without echo (Ctrl-C during a run).
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreAndReraise(int signalNumber) {
  // Only async-signal-safe calls here.
  if (InTerminalForeground())
    tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void InstallRestoringHandlers() {
  for (const int signalNumber : kEndingSignals) {
    struct sigaction current {};
    if (sigaction(signalNumber, nullptr, &current) != 0)
      continue;
    if (current.sa_handler == SIG_IGN)
      continue;  // e.g. started with nohup
    // A handler of the program's own (the driver's) is kept: it restores the
    // terminal itself through RestoreTerminalFromSignal.
    if (current.sa_handler != SIG_DFL)
      continue;
    struct sigaction restoring {};
    restoring.sa_handler = RestoreAndReraise;
    sigemptyset(&restoring.sa_mask);
    sigaction(signalNumber, &restoring, nullptr);
  }
}

// Non-canonical, no echo: single key presses reach us without Enter.
bool EnterKeyMode() {
  if (g_terminalChanged)
    return true;
  if (tcgetattr(STDIN_FILENO, &g_savedMode) != 0)
    return false;
  termios raw = g_savedMode;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  InstallRestoringHandlers();
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
    return false;
  g_terminalChanged = 1;
  return true;
}

// Reads one byte from the terminal if it arrives within timeoutMs (-1: no
// limit); -1 when none did.
int ReadTerminalKey(int timeoutMs) {
  if (!EnterKeyMode())
    return -1;
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0 || (pfd.revents & POLLIN) == 0)
    return -1;
  unsigned char c = 0;
  if (read(STDIN_FILENO, &c, 1) != 1)
    return -1;
  return c;
}

}  // namespace

void NoteWindowOpen() {
  g_windowOpen = true;
}

int WaitForKey() {
  if (g_windowOpen)
    return cv::waitKey(0);
  if (StdinIsTerminal())
    return ReadTerminalKey(-1);
  return -1;
}

int PollKey() {
  int key = cv::waitKey(1) & 0xFF;
  if (key != kEscKey && StdinIsTerminal()) {
    const int terminalKey = ReadTerminalKey(0);
    if (terminalKey == kEscKey)
      key = kEscKey;
  }
  return key;
}

void RestoreTerminal() {
  if (!g_terminalChanged || !InTerminalForeground())
    return;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
  g_terminalChanged = 0;
}

void RestoreTerminalFromSignal() {
  if (g_terminalChanged != 0 && InTerminalForeground()) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
  }
}

}  // namespace console

namespace io {

// A window's click handler, where HighGUI's callback finds it.
struct ConsoleOperator::Window {
  std::string name;
  ClickHandler onClick;
};

namespace {

void OnMouse(int event, int x, int y, int /*flags*/, void* userdata) {
  if (event != cv::EVENT_LBUTTONDOWN || userdata == nullptr)
    return;
  const auto& handler = *static_cast<const Operator::ClickHandler*>(userdata);
  if (handler)
    handler(cv::Point(x, y));
}

}  // namespace

ConsoleOperator::ConsoleOperator() = default;
ConsoleOperator::~ConsoleOperator() = default;

void ConsoleOperator::Out(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void ConsoleOperator::Err(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

int ConsoleOperator::WaitForKey() {
  return console::WaitForKey();
}

bool ConsoleOperator::DisplayAvailable() {
  return console::InteractiveDisplayAvailable();
}

std::string ConsoleOperator::DisplayName() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr ? display : "";
}

void ConsoleOperator::Show(const std::string& window, const cv::Mat& image, ClickHandler onClick) {
  cv::imshow(window, image);
  console::NoteWindowOpen();
  Window* entry = nullptr;
  for (const auto& w : windows_) {
    if (w->name == window)
      entry = w.get();
  }
  if (entry == nullptr) {
    windows_.push_back(std::make_unique<Window>(Window{window, nullptr}));
    entry = windows_.back().get();
  }
  entry->onClick = std::move(onClick);
  cv::setMouseCallback(window, OnMouse, &entry->onClick);
}

}  // namespace io
