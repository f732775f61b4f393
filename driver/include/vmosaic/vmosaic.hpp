// The vmosaic library: one call turns a video (a file, an image sequence
// pattern, or frames handed over one by one) into its mosaics, the key
// frames' placements on the canvas and the run's report. The command line
// and the Python module are both thin callers of it.
//
// Images cross this interface as plain bytes, so a user needs no OpenCV
// headers to call it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vmosaic {

// 8-bit BGR pixels, rows packed one after the other (width * 3 bytes each).
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bytes;  // width * height * 3 bytes
  bool empty() const { return bytes.empty(); }
};

// Every setting of a run, with the command line's defaults. A new setting is
// a member here; the command line and the module map their spelling onto it.
struct Options {
  // Video file or image sequence pattern (printf-style, "img_%04d.png");
  // DefaultInput() is the bundled sample video. With a frame source it only
  // names the input in the report.
  std::string input;
  int overlap = 100;   // overlap threshold in percent
  int features = 0;    // 0: corners tracked by optical flow, 1: SIFT
  int median = 0;      // non-zero: also the median mosaic
  int frameLimit = 0;  // > 0: at most this many frames in all
  bool refine = false;
  bool blend = false;
  bool keepGoing = false;
  // MiB of memory for the key frames' pixels; negative: the default.
  std::int64_t memoryBudgetMb = -1;
  // 0 < workScale <= 1: frames are registered (features, tracking, the key
  // frame choice) scaled down by it, and composed at full resolution.
  double workScale = 1.0;
  // Where the result files go ("": the current directory); nothing is
  // written there unless writeImages.
  std::string outputDir;
  bool writeImages = true;
  // false: the result's images stay empty (for callers that only want the
  // files, without a copy of each mosaic in memory).
  bool returnImages = true;
  std::string jsonPath;  // non-empty: the report is written there
  std::string format;    // "png" (also when empty) or "tif"
  std::string telemetry;
  std::string telemetryOffset;
  // The positional arguments as the user gave them, for the report.
  std::vector<std::string> arguments;
};

// A key frame: its node id in the frame tree, its frame number (from 0) and
// the homography from its pixels onto the mean mosaic's pixels (row-major,
// acting on (x, y, 1)); placed is false for a key frame left out of the
// mosaic, whose homography is then all zero.
struct KeyFrame {
  int id = 0;
  int frame = -1;
  bool placed = false;
  std::array<double, 9> frameToCanvas{};
};

// Why a run did not succeed.
enum class Failure {
  kNone,
  kBadOptions,       // a setting or a destination the run refuses (status 2)
  kInputNotFound,    // the input cannot be opened
  kNoFirstFrame,     // the input gave no usable first frame
  kNothingComposed,  // fewer than two frames, or no pair entered the tree
  kNotWritten,       // a result could not be written or composed
};

struct Result {
  // The command line's exit status: 0, 1, or 2 for a refused setting.
  int status = 0;
  Failure failure = Failure::kNone;
  std::string message;               // the last note about the failure (empty on success)
  Image mean, median, blend;         // empty where not composed
  std::vector<KeyFrame> keyFrames;   // in the order of their ids
  std::string reportJson;            // the report, as --json writes it
  std::vector<std::string> written;  // the files written
  // The run got to its end (the command line then checks its standard
  // output too); false when it stopped at a refusal or an unreadable input.
  bool finished = false;
};

// Where a run's messages and progress go. The base class drops them all and
// never waits for a key: a quiet, unattended run.
class Observer {
 public:
  virtual ~Observer() = default;
  // The program's own messages ("Number of nodes: ..."): the command line's
  // standard output, byte for byte.
  virtual void Message(const std::string& /*text*/) {}
  // Notes for people (warnings, the reasons of a failure), each ending in a
  // newline: the command line's standard error. Notes of the input may come
  // from the thread that reads it.
  virtual void Note(const std::string& /*text*/) {}
  // After each frame read: the frames read so far (the first included) and
  // the key frames. May throw to stop the run at once; the exception leaves
  // Mosaic as it was thrown.
  virtual void Frames(int /*framesRead*/, int /*keyFrames*/) {}
  // A stage begins ("composing the mosaic..."); EndLine closes a progress
  // display before other output. Stage may throw as Frames may.
  virtual void Stage(const std::string& /*what*/) {}
  virtual void EndLine() {}
  // Polled after each frame: true ends the input there (the mosaic of what
  // was read is still composed).
  virtual bool EndInput() { return false; }
  // Blocks for one key press after a failed registration; -1: nothing waits.
  virtual int WaitForKey() { return -1; }
};

// The console: messages to standard output (flushed; the first write error
// is kept), notes to standard error, a progress line on standard error when
// it is a terminal, Esc from HighGUI or the terminal, and a first Ctrl-C
// ending the input once the caller installed the program's signal handlers.
class ConsoleObserver : public Observer {
 public:
  ConsoleObserver();
  ~ConsoleObserver() override;
  ConsoleObserver(const ConsoleObserver&) = delete;
  ConsoleObserver& operator=(const ConsoleObserver&) = delete;
  void Message(const std::string& text) override;
  void Note(const std::string& text) override;
  void Frames(int framesRead, int keyFrames) override;
  void Stage(const std::string& what) override;
  void EndLine() override;
  bool EndInput() override;
  int WaitForKey() override;
  // Flushes standard output; false (with a note) when a write there failed.
  bool StandardOutputWritten();

 private:
  struct State;
  State* state_;
};

// Hands out the next frame (8-bit BGR, all of one size) into *frame; false
// at the end of the input. May throw to stop the run; the exception leaves
// Mosaic as it was thrown.
using FrameSource = std::function<bool(Image* frame)>;

// Runs vmosaic on options.input. Refusals, unreadable input and failed
// writes come back in the result; exhausted memory and internal errors are
// thrown (std::bad_alloc, std::exception).
Result Mosaic(const Options& options, Observer& observer);
// The same on the frames of source.
Result Mosaic(const FrameSource& source, const Options& options, Observer& observer);

// "0.1.0".
const char* Version();
// The bundled sample video: the source tree's in a build, else the installed one.
std::string DefaultInput();

}  // namespace vmosaic
