// Helpers shared by every test: the program (or any program) as a
// subprocess, scratch folders that delete themselves, frames rendered from
// the test photo with known homographies, matchers for the program's output
// lines, and matrix comparisons.
#pragma once

#include <gmock/gmock.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/operator.hpp"
#include "tools/render/scene_renderer.hpp"

namespace testsupport {

std::string SourceRoot();
std::string BuildRoot();
std::string VmosaicBinary();

// A new folder under the temporary directory, removed with all it holds.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "vmosaic_test_");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
  const std::string path;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Writes a small pano_Mean.png into dir, as an earlier run would leave it;
// returns its bytes.
std::string PlaceEarlierResult(const std::string& dir);
// Temporary result files (".pano_Mean.png.tmp<pid>.png") left in dir.
std::vector<std::string> TemporaryFiles(const std::string& dir);

struct RunResult {
  int exitCode = -1;      // valid when the process exited normally
  int termSignal = 0;     // non-zero when a signal ended it
  bool timedOut = false;  // killed after the time limit
  std::string out;
  std::string err;
};

// A program started in workDir. Standard output and error go to files of the
// process's own (workDir holds only what the program writes); standard input
// is /dev/null, or with `terminal` a pseudo-terminal that is also the
// process's controlling terminal (in line mode with echo at start).
class Process {
 public:
  struct Options {
    bool terminal = false;
    std::vector<std::pair<std::string, std::string>> env;  // set in the child only
    std::function<void()> inChild;  // runs in the child once its streams are set
  };
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::string& workDir, const Options& options);
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::string& workDir)
      : Process(program, args, workDir, Options()) {}
  ~Process();  // kills and reaps a process still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool Finished();
  // Waits until the process ends, killing it after `seconds`.
  RunResult Wait(int seconds = 120);
  std::string Out() const { return ReadFile(logs_.file("stdout")); }
  std::string Err() const { return ReadFile(logs_.file("stderr")); }
  // Polls `holds` until it is true (true), or the process ended or `seconds`
  // passed (false).
  template <typename Condition>
  bool WaitUntil(Condition holds, int seconds = 120);
  termios TerminalMode() const;
  void Type(const std::string& keys) const;

 private:
  ScratchDir logs_{"vmosaic_logs_"};
  pid_t pid_ = -1;
  int status_ = 0;
  bool finished_ = false;
  int master_ = -1;
  int slave_ = -1;
};

template <typename Condition>
bool Process::WaitUntil(Condition holds, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (holds())
      return true;
    if (Finished())
      return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir, int seconds = 120);
RunResult RunVmosaic(const std::vector<std::string>& args, const std::string& workDir,
                     int seconds = 120);

// The run report at path checked against doc/run-report.schema.json by
// tests/driver/check_run_report.py: its exit status is 0 when it conforms
// (its standard output lists the canvas and key frames, its error why not).
RunResult CheckRunReport(const std::string& path);

// The photograph the scenes are rendered from (lake_boats), loaded once.
const cv::Mat& TestPhoto();

render::CameraPose Pose(double centreX, double centreY, double zoom = 1.0, double angle = 0.0);

// Frames of a camera moving evenly from `start` to `end` over the test photo
// (both ends included), with their true photo-to-frame homographies.
struct Pan {
  std::vector<cv::Mat> frames;
  std::vector<cv::Matx33d> photoToFrame;
  cv::Mat Between(size_t from, size_t to) const;  // frame `from` onto frame `to`
};
Pan RenderPan(int frames, cv::Size size, const render::CameraPose& start,
              const render::CameraPose& end, double noiseSigma = 0.0);
// A camera moving stepPhotoPx photo pixels right per frame.
Pan SidewaysPan(int frames, cv::Size size, double zoom, double startX, double startY,
                double stepPhotoPx);

cv::Mat Translation(double tx, double ty);
// Same size, type and bytes (NaN compares equal to itself).
bool SameBits(const cv::Mat& a, const cv::Mat& b);
// Largest distance between the four corners of a w x h frame mapped by A and by B.
double MaxCornerError(const cv::Mat& A, const cv::Mat& B, int w, int h);
// PSNR of a against b over the pixels where mask is non-zero (8-bit images).
double PsnrOverMask(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask);

// The program's standard output split at line feeds. Its messages begin with
// a line feed, so "\nA\nB" gives "", "A", "B".
std::vector<std::string> Lines(const std::string& text);
// A printf "%f" number and a "%d" number, for MatchesRegex.
inline const std::string kFloat = "[0-9]+\\.[0-9]{6}";
inline const std::string kInt = "-?[0-9]+";
// Matches text whose lines satisfy m, e.g. HasLines(ElementsAre("", "Mean Pano...")).
template <typename M>
auto HasLines(M m) {
  return testing::ResultOf("lines", Lines, m);
}
// One line of the program's own output (any of its messages).
testing::Matcher<std::string> OwnMessage();
// The number after `label` in text (the first occurrence), or -1.
int NumberAfter(const std::string& text, const std::string& label);
inline int NumberOfNodes(const std::string& out) {
  return NumberAfter(out, "\nNumber of nodes: ");
}

// The program's operator (standard streams, console keys), for tests that
// check the messages the libraries give.
io::Operator& StdStreams();

}  // namespace testsupport
