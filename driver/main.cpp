// vmosaic: builds one panoramic mosaic from a video taken by a moving camera.
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>
#include <opencv2/core/utility.hpp>
#include <opencv2/highgui.hpp>

#include "driver/frame_loop.hpp"
#include "driver/run_report.hpp"
#include "driver/signals.hpp"
#include "io/console.hpp"
#include "io/io_video.hpp"
#include "panorama/panorama.hpp"

namespace {

constexpr const char* kVersion = "vmosaic 0.1.0\n";

constexpr const char* kUsage =
    "Usage: vmosaic [--json FILE] [VIDEO [OVERLAP [FEATURES [MEDIAN [FRAME_LIMIT]]]]]\n"
    "       vmosaic -h | --help | --version\n"
    "\n"
    "Builds a panoramic mosaic from a video taken by a moving camera and writes\n"
    "pano_Mean.png (and, with MEDIAN non-zero, pano_Median.png) into the\n"
    "current directory.\n"
    "\n"
    "  VIDEO        input video file, or an image sequence pattern such as\n"
    "               frames/img_%04d.png (default: the bundled sample video)\n"
    "  OVERLAP      overlap threshold in percent, whole number (default 100):\n"
    "               a frame overlapping the last key frame by this or less\n"
    "               becomes a key frame\n"
    "  FEATURES     0 = corners tracked by optical flow (default), 1 = SIFT\n"
    "  MEDIAN       non-zero also composes the median panorama (default 0)\n"
    "  FRAME_LIMIT  stop after this many frames; read only when exactly five\n"
    "               arguments are given (default 0 = no limit)\n"
    "  --json FILE  also describe the run (key frames, homographies onto the\n"
    "               canvas, reference, timings, files) as JSON in FILE\n"
    "  --memory-budget MB\n"
    "               memory for the key frames' pixels, in MiB (default: a\n"
    "               quarter of the physical memory); beyond it they go to an\n"
    "               unnamed file in TMPDIR (else /tmp), removed at exit\n"
    "\n"
    "Press Esc to end the input early.\n";

// The command line with the options taken out: what remains are the
// positional arguments, in their order, so the options never change their
// meaning or the frame-limit rule.
struct CommandLine {
  std::vector<char*> positional;  // argv[0] first
  std::string jsonPath;
  long long memoryBudgetMb = -1;  // -1: the default
  bool help = false;
  bool version = false;
  bool malformed = false;
  bool badBudget = false;
};

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  line.positional.push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      line.help = true;
    } else if (arg == "--version") {
      line.version = true;
    } else if (arg == "--json") {
      if (i + 1 >= argc) {
        line.malformed = true;
      } else {
        line.jsonPath = argv[++i];
      }
    } else if (arg.rfind("--json=", 0) == 0) {
      line.jsonPath = arg.substr(7);
      if (line.jsonPath.empty()) line.malformed = true;
    } else if (arg == "--memory-budget" || arg.rfind("--memory-budget=", 0) == 0) {
      const std::string value = arg.size() > 15 ? arg.substr(16) : (i + 1 < argc ? argv[++i] : "");
      char* end = nullptr;
      line.memoryBudgetMb = value.empty() ? -1 : std::strtoll(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || line.memoryBudgetMb < 0 ||
          line.memoryBudgetMb > (INT64_MAX >> 20)) {
        line.badBudget = true;
      }
    } else {
      line.positional.push_back(argv[i]);
    }
  }
  return line;
}

// atoi's reading of a whole number (leading blanks, a sign, digits; 0 for
// text that is not a number), but a number beyond int saturates instead of
// being undefined (glibc wraps 99999999999 to a negative value).
int ParseWholeNumber(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

double SecondsSince(int64_t startTicks) {
  return static_cast<double>(cv::getTickCount() - startTicks) / cv::getTickFrequency();
}

}  // namespace

int main(int rawArgc, char** rawArgv) {
  CommandLine line = ParseCommandLine(rawArgc, rawArgv);
  if (line.malformed) {
    std::fputs("vmosaic: --json needs a file name\n", stderr);
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (line.badBudget) {
    std::fputs("vmosaic: --memory-budget needs a whole number of MiB\n", stderr);
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (line.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (line.version) {
    std::fputs(kVersion, stdout);
    return 0;
  }
  const int argc = static_cast<int>(line.positional.size());
  char** argv = line.positional.data();
  std::atexit(console::RestoreTerminal);
  signals::InstallHandlers();
  for (const char* result : {"pano_Mean.png", "pano_Median.png"}) {
    signals::RemoveOnStop(Panorama::TemporaryNameFor(result));
  }
  if (!line.jsonPath.empty()) signals::RemoveOnStop(RunReportTemporaryName(line.jsonPath));

  Panorama panorama;
  panorama.frameStore.SetBudget(line.memoryBudgetMb < 0 ? FrameStore::DefaultBudgetBytes()
                                                        : line.memoryBudgetMb << 20);
  ioVideo video;

  LoopSettings settings;
  int withMedian = 0;
  if (argc > 2) settings.overlapThreshold = static_cast<float>(ParseWholeNumber(argv[2]));
  if (argc > 3) settings.featureMethod = ParseWholeNumber(argv[3]);
  if (argc > 4) withMedian = ParseWholeNumber(argv[4]);
  if (argc == 6) settings.frameLimit = ParseWholeNumber(argv[5]);

  const int64_t treeStart = cv::getTickCount();
  if (video.Input_Video(argc, argv, panorama.getId_Database(), panorama.getId_ScaleProcess()) ==
      0) {
    std::printf("\nNot Input...");
    std::fflush(stdout);
    return 1;
  }
  Progress progress;
  std::vector<int> keyFrameNumbers;
  const int framesRead = RunFrameLoop(panorama, video, settings, progress, &keyFrameNumbers);
  const double treeSeconds = SecondsSince(treeStart);
  std::printf("\nTime processing AVL Binary Tree Construction: %f seconds", treeSeconds);

  progress.Stage("composing the mosaic...");
  const int64_t compositionStart = cv::getTickCount();
  panorama.CalculateCenteredPanorama(withMedian);
  const double compositionSeconds = SecondsSince(compositionStart);
  progress.Finish();
  std::printf("\nTime processing CalculateCenteredPanorama: %f seconds", compositionSeconds);
  std::printf("\nTotal processing time: %f seconds", treeSeconds + compositionSeconds);
  std::fflush(stdout);

  bool ok = panorama.Save_PanoNew();
  if (!line.jsonPath.empty()) {
    RunReport report;
    report.input = video.path_Input;
    report.arguments.assign(argv + 1, argv + argc);
    report.overlapThreshold = settings.overlapThreshold;
    report.featureMethod = settings.featureMethod;
    report.withMedian = withMedian;
    report.frameLimit = settings.frameLimit;
    report.frameWidth = video.imageW;
    report.frameHeight = video.imageH;
    report.framesRead = framesRead;
    report.keyFrameNumbers = keyFrameNumbers;
    report.treeSeconds = treeSeconds;
    report.compositionSeconds = compositionSeconds;
    if (ok && !panorama.pano.empty()) report.outputs.push_back("pano_Mean.png");
    if (ok && !panorama.pano_Median.empty()) report.outputs.push_back("pano_Median.png");
    ok = WriteRunReport(line.jsonPath, report, panorama) && ok;
  }
  cv::destroyAllWindows();
  console::RestoreTerminal();
  return ok ? 0 : 1;
}
