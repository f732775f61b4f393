// What the interrupting signals do during a run.
//
// The first SIGINT (Ctrl-C) while frames are being read ends the input as
// Esc does: the frame loop sees InputInterrupted() and the mosaic of what was
// read is still composed and written. Any later SIGINT, a SIGINT outside the
// frame loop, or SIGTERM / SIGHUP / SIGQUIT / SIGXFSZ / SIGUSR1 / SIGUSR2 /
// SIGALRM stops at once: the handler puts the terminal back, removes the
// temporary file of a result being written (so no half-written file is
// left, and the rename that would have replaced an earlier result never
// happens) and re-raises the signal with its default action, so the parent
// sees how the process ended. SIGPIPE is ignored: a write to a closed pipe
// fails and is reported instead.
#pragma once

namespace signals {

// Installs the handlers. Signals ignored at start (nohup) stay ignored.
void InstallHandlers();

// Brackets the frame loop: only inside it does a first SIGINT end the input
// instead of stopping the process.
void EnterFrameLoop();
void LeaveFrameLoop();

// True once a SIGINT has asked to end the input.
bool InputInterrupted();

}  // namespace signals
