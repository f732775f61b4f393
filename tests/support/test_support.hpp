// Helpers shared by the tests: the program as a subprocess, scratch folders,
// the test photo and image comparisons.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "io/operator.hpp"

namespace testsupport {

std::string VmosaicBinary();

// Points standard input at /dev/null, so the waits for a key after a failed
// registration return at once even when the tests run from a terminal.
void DetachStandardInput();
std::string SourceRoot();
std::string BuildRoot();

struct RunResult {
  int exitCode = -1;     // valid when the process exited normally
  int termSignal = 0;    // non-zero when a signal ended it
  bool timedOut = false; // killed after the time limit
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs the program with args in workDir, standard input closed (/dev/null),
// killing it after timeoutSeconds.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir, int timeoutSeconds = 120);
RunResult RunVmosaic(const std::vector<std::string>& args, const std::string& workDir,
                     int timeoutSeconds = 120);

// A new empty folder under the system's temporary folder.
std::string MakeTempDir(const std::string& prefix);

// A scratch folder removed with everything in it.
struct ScratchDir {
  explicit ScratchDir(const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};
bool FileExists(const std::string& path);
std::string ReadFile(const std::string& path);

// The photograph the synthetic scenes are rendered from (lake_boats).
cv::Mat TestPhoto();

// Frames of a camera panning sideways over the test photo: the view starts
// centred on photo point (startX, startY) and moves stepPhotoPx photo pixels
// right per frame, at zoom frame pixels per photo pixel.
std::vector<cv::Mat> RenderSidewaysPan(int frames, cv::Size size, double zoom, double startX,
                                       double startY, double stepPhotoPx);

// PSNR of a against b over the pixels where mask is non-zero (8-bit images).
double PsnrOverMask(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask);

// Largest distance between the four corners of a w x h frame mapped by A
// and by B.
double MaxCornerError(const cv::Mat& A, const cv::Mat& B, int w, int h);

// The program's operator (standard streams, console keys), for tests that
// check the messages the libraries give.
io::Operator& StdStreams();

}  // namespace testsupport
