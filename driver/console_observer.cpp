// The console's observer: the command line's standard output and error,
// its progress line, Esc and the first Ctrl-C.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/progress.hpp"
#include "driver/signals.hpp"
#include "io/console.hpp"
#include "vmosaic/vmosaic.hpp"

namespace vmosaic {

struct ConsoleObserver::State {
  Progress progress;
  // The first failed write's reason, since later calls overwrite errno.
  int standardOutputError = 0;

  void Flush() {
    if (std::fflush(stdout) != 0 && standardOutputError == 0)
      standardOutputError = errno;
  }
};

ConsoleObserver::ConsoleObserver() : state_(new State) {}

ConsoleObserver::~ConsoleObserver() {
  delete state_;
}

void ConsoleObserver::Message(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  state_->Flush();
}

void ConsoleObserver::Note(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void ConsoleObserver::Frames(int framesRead, int keyFrames) {
  state_->progress.Frames(framesRead, keyFrames);
}

void ConsoleObserver::Stage(const std::string& what) {
  state_->progress.Stage(what.c_str());
}

void ConsoleObserver::EndLine() {
  state_->progress.Finish();
}

bool ConsoleObserver::EndInput() {
  if (console::PollKey() == console::kEscKey)
    return true;
  // A first Ctrl-C ends the input as Esc does.
  if (!signals::InputInterrupted())
    return false;
  Note("vmosaic: interrupted; composing the frames read so far (Ctrl-C again stops at once)\n");
  return true;
}

int ConsoleObserver::WaitForKey() {
  return console::WaitForKey();
}

bool ConsoleObserver::StandardOutputWritten() {
  state_->Flush();
  if (!std::ferror(stdout) && state_->standardOutputError == 0)
    return true;
  const int error = state_->standardOutputError;
  std::fprintf(stderr, "vmosaic: could not write to standard output%s%s\n", error != 0 ? ": " : "",
               error != 0 ? std::strerror(error) : "");
  return false;
}

}  // namespace vmosaic
