#include "driver/signals.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "io/console.hpp"
#include "io/output_file.hpp"

namespace signals {
namespace {

// Every signal whose default action ends the process and that can arrive
// while a result is being written (SIGXFSZ: sent by another process; the
// kernel's own for a write beyond the file-size limit is taken apart).
constexpr int kStoppingSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ, SIGUSR1, SIGUSR2, SIGALRM};

// The thread that installed the handlers: the one that writes the results and
// blocks signals around creating and renaming a temporary file.
pthread_t g_mainThread;
volatile sig_atomic_t g_inFrameLoop = 0;
volatile sig_atomic_t g_inputInterrupted = 0;

// Only async-signal-safe calls from here on.
[[noreturn]] void StopNow(int signalNumber) {
  console::RestoreTerminalFromSignal();
  io::RemoveTemporaryFileFromSignal();
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

// A process-directed signal may be delivered to any thread, including
// OpenCV's and the decoder's workers, which do not block signals while the
// main thread registers a temporary file: such a handler could miss a file
// just created and leave it behind. The signal is handed to the main thread,
// which takes it once it is outside that window.
bool HandedToMainThread(int signalNumber) {
  if (pthread_equal(pthread_self(), g_mainThread))
    return false;
  pthread_kill(g_mainThread, signalNumber);
  return true;
}

void OnInterrupt(int signalNumber) {
  if (HandedToMainThread(signalNumber))
    return;
  if (g_inFrameLoop != 0 && g_inputInterrupted == 0) {
    g_inputInterrupted = 1;
    return;
  }
  StopNow(signalNumber);
}

void OnStop(int signalNumber) {
  if (HandedToMainThread(signalNumber))
    return;
  StopNow(signalNumber);
}

// SIGXFSZ raised by the kernel for this process's own write beyond the
// file-size limit: returning lets that write fail with EFBIG, so a spill
// file that cannot grow falls back to memory and a result too large is an
// ordinary failed write. Sent by another process, it stops the run.
void OnFileSizeSignal(int signalNumber, siginfo_t* info, void* /*context*/) {
  if (info != nullptr && info->si_code == SI_USER && info->si_pid == getpid())
    return;
  OnStop(signalNumber);
}

void Install(int signalNumber, void (*handler)(int),
             void (*withInfo)(int, siginfo_t*, void*) = nullptr) {
  struct sigaction current {};
  if (sigaction(signalNumber, nullptr, &current) != 0)
    return;
  if (current.sa_handler == SIG_IGN)
    return;  // e.g. started with nohup
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a key wait blocked in poll() returns, so the loop sees
  // the interruption at once.
  action.sa_flags = 0;
  if (withInfo != nullptr) {
    action.sa_sigaction = withInfo;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = handler;
  }
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

void InstallHandlers() {
  g_mainThread = pthread_self();
  // A closed pipe on standard output must not end the run before its results
  // are written: the failed write is noticed and reported instead.
  signal(SIGPIPE, SIG_IGN);
  Install(SIGINT, OnInterrupt);
  for (const int signalNumber : kStoppingSignals)
    Install(signalNumber, OnStop, signalNumber == SIGXFSZ ? OnFileSizeSignal : nullptr);
}

void EnterFrameLoop() {
  g_inFrameLoop = 1;
}
void LeaveFrameLoop() {
  g_inFrameLoop = 0;
}
bool InputInterrupted() {
  return g_inputInterrupted != 0;
}

}  // namespace signals
