// vmosaic: builds one panoramic mosaic from a video taken by a moving camera.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <opencv2/core/utility.hpp>
#include <opencv2/highgui.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "driver/frame_loop.hpp"
#include "driver/run_report.hpp"
#include "driver/signals.hpp"
#include "io/console.hpp"
#include "io/image_sequence.hpp"
#include "io/io_video.hpp"
#include "io/output_file.hpp"
#include "panorama/panorama.hpp"
#include "panorama/refinement.hpp"

namespace {

constexpr const char* kVersion = "vmosaic 0.1.0\n";

constexpr const char* kUsage =
    "Usage: vmosaic [--json FILE] [--output-dir DIR] [--refine] [--blend]\n"
    "               [--memory-budget MB] [VIDEO [OVERLAP [FEATURES [MEDIAN [FRAME_LIMIT]]]]]\n"
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
    "  --output-dir DIR  write the panoramas into DIR (created if missing)\n"
    "               instead of the current directory\n"
    "  --refine     before composing, align every overlapping pair of key\n"
    "               frames on their pixels and adjust all key frames together\n"
    "               (sharper mosaics from long or rotating sweeps; slower)\n"
    "  --blend      also writes pano_Blend.png: the same key frames corrected\n"
    "               for vignetting and exposure, cut along seams and blended\n"
    "               across them (slower, for a mosaic without visible bands)\n"
    "  --memory-budget MB\n"
    "               memory for the key frames' pixels, in MiB (default: 256,\n"
    "               or a quarter of the physical memory when that is less);\n"
    "               beyond it they go to an unnamed file in TMPDIR (else\n"
    "               /tmp), removed at exit\n"
    "\n"
    "Press Esc to end the input early.\n";

// The command line with the options taken out: what remains are the
// positional arguments, in their order, so the options never change their
// meaning or the frame-limit rule.
struct CommandLine {
  std::vector<char*> positional;  // argv[0] first
  std::string jsonPath;
  std::string outputDir;
  std::string memoryBudget;  // MiB; empty: the default
  bool help = false;
  bool version = false;
  bool refine = false;
  bool blend = false;
  std::string malformed;  // the option given without its value
};

// Options that take a value ("--name VALUE" or "--name=VALUE").
struct ValueOption {
  const char* name;
  std::string CommandLine::*value;
};
constexpr ValueOption kValueOptions[] = {
    {"--json", &CommandLine::jsonPath},
    {"--output-dir", &CommandLine::outputDir},
    {"--memory-budget", &CommandLine::memoryBudget},
};

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  line.positional.push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      continue;
    }
    if (arg == "--refine" || arg == "--blend") {
      (arg == "--refine" ? line.refine : line.blend) = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    bool taken = false;
    for (const ValueOption& option : kValueOptions) {
      const std::string name = option.name;
      if (arg == name) {
        if (i + 1 >= argc) {
          line.malformed = name;
        } else {
          line.*option.value = argv[++i];
        }
        taken = true;
      } else if (arg.rfind(name + "=", 0) == 0) {
        line.*option.value = arg.substr(name.size() + 1);
        if ((line.*option.value).empty())
          line.malformed = name;
        taken = true;
      }
      if (taken)
        break;
    }
    if (!taken)
      line.positional.push_back(argv[i]);
  }
  return line;
}

// atoi's reading of a whole number (leading blanks, a sign, digits; 0 for
// text that is not a number), but a number beyond int saturates instead of
// being undefined (glibc wraps 99999999999 to a negative value); the value
// used then is said on standard error.
int ParseWholeNumber(const char* text, const char* what) {
  const long value = std::strtol(text, nullptr, 10);
  const int used = static_cast<int>(
      std::clamp<long>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
  if (used != value) {
    std::fprintf(stderr, "vmosaic: %s %s is out of range; %d is used\n", what, text, used);
  }
  return used;
}

// Standard output carries the results' messages: a write that failed there
// (a closed pipe, a full disk) makes the run fail, after the files are
// written. The first failure's reason is kept, since later calls overwrite
// errno.
int g_standardOutputError = 0;

void FlushStandardOutput() {
  if (std::fflush(stdout) != 0 && g_standardOutputError == 0)
    g_standardOutputError = errno;
}

bool StandardOutputWritten() {
  FlushStandardOutput();
  if (!std::ferror(stdout) && g_standardOutputError == 0)
    return true;
  std::fprintf(stderr, "vmosaic: could not write to standard output%s%s\n",
               g_standardOutputError != 0 ? ": " : "",
               g_standardOutputError != 0 ? std::strerror(g_standardOutputError) : "");
  return false;
}

// Whether two names lead to the same file: the same inode when both exist,
// else the same absolute path once "." and ".." are resolved.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  const bool aExists = stat(a.c_str(), &sa) == 0;
  const bool bExists = stat(b.c_str(), &sb) == 0;
  if (aExists && bExists)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  std::error_code ignored;
  return std::filesystem::weakly_canonical(std::filesystem::absolute(a, ignored), ignored) ==
         std::filesystem::weakly_canonical(std::filesystem::absolute(b, ignored), ignored);
}

std::string OutputPath(const std::string& directory, const char* name) {
  return directory.empty() ? std::string(name) : directory + "/" + name;
}

// The directory of path, for messages.
std::string DirectoryName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

double SecondsSince(int64_t startTicks) {
  return static_cast<double>(cv::getTickCount() - startTicks) / cv::getTickFrequency();
}

// The run itself; main adds the handling of exhausted memory.
int Run(int rawArgc, char** rawArgv) {
  CommandLine line = ParseCommandLine(rawArgc, rawArgv);
  if (!line.malformed.empty()) {
    std::fprintf(stderr, "vmosaic: %s needs a %s\n", line.malformed.c_str(),
                 line.malformed == "--json"            ? "file name"
                 : line.malformed == "--memory-budget" ? "whole number of MiB"
                                                       : "directory name");
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (line.help || line.version) {
    std::fputs(line.help ? kUsage : kVersion, stdout);
    return StandardOutputWritten() ? 0 : 1;
  }
  const int argc = static_cast<int>(line.positional.size());
  char** argv = line.positional.data();
  // The key frames' pixels beyond the budget go to an unnamed spill file.
  std::int64_t memoryBudgetBytes = FrameStore::DefaultBudgetBytes();
  if (!line.memoryBudget.empty()) {
    char* end = nullptr;
    const long long mib = std::strtoll(line.memoryBudget.c_str(), &end, 10);
    if (*end != '\0' || mib < 0 || mib > (INT64_MAX >> 20)) {
      std::fputs("vmosaic: --memory-budget needs a whole number of MiB\n", stderr);
      std::fputs(kUsage, stderr);
      return 2;
    }
    memoryBudgetBytes = static_cast<std::int64_t>(mib) << 20;
  }

  LoopSettings settings;
  int withMedian = 0;
  if (argc > 2) {
    settings.overlapThreshold = static_cast<float>(ParseWholeNumber(argv[2], "OVERLAP"));
  }
  if (argc > 3)
    settings.featureMethod = ParseWholeNumber(argv[3], "FEATURES");
  if (argc > 4)
    withMedian = ParseWholeNumber(argv[4], "MEDIAN");
  if (argc == 6)
    settings.frameLimit = ParseWholeNumber(argv[5], "FRAME_LIMIT");

  std::atexit(console::RestoreTerminal);
  signals::InstallHandlers();

  // The report must not replace the input or a result of the same run.
  if (!line.jsonPath.empty()) {
    const std::string input = argc >= 2 ? argv[1] : ioVideo::DefaultPath();
    std::vector<std::string> inputs = {input};
    ImageSequence sequence;  // a pattern's input is its members
    struct stat st {};
    if (stat(input.c_str(), &st) != 0 && sequence.Open(input))
      inputs = sequence.MemberNames();
    std::vector<std::string> outputs = {OutputPath(line.outputDir, "pano_Mean.png")};
    if (withMedian != 0)
      outputs.push_back(OutputPath(line.outputDir, "pano_Median.png"));
    for (const auto* list : {&inputs, &outputs}) {
      for (const std::string& other : *list) {
        if (!SameFile(line.jsonPath, other))
          continue;
        std::fprintf(stderr, "vmosaic: --json %s would overwrite %s of this run\n",
                     line.jsonPath.c_str(), list == &inputs ? "the input" : other.c_str());
        return 2;
      }
    }
  }
  // Where the results go must take them, checked before any frame is read.
  if (!line.outputDir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(line.outputDir, error);
    if (error) {
      std::fprintf(stderr, "vmosaic: could not create %s: %s\n", line.outputDir.c_str(),
                   error.message().c_str());
      return 1;
    }
  }
  std::vector<std::string> targets = {OutputPath(line.outputDir, "pano_Mean.png")};
  if (!line.jsonPath.empty())
    targets.push_back(line.jsonPath);
  for (const std::string& target : targets) {
    std::string error;
    if (io::CanWrite(target, &error))
      continue;
    std::fprintf(stderr, "vmosaic: cannot write into %s: %s\n", DirectoryName(target).c_str(),
                 error.c_str());
    return 1;
  }

  // Declared first so that it outlives everything it is handed to.
  io::ConsoleOperator consoleOperator;
  Panorama panorama(consoleOperator);
  panorama.frameStore.SetBudget(memoryBudgetBytes);
  ioVideo video;

  const int64_t treeStart = cv::getTickCount();
  const int opened =
      video.Input_Video(argc, argv, panorama.getId_Database(), panorama.getId_ScaleProcess());
  if (opened == ioVideo::kInputNotFound) {
    consoleOperator.Out("Video File is not found...");
    FlushStandardOutput();
    return 1;
  }
  if (opened == 0) {
    consoleOperator.Out("\nNot Input...");
    FlushStandardOutput();
    return 1;
  }
  Progress progress;
  std::vector<int> keyFrameNumbers;
  StoppedEarly stopped;
  const int framesRead =
      RunFrameLoop(panorama, video, settings, progress, &keyFrameNumbers, &stopped);
  const double treeSeconds = SecondsSince(treeStart);
  std::printf("\nTime processing AVL Binary Tree Construction: %f seconds", treeSeconds);

  progress.Stage("composing the mosaic...");
  const int64_t compositionStart = cv::getTickCount();
  double refineSeconds = 0.0;
  RefinementResult refinement;
  // tree -> reference and placements -> (refine) -> compose; the blend below
  // takes the placements the mean was composed with.
  if (!line.refine) {
    panorama.CalculateCenteredPanorama(withMedian);
  } else if (panorama.ChooseReference() != nullptr) {
    std::fflush(stdout);
    progress.Stage("refining key-frame placements...");
    const int64_t refineStart = cv::getTickCount();
    const Placements placements =
        panorama.RefineKeyFrames(panorama.TreePlacements(), RefinementSettings{}, &refinement);
    refineSeconds = SecondsSince(refineStart);
    progress.Finish();
    std::fprintf(stderr,
                 "refine: %d pairs tried, %d kept, residual %.3f px before, %.3f px after, "
                 "%d placements refused\n",
                 refinement.pairsTried, refinement.pairsKept, refinement.residualBefore,
                 refinement.residualAfter, refinement.placementsRefused);
    std::fprintf(stderr, "Time processing refinement: %f seconds\n", refineSeconds);
    progress.Stage("composing the mosaic...");
    panorama.ComposeCentredPanorama(withMedian, placements);
  }
  const double compositionSeconds = SecondsSince(compositionStart) - refineSeconds;
  progress.Finish();
  std::printf("\nTime processing CalculateCenteredPanorama: %f seconds", compositionSeconds);
  std::printf("\nTotal processing time: %f seconds",
              treeSeconds + refineSeconds + compositionSeconds);
  FlushStandardOutput();
  if (line.blend) {
    const int64_t blendStart = cv::getTickCount();
    panorama.ComposeBlendedPanorama();
    std::fprintf(stderr, "Time composing the blended panorama: %f seconds\n",
                 SecondsSince(blendStart));
  }

  std::vector<std::string> written;
  bool ok = panorama.Save_PanoNew(line.outputDir, &written);
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
    report.stoppedAtFrame = stopped.frame;
    report.framesUnread = stopped.framesUnread;
    report.keyFrameNumbers = keyFrameNumbers;
    report.treeSeconds = treeSeconds;
    report.compositionSeconds = compositionSeconds;
    report.outputs = written;
    if (line.refine) {
      report.refinement = &refinement;
      report.refineSeconds = refineSeconds;
    }
    ok = WriteRunReport(line.jsonPath, report, panorama) && ok;
  }
  cv::destroyAllWindows();
  console::RestoreTerminal();
  return StandardOutputWritten() && ok ? 0 : 1;
}

bool OutOfMemory(const cv::Exception& e) {
  return e.code == cv::Error::StsNoMem ||
         std::string(e.what()).find("Insufficient memory") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  // Exhausted memory (and any other failure that surfaces as an exception)
  // ends the run with a message and status 1 instead of an abort; the
  // result being written, if any, is left as it was.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("vmosaic: out of memory; stopped\n", stderr);
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "vmosaic: %s; stopped\n%s\n",
                 OutOfMemory(e) ? "out of memory" : "internal error", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vmosaic: internal error; stopped\n%s\n", e.what());
  }
  return 1;
}
