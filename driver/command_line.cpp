// The command line: its options and positional arguments parsed into
// vmosaic::Options, the run on the console, and the exit status.
#include "vmosaic/command_line.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <string>
#include <vector>

#include "driver/signals.hpp"
#include "io/console.hpp"
#include "vmosaic/vmosaic.hpp"

namespace {

constexpr const char* kVersion = "vmosaic 0.1.0\n";

constexpr const char* kUsage =
    "Usage: vmosaic [--json FILE] [--output-dir DIR] [--refine] [--blend] [--keep-going]\n"
    "               [--memory-budget MB] [--work-scale S] [--format png|tif]\n"
    "               [--telemetry FILE] [--telemetry-offset SECONDS] [--]\n"
    "               [VIDEO [OVERLAP [FEATURES [MEDIAN [FRAME_LIMIT]]]]]\n"
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
    "  --keep-going skip frames that cannot be registered or inserted instead\n"
    "               of ending the input there; find the way back by descriptors\n"
    "               and by appearance among all key frames; footage that fits\n"
    "               nowhere starts a new mosaic (pano_Mean_2.png, ...)\n"
    "  --memory-budget MB\n"
    "               memory for the key frames' pixels, in MiB (default: 256,\n"
    "               or a quarter of the physical memory when that is less);\n"
    "               beyond it they go to an unnamed file in TMPDIR (else\n"
    "               /tmp), removed at exit\n"
    "  --work-scale S\n"
    "               register the frames scaled down by S (0 < S <= 1; 0.5\n"
    "               halves each side) and compose them at full resolution:\n"
    "               faster on large frames, at some cost in accuracy\n"
    "  --format tif write the panoramas as tiled, compressed GeoTIFFs with\n"
    "               overviews and an alpha band (pano_Mean.tif, ...) instead\n"
    "               of PNG\n"
    "  --telemetry FILE\n"
    "               per-frame positions (.srt subtitles, .csv of\n"
    "               frame,latitude,longitude[,altitude], or a .gpx track):\n"
    "               the GeoTIFFs get the UTM zone's CRS and a geotransform\n"
    "  --telemetry-offset SECONDS\n"
    "               time of the first frame after the GPX track's first point\n"
    "  --           ends the options: what follows is positional, even when\n"
    "               it starts with \"-\" (a video named --refine)\n"
    "\n"
    "An option's value may not be empty, nor start with \"-\" when given as\n"
    "the next argument (write --json=-x.json or ./-x.json for such a name).\n"
    "Exit status: 0 when every result was written; 1 when the input cannot be\n"
    "read, nothing was composed or a result could not be written; 2 for a\n"
    "malformed option.\n"
    "\n"
    "Press Esc to end the input early.\n";

// The command line with the options taken out: what remains are the
// positional arguments, in their order, so the options never change their
// meaning or the frame-limit rule.
struct CommandLine {
  std::vector<char*> positional;  // argv[0] first
  std::string jsonPath;
  std::string outputDir;
  std::string memoryBudget;     // MiB; empty: the default
  std::string workScale;        // --work-scale; empty: 1
  std::string format;           // --format
  std::string telemetry;        // --telemetry
  std::string telemetryOffset;  // --telemetry-offset
  bool help = false;
  bool version = false;
  bool refine = false;
  bool blend = false;
  bool keepGoing = false;
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
    {"--work-scale", &CommandLine::workScale},
    {"--format", &CommandLine::format},
    {"--telemetry", &CommandLine::telemetry},
    {"--telemetry-offset", &CommandLine::telemetryOffset},
};

// A value given as the next argument must be one: not empty, and not
// something that looks like an option ("--json --blend"). A lone "-" is a
// name; "--json=-x.json" or "./-x.json" names a file starting with "-".
bool UsableSeparateValue(const char* value) {
  return value[0] != '\0' && (value[0] != '-' || value[1] == '\0');
}

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  line.positional.push_back(argv[0]);
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded) {
      line.positional.push_back(argv[i]);
      continue;
    }
    if (arg == "--") {  // the rest are positional, even when they start with "-"
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      continue;
    }
    if (arg == "--refine" || arg == "--blend") {
      (arg == "--refine" ? line.refine : line.blend) = true;
      continue;
    }
    if (arg == "--keep-going") {
      line.keepGoing = true;
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
        if (i + 1 >= argc || !UsableSeparateValue(argv[i + 1])) {
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

// The run itself; main adds the handling of exhausted memory.
int Run(int rawArgc, char** rawArgv) {
  CommandLine line = ParseCommandLine(rawArgc, rawArgv);
  if (!line.malformed.empty()) {
    std::fprintf(stderr, "vmosaic: %s needs a %s\n", line.malformed.c_str(),
                 line.malformed == "--json" || line.malformed == "--telemetry" ? "file name"
                 : line.malformed == "--memory-budget"    ? "whole number of MiB"
                 : line.malformed == "--work-scale"       ? "scale above 0 and at most 1"
                 : line.malformed == "--format"           ? "format (png or tif)"
                 : line.malformed == "--telemetry-offset" ? "number of seconds"
                                                          : "directory name");
    std::fputs(kUsage, stderr);
    return 2;
  }
  vmosaic::ConsoleObserver terminal;
  if (line.help || line.version) {
    terminal.Message(line.help ? kUsage : kVersion);
    return terminal.StandardOutputWritten() ? 0 : 1;
  }
  const int argc = static_cast<int>(line.positional.size());
  char** argv = line.positional.data();
  vmosaic::Options options;
  if (!line.memoryBudget.empty()) {
    char* end = nullptr;
    const long long mib = std::strtoll(line.memoryBudget.c_str(), &end, 10);
    if (*end != '\0' || mib < 0 || mib > (INT64_MAX >> 20)) {
      std::fputs("vmosaic: --memory-budget needs a whole number of MiB\n", stderr);
      std::fputs(kUsage, stderr);
      return 2;
    }
    options.memoryBudgetMb = mib;
  }
  if (!line.workScale.empty()) {
    char* end = nullptr;
    const double scale = std::strtod(line.workScale.c_str(), &end);
    if (*end != '\0' || !(scale > 0.0 && scale <= 1.0)) {
      std::fputs("vmosaic: --work-scale needs a scale above 0 and at most 1\n", stderr);
      std::fputs(kUsage, stderr);
      return 2;
    }
    options.workScale = scale;
  }
  options.input = argc >= 2 ? argv[1] : vmosaic::DefaultInput();
  options.arguments.assign(argv + 1, argv + argc);
  if (argc > 2)
    options.overlap = ParseWholeNumber(argv[2], "OVERLAP");
  if (argc > 3)
    options.features = ParseWholeNumber(argv[3], "FEATURES");
  if (argc > 4)
    options.median = ParseWholeNumber(argv[4], "MEDIAN");
  if (argc == 6)
    options.frameLimit = ParseWholeNumber(argv[5], "FRAME_LIMIT");
  options.returnImages = false;  // they are written
  options.refine = line.refine;
  options.blend = line.blend;
  options.keepGoing = line.keepGoing;
  options.outputDir = line.outputDir;
  options.jsonPath = line.jsonPath;
  options.format = line.format;
  options.telemetry = line.telemetry;
  options.telemetryOffset = line.telemetryOffset;

  std::atexit(console::RestoreTerminal);
  signals::InstallHandlers();
  const vmosaic::Result result = vmosaic::Mosaic(options, terminal);
  if (!result.finished)
    return result.status;
  cv::destroyAllWindows();
  console::RestoreTerminal();
  const bool written = terminal.StandardOutputWritten();
  return written && result.status == 0 ? 0 : 1;
}

bool OutOfMemory(const cv::Exception& e) {
  return e.code == cv::Error::StsNoMem ||
         std::string(e.what()).find("Insufficient memory") != std::string::npos;
}

}  // namespace

int vmosaic::RunCommandLine(int argc, char** argv) {
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
