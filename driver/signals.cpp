#include "driver/signals.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "io/console.hpp"

namespace signals {
namespace {

constexpr int kStoppingSignals[] = {SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kMaxPathBytes = 4096;  // PATH_MAX, terminator included

volatile sig_atomic_t g_inFrameLoop = 0;
volatile sig_atomic_t g_inputInterrupted = 0;

// Filled before the handlers can read them (RemoveOnStop is called from the
// main thread); the count is published last.
char g_removedFiles[kMaxRemovedFiles][kMaxPathBytes];
volatile sig_atomic_t g_removedCount = 0;

// Only async-signal-safe calls from here on.
[[noreturn]] void StopNow(int signalNumber) {
  console::RestoreTerminalFromSignal();
  for (int i = 0; i < g_removedCount; ++i) unlink(g_removedFiles[i]);
  signal(signalNumber, SIG_DFL);
  // The signal is blocked while its handler runs: unblock it so the raise
  // takes effect here and the parent sees the process ended by it.
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signalNumber);
  _exit(128 + signalNumber);  // not reached: the default action ends the process
}

void OnInterrupt(int signalNumber) {
  if (g_inFrameLoop != 0 && g_inputInterrupted == 0) {
    g_inputInterrupted = 1;
    return;
  }
  StopNow(signalNumber);
}

void OnStop(int signalNumber) { StopNow(signalNumber); }

void Install(int signalNumber, void (*handler)(int)) {
  struct sigaction current {};
  if (sigaction(signalNumber, nullptr, &current) != 0) return;
  if (current.sa_handler == SIG_IGN) return;  // e.g. started with nohup
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a key wait blocked in poll() returns, so the loop sees
  // the interruption at once.
  action.sa_flags = 0;
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

void InstallHandlers() {
  Install(SIGINT, OnInterrupt);
  for (const int signalNumber : kStoppingSignals) Install(signalNumber, OnStop);
}

void EnterFrameLoop() { g_inFrameLoop = 1; }
void LeaveFrameLoop() { g_inFrameLoop = 0; }
bool InputInterrupted() { return g_inputInterrupted != 0; }

bool RemoveOnStop(const std::string& path) {
  const int count = g_removedCount;
  if (count >= kMaxRemovedFiles || path.size() >= kMaxPathBytes) return false;
  std::memcpy(g_removedFiles[count], path.c_str(), path.size() + 1);
  g_removedCount = count + 1;
  return true;
}

}  // namespace signals
