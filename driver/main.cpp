// vmosaic: builds one panoramic mosaic from a video taken by a moving camera.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <opencv2/core/utility.hpp>
#include <opencv2/highgui.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "driver/frame_loop.hpp"
#include "driver/run_report.hpp"
#include "driver/segments.hpp"
#include "driver/signals.hpp"
#include "driver/survey_output.hpp"
#include "io/console.hpp"
#include "io/image_sequence.hpp"
#include "io/io_video.hpp"
#include "io/output_file.hpp"
#include "panorama/panorama.hpp"
#include "panorama/refinement.hpp"

namespace {

constexpr const char* kVersion = "vmosaic 0.1.0\n";

constexpr const char* kUsage =
    "Usage: vmosaic [--json FILE] [--output-dir DIR] [--refine] [--blend] [--keep-going]\n"
    "               [--memory-budget MB] [--format png|tif] [--telemetry FILE]\n"
    "               [--telemetry-offset SECONDS] [--]\n"
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

double SecondsSince(int64_t startTicks) {
  return static_cast<double>(cv::getTickCount() - startTicks) / cv::getTickFrequency();
}

// Skipping bad frames, notes on standard error; its key-frame index takes
// an eighth of the memory budget (at least 4 MiB).
std::unique_ptr<keepgoing::KeepGoing> MakeKeepGoing(Panorama& panorama, io::Operator& op,
                                                    std::int64_t budgetBytes,
                                                    const LoopSettings& loop) {
  keepgoing::Settings settings;
  settings.overlapThreshold = loop.overlapThreshold;
  settings.featureMethod = loop.featureMethod;
  settings.indexCapacityBytes =
      static_cast<size_t>(std::max<std::int64_t>(budgetBytes / 8, 4 << 20));
  return std::make_unique<keepgoing::KeepGoing>(
      panorama, op, budgetBytes, settings,
      [](const std::string& note) { std::fprintf(stderr, "%s\n", note.c_str()); });
}

// The image files this run writes, in the order they are written.
std::vector<std::string> ResultPaths(const CommandLine& line, int withMedian,
                                     const SurveySettings& survey) {
  std::vector<std::string> names = {"pano_Mean.png"};
  if (withMedian != 0)
    names.push_back("pano_Median.png");
  if (line.blend)
    names.push_back("pano_Blend.png");
  std::vector<std::string> paths;
  for (const std::string& name : names)
    paths.push_back(OutputPath(line.outputDir, ResultName(name, survey).c_str()));
  return paths;
}

// The report must not replace the input (a pattern's input is its members)
// or a result of the same run; the message is printed here.
bool ReportCollides(const CommandLine& line, const std::string& input,
                    const std::vector<std::string>& results) {
  std::vector<std::string> inputs = {input};
  ImageSequence sequence;
  struct stat st {};
  if (stat(input.c_str(), &st) != 0 && sequence.Open(input))
    inputs = sequence.MemberNames();
  const std::vector<std::string>* lists[] = {&inputs, &results};
  for (const std::vector<std::string>* list : lists) {
    for (const std::string& other : *list) {
      if (!SameFile(line.jsonPath, other))
        continue;
      std::fprintf(stderr, "vmosaic: --json %s would overwrite %s of this run\n",
                   line.jsonPath.c_str(), list == &inputs ? "the input" : other.c_str());
      return true;
    }
  }
  return false;
}

// The folder a target goes into, named for a message: "." as the absolute
// path, so "cannot write into ." never hides where that was.
std::string FolderForMessage(const std::string& target) {
  const std::string folder = io::DirectoryOf(target);
  std::error_code ignored;
  const std::string current = std::filesystem::current_path(ignored).string();
  return folder == "." && !current.empty() ? current : folder;
}

// The nearest folder of path that exists (path itself when it does).
std::string NearestExistingFolder(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path folder = std::filesystem::absolute(path, ignored);
  while (!std::filesystem::exists(folder, ignored) && folder.has_relative_path())
    folder = folder.parent_path();
  return folder.string();
}

// Every destination the run will write, checked before the input is read,
// so a run that could not save its results fails at once. A --output-dir
// that does not exist yet is not created here (only once the input has
// opened): the folder it would be created in must take new entries.
bool DestinationsWritable(const CommandLine& line, const std::vector<std::string>& results) {
  std::vector<std::string> targets = results;
  std::error_code ignored;
  if (!line.outputDir.empty() && !std::filesystem::exists(line.outputDir, ignored)) {
    const std::string parent = NearestExistingFolder(line.outputDir);
    targets = {parent + "/.vmosaic-new-folder"};  // a name to check the folder by
    if (!std::filesystem::is_directory(parent, ignored)) {
      std::fprintf(stderr, "vmosaic: could not create %s: %s\n", line.outputDir.c_str(),
                   std::strerror(ENOTDIR));
      return false;
    }
  }
  if (!line.jsonPath.empty())
    targets.push_back(line.jsonPath);
  for (const std::string& target : targets) {
    std::string error;
    if (io::CanWrite(target, &error))
      continue;
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {  // the target itself refuses (a directory)
      std::fprintf(stderr, "vmosaic: cannot write %s: %s\n", target.c_str(), error.c_str());
    } else {
      std::fprintf(stderr, "vmosaic: cannot write into %s: %s\n", FolderForMessage(target).c_str(),
                   error.c_str());
    }
    return false;
  }
  return true;
}

bool CreateOutputDirectory(const std::string& directory) {
  if (directory.empty())
    return true;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (!error)
    return true;
  std::fprintf(stderr, "vmosaic: could not create %s: %s\n", directory.c_str(),
               error.message().c_str());
  return false;
}

// Says on standard error why a run composed nothing (its standard output
// already said "Binary Tree empty...").
void NoteNothingComposed(int framesRead) {
  if (framesRead < 2) {
    std::fprintf(stderr,
                 "vmosaic: nothing was composed: the input gave %d frame%s, and a mosaic needs "
                 "two\n",
                 framesRead, framesRead == 1 ? "" : "s");
  } else {
    std::fputs("vmosaic: nothing was composed: no frame pair entered the frame tree\n", stderr);
  }
}

// FEATURES other than 0 and 1 computes no features, so no pair registers;
// said once, since every pair then fails alike.
void NoteFeatureMethod(int featureMethod) {
  if (featureMethod == 0 || featureMethod == 1)
    return;
  std::fprintf(stderr,
               "vmosaic: FEATURES %d is neither 0 nor 1: no features are computed, so no frame "
               "pair can be registered\n",
               featureMethod);
}

// The blend runs after the mean and median are saved, so a blend that fails
// costs only pano_Blend.png.
bool BlendAndSave(Panorama& panorama, const std::string& directory, const SurveySettings& survey,
                  const Georeference* georeference, std::vector<std::string>* written) {
  const std::string path = OutputPath(directory, ResultName("pano_Blend.png", survey).c_str());
  std::string error;
  try {
    const int64_t blendStart = cv::getTickCount();
    panorama.ComposeBlendedPanorama();
    std::fprintf(stderr, "Time composing the blended panorama: %f seconds\n",
                 SecondsSince(blendStart));
    if (panorama.pano_Blend.empty())
      return true;
    const bool saved = survey.tif
                           ? WriteGeoTiff(panorama, panorama.pano_Blend, path, georeference, &error)
                           : io::WriteImageAtomically(path, panorama.pano_Blend, &error);
    if (saved) {
      written->push_back(path);
      return true;
    }
    std::fprintf(stderr, "vmosaic: could not write %s: %s\n", path.c_str(), error.c_str());
    return false;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  } catch (const std::exception& e) {
    error = e.what();
  }
  panorama.pano_Blend.release();
  std::fprintf(stderr, "vmosaic: the blend failed; %s not written: %s\n", path.c_str(),
               error.c_str());
  return false;
}

// Where and why the input was cut short, for the report: a key frame the
// tree refused, else an input that ended early (the frame that could not be
// read is the one after those read).
void RecordStop(const StoppedEarly& refused, const ioVideo::EarlyEnd& ended, int framesRead,
                RunReport* report) {
  if (refused.frame >= 0) {
    report->stoppedAtFrame = refused.frame;
    report->framesUnread = refused.framesUnread;
    report->stopReason = "could not be inserted into the frame tree";
  } else if (!ended.reason.empty()) {
    report->stoppedAtFrame = framesRead;
    report->framesUnread = ended.framesUnread;
    report->stopReason = ended.reason;
  }
}

// The run itself; main adds the handling of exhausted memory.
int Run(int rawArgc, char** rawArgv) {
  CommandLine line = ParseCommandLine(rawArgc, rawArgv);
  if (!line.malformed.empty()) {
    std::fprintf(stderr, "vmosaic: %s needs a %s\n", line.malformed.c_str(),
                 line.malformed == "--json" || line.malformed == "--telemetry" ? "file name"
                 : line.malformed == "--memory-budget"    ? "whole number of MiB"
                 : line.malformed == "--format"           ? "format (png or tif)"
                 : line.malformed == "--telemetry-offset" ? "number of seconds"
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
  SurveySettings survey;
  if (const int status =
          PrepareSurvey(SurveyOptions{line.format, line.telemetry, line.telemetryOffset}, &survey);
      status != 0) {
    return status;
  }
  // Later mosaics of a --keep-going run are written as PNG only.
  if (line.keepGoing && (survey.tif || survey.hasTelemetry)) {
    std::fputs("vmosaic: --keep-going cannot yet be combined with --format tif or --telemetry\n",
               stderr);
    return 2;
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

  NoteFeatureMethod(settings.featureMethod);
  const std::vector<std::string> results = ResultPaths(line, withMedian, survey);
  if (!line.jsonPath.empty() &&
      ReportCollides(line, argc >= 2 ? argv[1] : ioVideo::DefaultPath(), results)) {
    return 2;
  }
  if (!DestinationsWritable(line, results))
    return 1;

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
  if (!CreateOutputDirectory(line.outputDir))
    return 1;
  Progress progress;
  std::vector<int> keyFrameNumbers;
  StoppedEarly stopped;
  std::unique_ptr<keepgoing::KeepGoing> keepGoing;
  if (line.keepGoing)
    keepGoing = MakeKeepGoing(panorama, consoleOperator, memoryBudgetBytes, settings);
  const int framesRead = RunFrameLoop(panorama, video, settings, progress, &keyFrameNumbers,
                                      &stopped, keepGoing.get());
  if (keepGoing) {
    keepGoing->Finish();
    keyFrameNumbers = keepGoing->segments().front().keyFrames;
  }
  const double treeSeconds = SecondsSince(treeStart);
  std::printf("\nTime processing AVL Binary Tree Construction: %f seconds", treeSeconds);

  progress.Stage("composing the mosaic...");
  const int64_t compositionStart = cv::getTickCount();
  double refineSeconds = 0.0;
  RefinementResult refinement;
  // tree -> reference and placements -> (refine) -> compose; the blend below
  // takes the placements the mean was composed with. With --format tif and
  // the mean alone, the mean goes to its file tile by tile.
  const bool inTiles = ComposesInTiles(survey, withMedian, line.blend);
  TiledMeanFile tiledMean;
  bool tilesWritten = true;
  auto compose = [&](const Placements& placements) {
    if (inTiles)
      tilesWritten = tiledMean.Compose(panorama, placements, line.outputDir);
    else
      panorama.ComposeCentredPanorama(withMedian, placements);
  };
  if (!line.refine) {
    if (panorama.ChooseReference() != nullptr)
      compose({});
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
    std::fprintf(stderr, "Time processing refinement: %f seconds (%.2f s of processor time)\n",
                 refineSeconds, refinement.processorSeconds);
    progress.Stage("composing the mosaic...");
    compose(placements);
  }
  const double compositionSeconds = SecondsSince(compositionStart) - refineSeconds;
  progress.Finish();
  std::printf("\nTime processing CalculateCenteredPanorama: %f seconds", compositionSeconds);
  std::printf("\nTotal processing time: %f seconds",
              treeSeconds + refineSeconds + compositionSeconds);
  FlushStandardOutput();

  Georeference georeference;
  if (survey.hasTelemetry) {
    georeference =
        GeoreferenceMosaic(survey, panorama, keyFrameNumbers, video.capture.get(cv::CAP_PROP_FPS));
    if (!georeference.ok)
      std::fprintf(stderr, "vmosaic: no georeference: %s\n", georeference.failure.c_str());
  }
  std::vector<std::string> written;
  bool ok = inTiles      ? tilesWritten && tiledMean.Finish(&georeference, &written)
            : survey.tif ? SaveGeoTiffs(panorama, line.outputDir, &georeference, &written)
                         : panorama.Save_PanoNew(line.outputDir, &written);
  const bool composed = !panorama.pano.empty() || (inTiles && panorama.num_Nodes > 0);
  if (!composed)
    NoteNothingComposed(framesRead);
  if (line.blend && composed)
    ok = BlendAndSave(panorama, line.outputDir, survey, &georeference, &written) && ok;
  if (keepGoing) {
    keepGoing->segments().front().outputs = written;
    ok =
        ComposeFurtherSegments(*keepGoing, {line.outputDir, withMedian, line.refine, line.blend}) &&
        ok;
  }
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
    RecordStop(stopped, video.InputEndedEarly(), framesRead, &report);
    report.keyFrameNumbers = keyFrameNumbers;
    report.treeSeconds = treeSeconds;
    report.compositionSeconds = compositionSeconds;
    report.outputs = written;
    report.keepGoing = keepGoing.get();
    if (line.refine) {
      report.refinement = &refinement;
      report.refineSeconds = refineSeconds;
    }
    if (io::IsStandardOutput(line.jsonPath)) {
      std::fputc('\n', stdout);  // the report starts on a line of its own
      FlushStandardOutput();
    }
    if (survey.hasTelemetry)
      report.georeferenceJson = GeoreferenceJson(&georeference);
    ok = WriteRunReport(line.jsonPath, report, panorama) && ok;
  }
  // Telemetry that fixed no georeference is refused, once the results are safe.
  if (survey.hasTelemetry && !georeference.ok)
    return 2;
  cv::destroyAllWindows();
  console::RestoreTerminal();
  return StandardOutputWritten() && ok && composed ? 0 : 1;
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
