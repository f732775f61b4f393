// The library's entry point: one run from the settings to the written
// results, reporting through an Observer. The command line's behaviour
// (messages, files, exit status) is this run's with the console observer.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <opencv2/core/utility.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "driver/frame_loop.hpp"
#include "driver/run_report.hpp"
#include "driver/segments.hpp"
#include "driver/survey_output.hpp"
#include "io/image_sequence.hpp"
#include "io/io_video.hpp"
#include "io/output_file.hpp"
#include "panorama/panorama.hpp"
#include "panorama/refinement.hpp"
#include "vmosaic/vmosaic.hpp"

namespace vmosaic {
namespace {

using io::Format;

// The libraries' operator, speaking through the run's observer; it never
// opens a window.
class ObserverOperator : public io::Operator {
 public:
  explicit ObserverOperator(Observer& observer) : observer_(observer) {}
  void Out(const std::string& text) override { observer_.Message(text); }
  void Err(const std::string& text) override { observer_.Note(text); }
  int WaitForKey() override { return observer_.WaitForKey(); }

 private:
  Observer& observer_;
};

// A run's notes, kept so that a failure can name its reason.
class Notes {
 public:
  Notes(Observer& observer, Result* result) : observer_(observer), result_(result) {}
  void operator()(const std::string& text) {
    observer_.Note(text);
    std::string line = text;
    while (!line.empty() && line.back() == '\n')
      line.pop_back();
    result_->message = line;
  }
  Observer& observer() { return observer_; }

 private:
  Observer& observer_;
  Result* result_;
};

std::string OutputPath(const std::string& directory, const char* name) {
  return directory.empty() ? std::string(name) : directory + "/" + name;
}

double SecondsSince(int64_t startTicks) {
  return static_cast<double>(cv::getTickCount() - startTicks) / cv::getTickFrequency();
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

// Skipping bad frames; its key-frame index takes an eighth of the memory
// budget (at least 4 MiB).
std::unique_ptr<keepgoing::KeepGoing> MakeKeepGoing(Panorama& panorama, io::Operator& op,
                                                    std::int64_t budgetBytes,
                                                    const LoopSettings& loop, Observer& observer) {
  keepgoing::Settings settings;
  settings.overlapThreshold = loop.overlapThreshold;
  settings.featureMethod = loop.featureMethod;
  settings.indexCapacityBytes =
      static_cast<size_t>(std::max<std::int64_t>(budgetBytes / 8, 4 << 20));
  return std::make_unique<keepgoing::KeepGoing>(
      panorama, op, budgetBytes, settings,
      [&observer](const std::string& note) { observer.Note(note + "\n"); });
}

// The image files this run writes, in the order they are written.
std::vector<std::string> ResultPaths(const Options& options, const SurveySettings& survey) {
  if (!options.writeImages)
    return {};
  std::vector<std::string> names = {"pano_Mean.png"};
  if (options.median != 0)
    names.push_back("pano_Median.png");
  if (options.blend)
    names.push_back("pano_Blend.png");
  std::vector<std::string> paths;
  for (const std::string& name : names)
    paths.push_back(OutputPath(options.outputDir, ResultName(name, survey).c_str()));
  return paths;
}

// The report must not replace the input (a pattern's input is its members;
// a frame source has none) or a result of the same run.
bool ReportCollides(const Options& options, const std::string* input,
                    const std::vector<std::string>& results, Notes& notes) {
  std::vector<std::string> inputs;
  ImageSequence sequence;
  struct stat st {};
  if (input != nullptr)
    inputs = {*input};
  if (input != nullptr && stat(input->c_str(), &st) != 0 && sequence.Open(*input))
    inputs = sequence.MemberNames();
  const std::vector<std::string>* lists[] = {&inputs, &results};
  for (const std::vector<std::string>* list : lists) {
    for (const std::string& other : *list) {
      if (!SameFile(options.jsonPath, other))
        continue;
      notes(Format("vmosaic: --json %s would overwrite %s of this run\n", options.jsonPath.c_str(),
                   list == &inputs ? "the input" : other.c_str()));
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

// Whether two folder names, neither of which need exist, name one folder.
bool SameFolder(const std::string& a, const std::string& b) {
  std::error_code ignored;
  return std::filesystem::absolute(a, ignored).lexically_normal() / "" ==
         std::filesystem::absolute(b, ignored).lexically_normal() / "";
}

// Every destination the run will write, checked before the input is read,
// so a run that could not save its results fails at once. A folder for the
// results that does not exist yet is not created here (only once the input
// has opened): the folder it would be created in must take new entries.
bool DestinationsWritable(const Options& options, const std::vector<std::string>& results,
                          Notes& notes) {
  std::vector<std::string> targets = results;
  std::error_code ignored;
  bool createsFolder = false;
  if (options.writeImages && !options.outputDir.empty() &&
      !std::filesystem::exists(options.outputDir, ignored)) {
    createsFolder = true;
    const std::string parent = NearestExistingFolder(options.outputDir);
    targets = {parent + "/.vmosaic-new-folder"};  // a name to check the folder by
    if (!std::filesystem::is_directory(parent, ignored)) {
      notes(Format("vmosaic: could not create %s: %s\n", options.outputDir.c_str(),
                   std::strerror(ENOTDIR)));
      return false;
    }
  }
  // A report that goes into the results' new folder (--output-dir D --json
  // D/report.json) is covered by the check of the folder it is created in.
  if (!options.jsonPath.empty() &&
      !(createsFolder && SameFolder(io::DirectoryOf(options.jsonPath), options.outputDir)))
    targets.push_back(options.jsonPath);
  for (const std::string& target : targets) {
    std::string error;
    if (io::CanWrite(target, &error))
      continue;
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {  // the target itself refuses (a directory)
      notes(Format("vmosaic: cannot write %s: %s\n", target.c_str(), error.c_str()));
    } else {
      notes(Format("vmosaic: cannot write into %s: %s\n", FolderForMessage(target).c_str(),
                   error.c_str()));
    }
    return false;
  }
  return true;
}

bool CreateOutputDirectory(const std::string& directory, Notes& notes) {
  if (directory.empty())
    return true;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (!error)
    return true;
  notes(Format("vmosaic: could not create %s: %s\n", directory.c_str(), error.message().c_str()));
  return false;
}

// Says why a run composed nothing (the messages already said "Binary Tree
// empty...").
void NoteNothingComposed(int framesRead, Notes& notes) {
  if (framesRead < 2) {
    notes(
        Format("vmosaic: nothing was composed: the input gave %d frame%s, and a mosaic needs "
               "two\n",
               framesRead, framesRead == 1 ? "" : "s"));
  } else {
    notes("vmosaic: nothing was composed: no frame pair entered the frame tree\n");
  }
}

// FEATURES other than 0 and 1 computes no features, so no pair registers;
// said once, since every pair then fails alike.
void NoteFeatureMethod(int featureMethod, Observer& observer) {
  if (featureMethod == 0 || featureMethod == 1)
    return;
  observer.Note(
      Format("vmosaic: FEATURES %d is neither 0 nor 1: no features are computed, so no frame "
             "pair can be registered\n",
             featureMethod));
}

// The blend runs after the mean and median are saved, so a blend that fails
// costs only pano_Blend.png.
bool BlendAndSave(Panorama& panorama, const Options& options, const SurveySettings& survey,
                  const Georeference* georeference, std::vector<std::string>* written,
                  Notes& notes) {
  const std::string path =
      OutputPath(options.outputDir, ResultName("pano_Blend.png", survey).c_str());
  std::string error;
  try {
    const int64_t blendStart = cv::getTickCount();
    panorama.ComposeBlendedPanorama();
    notes.observer().Note(
        Format("Time composing the blended panorama: %f seconds\n", SecondsSince(blendStart)));
    if (panorama.pano_Blend.empty() || !options.writeImages)
      return true;
    const bool saved = survey.tif
                           ? WriteGeoTiff(panorama, panorama.pano_Blend, path, georeference, &error)
                           : io::WriteImageAtomically(path, panorama.pano_Blend, &error);
    if (saved) {
      written->push_back(path);
      return true;
    }
    notes(Format("vmosaic: could not write %s: %s\n", path.c_str(), error.c_str()));
    return false;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  } catch (const std::exception& e) {
    error = e.what();
  }
  panorama.pano_Blend.release();
  notes(Format("vmosaic: the blend failed; %s not written: %s\n", path.c_str(), error.c_str()));
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

Image ToImage(const cv::Mat& mat) {
  Image image;
  if (mat.empty() || mat.type() != CV_8UC3)
    return image;
  image.width = mat.cols;
  image.height = mat.rows;
  image.bytes.resize(static_cast<size_t>(mat.cols) * mat.rows * 3);
  cv::Mat packed(mat.rows, mat.cols, CV_8UC3, image.bytes.data());
  mat.copyTo(packed);
  return image;
}

// Each key frame with its homography onto the mean's pixels.
std::vector<KeyFrame> KeyFramesOf(Panorama& p, const std::vector<int>& frameNumbers) {
  std::vector<KeyFrame> keyFrames;
  const bool composed = !p.CanvasSize().empty() && p.Node_PanoReference != nullptr;
  for (_treeNode* n : p.Vect_Nodes) {
    KeyFrame key;
    key.id = n->id;
    const size_t slot = static_cast<size_t>(n->id - 1);
    key.frame = slot < frameNumbers.size() ? frameNumbers[slot] : -1;
    key.placed = composed && !p.SkippedByCanvas(n->id);
    if (key.placed) {
      const cv::Mat H = FrameToCanvas(p, n);
      for (int i = 0; i < 9; ++i)
        key.frameToCanvas[static_cast<size_t>(i)] = H.at<double>(i / 3, i % 3);
    }
    keyFrames.push_back(key);
  }
  std::sort(keyFrames.begin(), keyFrames.end(),
            [](const KeyFrame& a, const KeyFrame& b) { return a.id < b.id; });
  return keyFrames;
}

// Frames registered smaller than this a side give too few features to track.
constexpr int kMinimumWorkSide = 16;

cv::Size WorkSize(cv::Size full, double scale) {
  return cv::Size(static_cast<int>(std::lround(full.width * scale)),
                  static_cast<int>(std::lround(full.height * scale)));
}

Result Fail(Result result, Failure failure, int status) {
  result.failure = failure;
  result.status = status;
  return result;
}

Result Run(const FrameSource* source, const Options& options, Observer& observer) {
  Result result;
  Notes notes(observer, &result);
  // The key frames' pixels beyond the budget go to an unnamed spill file.
  std::int64_t memoryBudgetBytes = FrameStore::DefaultBudgetBytes();
  if (options.memoryBudgetMb >= 0) {
    if (options.memoryBudgetMb > (INT64_MAX >> 20)) {
      notes("vmosaic: --memory-budget needs a whole number of MiB\n");
      return Fail(result, Failure::kBadOptions, 2);
    }
    memoryBudgetBytes = options.memoryBudgetMb << 20;
  }
  SurveySettings survey;
  if (const int status = PrepareSurvey(
          SurveyOptions{options.format, options.telemetry, options.telemetryOffset}, &survey);
      status != 0) {
    return Fail(result, Failure::kBadOptions, status);
  }
  // Later mosaics of a --keep-going run are written as PNG only.
  if (options.keepGoing && (survey.tif || survey.hasTelemetry)) {
    notes("vmosaic: --keep-going cannot yet be combined with --format tif or --telemetry\n");
    return Fail(result, Failure::kBadOptions, 2);
  }
  if (!(options.workScale > 0.0 && options.workScale <= 1.0)) {
    notes(Format("vmosaic: --work-scale %g is not above 0 and at most 1\n", options.workScale));
    return Fail(result, Failure::kBadOptions, 2);
  }
  const bool scaled = options.workScale < 1.0;
  // --keep-going registers frames against key frames of any mosaic, which
  // would need every one of them at both resolutions.
  if (options.keepGoing && scaled) {
    notes("vmosaic: --keep-going cannot yet be combined with --work-scale\n");
    return Fail(result, Failure::kBadOptions, 2);
  }
  LoopSettings settings;
  settings.overlapThreshold = static_cast<float>(options.overlap);
  settings.featureMethod = options.features;
  settings.frameLimit = options.frameLimit;
  const int withMedian = options.median;

  NoteFeatureMethod(settings.featureMethod, observer);
  const std::vector<std::string> results = ResultPaths(options, survey);
  const std::string& input = options.input;
  if (!options.jsonPath.empty() &&
      ReportCollides(options, source == nullptr ? &input : nullptr, results, notes)) {
    return Fail(result, Failure::kBadOptions, 2);
  }
  if (!DestinationsWritable(options, results, notes))
    return Fail(result, Failure::kNotWritten, 1);

  // Declared first so that it outlives everything it is handed to.
  ObserverOperator op(observer);
  Panorama panorama(op);
  panorama.frameStore.SetBudget(memoryBudgetBytes);
  ioVideo video;
  video.SetNoteSink([&observer](const std::string& text) { observer.Note(text); });

  const int64_t treeStart = cv::getTickCount();
  int opened = 0;
  if (source != nullptr) {
    opened = video.OpenFrames(
        [source](cv::Mat* frame) {
          Image image;
          if (!(*source)(&image))
            return false;
          if (image.width <= 0 || image.height <= 0 ||
              image.bytes.size() != static_cast<size_t>(image.width) * image.height * 3) {
            throw std::invalid_argument("a frame's bytes do not match its size");
          }
          *frame = cv::Mat(image.height, image.width, CV_8UC3, image.bytes.data()).clone();
          return true;
        },
        input);
  } else {
    std::string path = input;
    char* argv[] = {nullptr, path.data()};
    opened = video.Input_Video(2, argv, panorama.getId_Database(), panorama.getId_ScaleProcess());
  }
  if (opened == ioVideo::kInputNotFound) {
    observer.Message("Video File is not found...");
    result.message = "Video File is not found: " + input;
    return Fail(result, Failure::kInputNotFound, 1);
  }
  if (opened == 0) {
    observer.Message("\nNot Input...");
    if (result.message.empty())
      result.message = "the input gave no first frame";
    return Fail(result, Failure::kNoFirstFrame, 1);
  }
  if (scaled) {
    settings.workSize = WorkSize(cv::Size(video.imageW, video.imageH), options.workScale);
    if (std::min(settings.workSize.width, settings.workSize.height) < kMinimumWorkSide) {
      notes(
          Format("vmosaic: --work-scale %g makes the %dx%d frames %dx%d; registration needs "
                 "at least %d pixels a side\n",
                 options.workScale, video.imageW, video.imageH, settings.workSize.width,
                 settings.workSize.height, kMinimumWorkSide));
      return Fail(result, Failure::kBadOptions, 2);
    }
  }
  if (options.writeImages && !CreateOutputDirectory(options.outputDir, notes))
    return Fail(result, Failure::kNotWritten, 1);
  std::vector<int> keyFrameNumbers;
  StoppedEarly stopped;
  std::unique_ptr<keepgoing::KeepGoing> keepGoing;
  if (options.keepGoing)
    keepGoing = MakeKeepGoing(panorama, op, memoryBudgetBytes, settings, observer);
  std::vector<cv::Mat> fullKeyFrames;
  const int framesRead = RunFrameLoop(panorama, video, settings, observer, &keyFrameNumbers,
                                      &stopped, keepGoing.get(), &fullKeyFrames);
  if (scaled)
    panorama.UseFullResolutionKeyFrames(fullKeyFrames);
  if (keepGoing) {
    keepGoing->Finish();
    keyFrameNumbers = keepGoing->segments().front().keyFrames;
  }
  const double treeSeconds = SecondsSince(treeStart);
  observer.Message(
      Format("\nTime processing AVL Binary Tree Construction: %f seconds", treeSeconds));

  observer.Stage("composing the mosaic...");
  const int64_t compositionStart = cv::getTickCount();
  double refineSeconds = 0.0;
  RefinementResult refinement;
  // tree -> reference and placements -> (refine) -> compose; the blend below
  // takes the placements the mean was composed with. With --format tif and
  // the mean alone, the mean goes to its file tile by tile.
  const bool inTiles = options.writeImages && ComposesInTiles(survey, withMedian, options.blend);
  TiledMeanFile tiledMean;
  bool tilesWritten = true;
  auto compose = [&](const Placements& placements) {
    if (inTiles)
      tilesWritten = tiledMean.Compose(panorama, placements, options.outputDir);
    else
      panorama.ComposeCentredPanorama(withMedian, placements);
  };
  if (!options.refine) {
    if (panorama.ChooseReference() != nullptr)
      compose({});
  } else if (panorama.ChooseReference() != nullptr) {
    observer.Stage("refining key-frame placements...");
    const int64_t refineStart = cv::getTickCount();
    const Placements placements =
        panorama.RefineKeyFrames(panorama.TreePlacements(), RefinementSettings{}, &refinement);
    refineSeconds = SecondsSince(refineStart);
    observer.EndLine();
    observer.Note(
        Format("refine: %d pairs tried, %d kept, residual %.3f px before, %.3f px after, "
               "%d placements refused\n",
               refinement.pairsTried, refinement.pairsKept, refinement.residualBefore,
               refinement.residualAfter, refinement.placementsRefused));
    observer.Note(Format("Time processing refinement: %f seconds (%.2f s of processor time)\n",
                         refineSeconds, refinement.processorSeconds));
    observer.Stage("composing the mosaic...");
    compose(placements);
  }
  const double compositionSeconds = SecondsSince(compositionStart) - refineSeconds;
  observer.EndLine();
  observer.Message(
      Format("\nTime processing CalculateCenteredPanorama: %f seconds", compositionSeconds));
  observer.Message(Format("\nTotal processing time: %f seconds",
                          treeSeconds + refineSeconds + compositionSeconds));

  Georeference georeference;
  if (survey.hasTelemetry) {
    georeference =
        GeoreferenceMosaic(survey, panorama, keyFrameNumbers, video.capture.get(cv::CAP_PROP_FPS));
    if (!georeference.ok)
      notes(Format("vmosaic: no georeference: %s\n", georeference.failure.c_str()));
  }
  std::vector<std::string> written;
  bool ok = !options.writeImages ? true
            : inTiles            ? tilesWritten && tiledMean.Finish(&georeference, &written)
            : survey.tif ? SaveGeoTiffs(panorama, options.outputDir, &georeference, &written)
                         : panorama.Save_PanoNew(options.outputDir, &written);
  const bool composed = !panorama.pano.empty() || (inTiles && panorama.num_Nodes > 0);
  if (!composed)
    NoteNothingComposed(framesRead, notes);
  if (options.blend && composed)
    ok = BlendAndSave(panorama, options, survey, &georeference, &written, notes) && ok;
  if (options.returnImages) {
    result.mean = ToImage(panorama.pano);
    result.median = ToImage(panorama.pano_Median);
    result.blend = ToImage(panorama.pano_Blend);
  }
  result.keyFrames = KeyFramesOf(panorama, keyFrameNumbers);
  if (keepGoing) {
    keepGoing->segments().front().outputs = written;
    ok = ComposeFurtherSegments(*keepGoing, {options.outputDir, withMedian, options.refine,
                                             options.blend, options.writeImages, notes}) &&
         ok;
  }
  RunReport report;
  report.input = video.path_Input;
  report.arguments = options.arguments;
  report.overlapThreshold = settings.overlapThreshold;
  report.featureMethod = settings.featureMethod;
  report.withMedian = withMedian;
  report.frameLimit = settings.frameLimit;
  report.workScale = options.workScale;
  report.frameWidth = video.imageW;
  report.frameHeight = video.imageH;
  report.framesRead = framesRead;
  RecordStop(stopped, video.InputEndedEarly(), framesRead, &report);
  report.keyFrameNumbers = keyFrameNumbers;
  report.treeSeconds = treeSeconds;
  report.compositionSeconds = compositionSeconds;
  report.outputs = written;
  report.keepGoing = keepGoing.get();
  if (options.refine) {
    report.refinement = &refinement;
    report.refineSeconds = refineSeconds;
  }
  if (survey.hasTelemetry)
    report.georeferenceJson = GeoreferenceJson(&georeference);
  result.reportJson = RunReportJson(report, panorama);
  if (!options.jsonPath.empty()) {
    if (io::IsStandardOutput(options.jsonPath))
      observer.Message("\n");  // the report starts on a line of its own
    std::string error;
    if (!io::WriteFileAtomically(
            options.jsonPath,
            std::vector<unsigned char>(result.reportJson.begin(), result.reportJson.end()),
            &error)) {
      notes(Format("vmosaic: could not write %s: %s\n", options.jsonPath.c_str(), error.c_str()));
      ok = false;
    }
  }
  result.written = written;
  // Telemetry that fixed no georeference is refused, once the results are safe.
  if (survey.hasTelemetry && !georeference.ok)
    return Fail(result, Failure::kBadOptions, 2);
  result.finished = true;
  if (!composed)
    return Fail(result, Failure::kNothingComposed, 1);
  if (!ok)
    return Fail(result, Failure::kNotWritten, 1);
  result.message.clear();
  return result;
}

}  // namespace

Result Mosaic(const Options& options, Observer& observer) {
  return Run(nullptr, options, observer);
}

Result Mosaic(const FrameSource& source, const Options& options, Observer& observer) {
  return Run(&source, options, observer);
}

const char* Version() {
  return "0.1.0";
}

std::string DefaultInput() {
  return ioVideo::DefaultPath();
}

}  // namespace vmosaic
