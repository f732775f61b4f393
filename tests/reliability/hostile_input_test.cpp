// The program run as a hostile or careless user would: a full disk, a link
// planted under the name of a temporary file, signals while a result is
// written, a closed pipe on standard output, FIFOs, devices and unusable
// files where a video is expected, odd image sequences, frames too small or
// too large, arguments out of range, a run in the background of a terminal.
// Whatever happens, an earlier result is never replaced by a partial one, no
// file is clobbered through a link, the process ends by itself with the
// stated status, and no temporary file remains.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <regex>
#include <thread>

#include "tests/reliability/reliability_support.hpp"

namespace {

using testsupport::ReadFile;
using testsupport::RunResult;
using testsupport::ScratchDir;
namespace fs = std::filesystem;

constexpr int kPanFrames = 6;
const cv::Size kFrameSize(160, 120);

// vmosaic in workDir with env (NAME=VALUE) added to its environment; inChild
// runs after the standard streams are set.
RunResult Spawn(const std::string& workDir, const std::vector<std::string>& args,
                const std::vector<std::string>& env = {},
                const std::function<void()>& inChild = {}) {
  testsupport::Process::Options options{false, {}, inChild};
  for (const std::string& e : env)
    options.env.emplace_back(e.substr(0, e.find('=')), e.substr(e.find('=') + 1));
  return testsupport::Process(VMOSAIC_BINARY, args, workDir, options)
      .Wait(reliability::kRunLimitSeconds);
}

void Limit(int resource, rlim_t bytes) {
  const rlimit limit{bytes, bytes};
  setrlimit(resource, &limit);
}

// Writes images[i] as dir/img_<numbers[i]>.png (4 digits).
void WriteImages(const std::string& dir, const std::vector<cv::Mat>& images,
                 const std::vector<int>& numbers) {
  for (size_t i = 0; i < images.size(); ++i)
    ASSERT_TRUE(cv::imwrite(dir + cv::format("/img_%04d.png", numbers[i]), images[i]));
}

std::vector<cv::Mat> Pan(int frames, cv::Size size = kFrameSize) {
  return testsupport::SidewaysPan(frames, size, 0.25 * size.width / kFrameSize.width, 700, 800, 8)
      .frames;
}

enum class Result {
  kKept,
  kWritten,
  kNone
};  // what becomes of an earlier pano_Mean.png
using Prepare = std::function<std::string(const std::string& work)>;

struct Case {
  const char* name;
  Prepare prepare;  // creates the input in the work folder, returns its name ({}: the pan video)
  std::vector<std::string> args;  // after the input
  std::function<void()> inChild;
  std::vector<std::string> shim;  // VMOSAIC_SHIM_* settings; preloads the shim
  int status;                     // the exit status, or minus the signal that ends it
  std::string out;                // a regex searched in standard output
  const char* err;                // expected in standard error
  Result result;
  int nodes = -1;           // expected "Number of nodes", -1: not checked
  bool skip = false;        // the case cannot be staged here
  const char* report = "";  // expected in the report r.json
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.name;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // address-space limits stop the sanitizer itself
#else
constexpr bool kSanitized = false;
#endif

ScratchDir* g_videos = nullptr;  // the suite's pan video

class HostileInputTest : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(
        render::WriteVideo((g_videos = new ScratchDir("vmosaic_hostile_videos_"))->file("pan.mkv"),
                           Pan(kPanFrames), 10.0));
  }
  static void TearDownTestSuite() { delete g_videos; }
};

// An image sequence img_%04d.png of the pan with the given numbers; spoil
// makes img_0002.png what the case needs.
Prepare Sequence(std::vector<int> numbers, std::function<void(const std::string&)> spoil = {},
                 cv::Size size = kFrameSize) {
  return [numbers, spoil, size](const std::string& work) {
    WriteImages(work, Pan(static_cast<int>(numbers.size()), size), numbers);
    if (spoil)
      spoil(work + "/img_0002.png");
    return std::string("img_%04d.png");
  };
}

// The input `name`, which make (if given) creates at its path.
Prepare Named(const char* name, std::function<void(const std::string&)> make = {}) {
  return [name, make](const std::string& work) {
    if (make)
      make(work + "/" + name);
    return std::string(name);
  };
}

Prepare VideoOf(std::vector<cv::Mat> frames) {
  return Named("v.mkv", [frames](const std::string& path) {
    ASSERT_TRUE(render::WriteVideo(path, frames, 10.0));
  });
}

std::vector<std::string> RaiseAtImageTemporary(int signalNumber) {
  return {"VMOSAIC_SHIM_MATCH=pano_Mean.png.tmp",
          "VMOSAIC_SHIM_RAISE=" + std::to_string(signalNumber)};
}

TEST_P(HostileInputTest, EndsAsStatedAndNeverLosesAResult) {
  const Case& c = GetParam();
  if (c.skip)
    GTEST_SKIP() << "cannot be staged in this build or as this user";
  const ScratchDir work("vmosaic_hostile_run_"), logs("vmosaic_hostile_logs_");
  const std::string victim = logs.file("victim.txt");
  std::ofstream(victim) << "precious";
  const std::string earlier = testsupport::PlaceEarlierResult(work.path);

  std::vector<std::string> args{c.prepare ? c.prepare(work.path) : g_videos->file("pan.mkv")},
      env = c.shim;
  args.insert(args.end(), c.args.begin(), c.args.end());
  const std::string preload = std::string("LD_PRELOAD=") + VMOSAIC_OPEN_SHIM,
                    link = "VMOSAIC_SHIM_LINK_TO=" + victim;
  if (!env.empty())
    env.insert(env.end(), {preload, link, "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
  const RunResult run = Spawn(work.path, args, env, c.inChild);

  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.termSignal > 0 ? -run.termSignal : run.exitCode, c.status) << run.out << "\n"
                                                                           << run.err;
  EXPECT_TRUE(std::regex_search(run.out, std::regex(c.out))) << run.out;
  EXPECT_THAT(run.out, testsupport::HasLines(testing::Each(testsupport::OwnMessage())));
  EXPECT_NE(ReadFile(work.file("r.json")).find(c.report), std::string::npos) << c.report;
  EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  EXPECT_TRUE(*c.err != '\0' || run.err.find("WARN") == std::string::npos) << run.err;
  EXPECT_TRUE(c.nodes < 0 || testsupport::NumberOfNodes(run.out) == c.nodes) << run.out;
  const std::string now = ReadFile(work.file("pano_Mean.png"));
  if (c.result == Result::kKept) {
    EXPECT_EQ(now, earlier) << "the earlier result was replaced";
    EXPECT_FALSE(testsupport::FileExists(work.file("pano_Median.png")));
  } else if (c.result == Result::kWritten) {
    EXPECT_NE(now, earlier);
    EXPECT_FALSE(cv::imread(work.file("pano_Mean.png")).empty());
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  // No temporary file remains (a link planted by the test is not the program's).
  for (const std::string& f : testsupport::TemporaryFiles(work.path))
    EXPECT_TRUE(fs::is_symlink(f)) << f;
  // Every report written conforms to the schema; a failed run leaves no new folder.
  for (const auto& e : fs::directory_iterator(work.path)) {
    if (e.path().extension() == ".json" && e.is_regular_file()) {
      EXPECT_EQ(testsupport::CheckRunReport(e.path()).exitCode, 0) << e.path();
    }
  }
  EXPECT_TRUE(c.status == 0 || !fs::exists(work.file("newdir")));
}

// Root reads a file of mode 000 anyway; without these capabilities (dropped
// from the bounding set, so also after exec) it cannot.
void DropReadOverride() {
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
    prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
}

const char* const kNotFound = "Video File is not found...";
const char* const kNotInput = "\nNot Input...";
const std::string kEither = std::string(kNotFound) + "|" + kNotInput;
const char* const kTotal = "\nTotal processing time";
const std::string kSeconds = ": " + testsupport::kFloat + " seconds";
// A run without a frame pair: nothing composed, nothing written.
const std::string kEmptyTree =
    "^\nTime processing AVL Binary Tree Construction" + kSeconds +
    "\nBinary Tree empty\\.\\.\\.\nTime processing CalculateCenteredPanorama" + kSeconds +
    "\nTotal processing time" + kSeconds + "$";
constexpr rlim_t kSmallFileBytes = 4096;         // below any mosaic of the pan
constexpr rlim_t kLargeFileBytes = 4096 * 1024;  // above it, below the spill file's first part
using R = Result;

// Makes the PNG at path declare 30000x30000 pixels; its data stays as small.
void DeclareHugeSize(const std::string& path) {
  std::string png = ReadFile(path);
  for (const size_t at : {16, 20})  // IHDR's width and height
    png.replace(at, 4, std::string("\0\0\x75\x30", 4));
  std::ofstream(path, std::ios::binary) << png;
}

// SIGXFSZ at its default disposition, as a shell leaves it, and a file-size limit.
std::function<void()> FileSizeLimit(rlim_t bytes) {
  return [bytes] {
    signal(SIGXFSZ, SIG_DFL);
    Limit(RLIMIT_FSIZE, bytes);
  };
}

// A run refused before its input is read: nothing on standard output.
Case Refused(const char* name, std::vector<std::string> args, int status, const char* err,
             std::function<void()> inChild = {}) {
  return {name, {}, std::move(args), std::move(inChild), {}, status, "^$", err, R::kKept};
}

const Case kCases[] = {
    // A full disk: writes fail (EFBIG) beyond a file-size limit (SIGXFSZ
    // ignored; otherwise it ends the run like the signals below).
    {"full_disk",
     {},
     {},
     [] {
       signal(SIGXFSZ, SIG_IGN);
       Limit(RLIMIT_FSIZE, kSmallFileBytes);
     },
     {},
     1,
     kTotal,
     "vmosaic: could not write pano_Mean.png: File too large",
     R::kKept},
    {"file_size_limit",
     {},
     {},
     FileSizeLimit(kSmallFileBytes),
     {},
     1,
     kTotal,
     "vmosaic: could not write pano_Mean.png: File too large",
     R::kKept},
    {"spill_file_beyond_the_file_size_limit",
     {},
     {"100", "0", "0", "--memory-budget", "0"},
     FileSizeLimit(kLargeFileBytes),
     {},
     0,
     kTotal,
     "(reserve: File too large); keeping them in memory",
     R::kWritten,
     kPanFrames},
    // Signals the moment the temporary file exists.
    {"hangup_while_writing",
     {},
     {},
     {},
     RaiseAtImageTemporary(SIGHUP),
     -SIGHUP,
     kTotal,
     "",
     R::kKept},
    {"user1_while_writing",
     {},
     {},
     {},
     RaiseAtImageTemporary(SIGUSR1),
     -SIGUSR1,
     kTotal,
     "",
     R::kKept},
    {"alarm_while_writing",
     {},
     {},
     {},
     RaiseAtImageTemporary(SIGALRM),
     -SIGALRM,
     kTotal,
     "",
     R::kKept},
    // The mean is saved before the blend runs: a blend stopped costs only pano_Blend.png.
    {"hangup_while_writing_the_blend",
     {},
     {"--blend"},
     {},
     {"VMOSAIC_SHIM_MATCH=pano_Blend.png.tmp", "VMOSAIC_SHIM_RAISE=" + std::to_string(SIGHUP)},
     -SIGHUP,
     kTotal,
     "",
     R::kWritten},
    // A link to a victim planted under the temporary file's name.
    {"link_planted_at_image_temporary",
     {},
     {},
     {},
     {"VMOSAIC_SHIM_MATCH=pano_Mean.png.tmp"},
     0,
     kTotal,
     "",
     R::kWritten},
    // A closed pipe on standard output, or --help onto a full device.
    {"closed_pipe_on_standard_output",
     {},
     {},
     [] {
       int ends[2];
       if (pipe(ends) == 0)
         close(ends[0]), dup2(ends[1], 1);
     },
     {},
     1,
     "",
     "could not write to standard output: Broken pipe",
     R::kWritten},
    {"full_device_on_standard_output",
     {},
     {},
     [] { dup2(open("/dev/full", O_WRONLY), 1); },
     {},
     1,
     "",
     "could not write to standard output: No space left on device",
     R::kWritten},
    Refused("help_onto_full_device", {"--help"}, 1, "No space left on device",
            [] { dup2(open("/dev/full", O_WRONLY), 1); }),
    // The report named like the input or an output of the same run.
    {"report_onto_the_input",
     Named("in.mkv", [](const std::string& p) { fs::copy_file(g_videos->file("pan.mkv"), p); }),
     {"--json", "./in.mkv"},
     {},
     {},
     2,
     "",
     "would overwrite the input",
     R::kKept},
    {"report_named_near_name_max",
     {},
     {"--json", std::string(250, 'r') + ".json"},
     {},
     {},
     0,
     kTotal,
     "",
     R::kWritten},
    {"report_onto_a_sequence_member",
     Sequence({0, 1, 2}),
     {"--json", "img_0001.png"},
     {},
     {},
     2,
     "",
     "would overwrite the input",
     R::kKept},
    // Later mosaics of --keep-going are PNG only: refused before any work.
    Refused("keep_going_as_geotiff", {"--keep-going", "--format", "tif"}, 2,
            "--keep-going cannot yet be combined with --format tif"),
    Refused("report_onto_the_mean", {"--json", "pano_Mean.png"}, 2,
            "would overwrite pano_Mean.png"),
    Refused("report_onto_the_median", {"100", "0", "1", "--json", "x/../pano_Median.png"}, 2,
            "would overwrite pano_Median.png"),
    Refused("report_onto_the_blend", {"--blend", "--json", "pano_Blend.png"}, 2,
            "would overwrite pano_Blend.png"),
    Refused("report_onto_the_blend_in_the_output_folder",
            {"--blend", "--output-dir", "d", "--json", "d/pano_Blend.png"}, 2,
            "would overwrite d/pano_Blend.png"),
    // Option values that are empty or look like options are refused; after
    // "--" every argument is positional.
    Refused("empty_report_name", {"--json", ""}, 2, "--json needs a"),
    Refused("empty_output_folder", {"--output-dir", ""}, 2, "--output-dir needs"),
    Refused("empty_memory_budget", {"--memory-budget", ""}, 2, "--memory-budget needs"),
    Refused("memory_budget_not_a_number", {"--memory-budget", "12x"}, 2,
            "--memory-budget needs a whole number of MiB"),
    Refused("negative_memory_budget", {"--memory-budget", "-1"}, 2, "--memory-budget needs a"),
    // A work scale must be above 0 and at most 1, and leave 16 pixels a side.
    Refused("work_scale_zero", {"--work-scale", "0"}, 2, "--work-scale needs a scale above 0"),
    Refused("work_scale_above_one", {"--work-scale", "1.01"}, 2, "--work-scale needs a scale"),
    Refused("work_scale_not_a_number", {"--work-scale", "nan"}, 2, "--work-scale needs a scale"),
    Refused("work_scale_under_16_pixels", {"--work-scale", "0.1"}, 2,
            "makes the 160x120 frames 16x12; registration needs at least 16 pixels a side"),
    Refused("work_scale_with_keep_going", {"--keep-going", "--work-scale", "0.5"}, 2,
            "--keep-going cannot yet be combined with --work-scale"),
    Refused("format_without_a_value", {"--format"}, 2, "--format needs a format (png or tif)"),
    Refused("telemetry_offset_without_a_value", {"--telemetry-offset", "--blend"}, 2,
            "--telemetry-offset needs a number of seconds"),
    Refused("option_as_report_name", {"--json", "--blend"}, 2, "--json needs a"),
    {"video_named_like_an_option",
     [](const std::string& w) {
       fs::copy_file(g_videos->file("pan.mkv"), w + "/--refine");
       return std::string("--");
     },
     {"--refine", "100"},
     {},
     {},
     0,
     kTotal,
     "",
     R::kWritten,
     kPanFrames},
    // Names that are not a readable video, nor a sequence with a member.
    {"missing_file", Named("missing.mp4"), {"90", "0", "1"}, {}, {}, 1, kNotFound, "", R::kKept},
    {"missing_file_into_a_new_folder",
     Named("missing.mp4"),
     {"--output-dir", "newdir"},
     {},
     {},
     1,
     kNotFound,
     "",
     R::kKept},
    {"directory",
     Named("folder.mp4", [](const std::string& p) { fs::create_directory(p); }),
     {"90", "0", "1"},
     {},
     {},
     1,
     kNotFound,
     "",
     R::kKept},
    {"unreadable_file",
     Named("locked.mkv",
           [](const std::string& p) {
             fs::copy_file(g_videos->file("pan.mkv"), p), chmod(p.c_str(), 0);
           }),
     {"90", "0", "1"},
     DropReadOverride,
     {},
     1,
     kNotFound,
     "",
     R::kKept,
     -1,
     geteuid() == 0 &&
         prctl(PR_CAPBSET_READ, CAP_SETPCAP, 0, 0, 0) != 1},  // root that may not drop them
    {"video_without_frames",
     Named("no_frames.avi",
           [](const std::string& p) {
             cv::VideoWriter(p, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 10,
                             kFrameSize)
                 .release();
           }),
     {"90", "0", "1"},
     {},
     {},
     1,
     kNotInput,
     "",
     R::kKept},
    {"fifo_named_like_a_pattern",
     Named("a%b.mp4", [](const std::string& p) { mkfifo(p.c_str(), 0600); }),
     {},
     {},
     {},
     1,
     kNotFound,
     "",
     R::kKept},
    {"protocol_name", Named("pipe:"), {}, {}, {}, 1, kNotFound, "", R::kKept},
    {"pattern_without_member", Named("none_%03d.png"), {}, {}, {}, 1, kNotFound, "", R::kKept},
    // One frame, or a frame limit of 1, composes nothing: an earlier result
    // is not replaced by an empty one.
    {"one_frame_video",
     VideoOf(Pan(1)),
     {"90", "0", "1", "--json", "r.json"},
     {},
     {},
     1,
     kEmptyTree,
     "vmosaic: nothing was composed: the input gave 1 frame, and a mosaic needs two",
     R::kKept,
     -1,
     false,
     R"("canvas": null)"},
    {"frame_limit_of_one",
     {},
     {"90", "0", "1", "1"},
     {},
     {},
     1,
     kEmptyTree,
     "nothing was composed",
     R::kKept},
    // Image sequences: any start number (names that only look like members
    // are not); a gap, a FIFO or a corrupt member ends the input with a note.
    {"sequence_from_137",
     Sequence({137, 138, 139, 140},
              [](const std::string& m) {
                for (const char* n : {"img_0001.jpg", "img_x001.png", "img_    .png",
                                      "img_ 001.png", "img_000000000000000000001.png"})
                  close(creat((m.substr(0, m.rfind('/') + 1) + n).c_str(), 0600));
              }),
     {"100"},
     {},
     {},
     0,
     kTotal,
     "",
     R::kWritten,
     4},
    {"sequence_with_a_gap",
     Sequence({0, 1, 3}),
     {"100", "0", "--json", "r.json"},
     {},
     {},
     0,
     kTotal,
     "img_0002.png is missing",
     R::kWritten,
     2,
     false,
     R"("stopped_early": {"frame": 2, "frames_unread": 1, "reason": "img_0002.png is missing)"},
    {"sequence_with_a_fifo",
     Sequence({0, 1, 3}, [](const std::string& m) { mkfifo(m.c_str(), 0600); }),
     {"100"},
     {},
     {},
     0,
     kTotal,
     "img_0002.png is not a regular file",
     R::kWritten,
     2},
    {"sequence_with_a_corrupt_member",
     Sequence({0, 1, 2, 3}, [](const std::string& m) { std::ofstream(m) << "not a picture"; }),
     {"100"},
     {},
     {},
     0,
     kTotal,
     "img_0002.png is not an image",
     R::kWritten,
     2},
    // A small file declaring a huge image is refused before it is decoded.
    {"sequence_member_declaring_a_huge_frame",
     Sequence({0, 1, 2, 3}, DeclareHugeSize),
     {"100", "0", "--json", "r.json"},
     {},
     {},
     0,
     kTotal,
     "img_0002.png declares 30000x30000 pixels, beyond the bound",
     R::kWritten,
     2,
     false,
     R"("frame": 2, "frames_unread": 2, "reason": "img_0002.png declares 30000x30000)"},
    // A key frame the tree refuses (the camera zooms out 2.5 times
    // between two frames) ends the input with a note, and the report says where.
    {"key_frame_refused_by_the_tree",
     [](const std::string& w) {
       const render::CameraPose near = testsupport::Pose(1280, 800, 0.5),
                                far = testsupport::Pose(1280, 800, 0.2);
       WriteImages(
           w,
           render::RenderSequence(testsupport::TestPhoto(), {near, far, far, far}, kFrameSize * 2),
           {0, 1, 2, 3});
       return std::string("img_%04d.png");
     },
     {"100", "0", "--json", "r.json"},
     {},
     {},
     0,
     "\nAVL Node not inserted: 1\n",
     "frame 1 could not be inserted into the frame tree; the input ends there (2 frames unread)",
     R::kWritten,
     -1,
     false,
     R"("stopped_early": {"frame": 1, "frames_unread": 2, "reason": "could not be inserted)"},
    // SIFT on frames of 1x1 pixels: no features; noise
    // registers badly but is composed whole.
    {"sift_on_1x1_frames",
     Sequence({0, 1, 2}, {}, {1, 1}),
     {"100", "1"},
     {},
     {},
     0,
     "\nCorrespondences < 8",
     "",
     R::kWritten},
    {"blend_of_1x1_frames",
     Sequence({0, 1, 2}, {}, {1, 1}),
     {"100", "0", "0", "--blend"},
     {},
     {},
     0,
     kTotal,
     "Time composing the blended panorama",
     R::kWritten},
    // Featureless frames: after a failed registration the program waits for
    // a key only where one can be pressed; with standard input closed it goes on.
    {"featureless_video",
     VideoOf(std::vector<cv::Mat>(4, cv::Mat(kFrameSize, CV_8UC3, cv::Scalar(90, 120, 150)))),
     {"100"},
     {},
     {},
     0,
     "^\nCorrespondences < 8\\.\\.\\.\nNo existe Hij\\.\\.\\.\\.",
     "",
     R::kWritten},
    // Frames beyond the pixel bound are refused before they are processed.
    {"frames_beyond_the_bound",
     Sequence({0, 1, 2}, {}, {33000, 2}),
     {},
     {},
     {},
     1,
     kNotInput,
     "beyond the bound",
     R::kKept},
    // Memory exhausted (two 6000x6000 frames within 1.2 GB of address space).
    {"memory_exhausted",
     Sequence({0, 1}, {}, {6000, 6000}),
     {"100"},
     [] { Limit(RLIMIT_AS, 1200u << 20); },
     {},
     1,
     "",
     "vmosaic: out of memory",
     R::kKept,
     -1,
     kSanitized},
    // Unwritable destinations are found before the input is read.
    Refused("unwritable_output_directory", {"--output-dir", "/proc"}, 1, "cannot write into /proc"),
    Refused("output_directory_under_a_file", {"--output-dir", "plain/sub"}, 1,
            "could not create plain/sub: Not a directory", [] { close(creat("plain", 0600)); }),
    Refused("unwritable_report_directory", {"--json", "/proc/report.json"}, 1,
            "cannot write into /proc"),
    Refused("working_in_proc", {}, 1, "cannot write into /proc: the folder does not take new files",
            [] { (void)!chdir("/proc"); }),
    Refused("blend_destination_is_a_folder", {"--blend"}, 1,
            "cannot write pano_Blend.png: Is a directory", [] { mkdir("pano_Blend.png", 0700); }),
    Refused("report_destination_is_a_folder", {"--json", "r.json"}, 1,
            "cannot write r.json: Is a directory", [] { mkdir("r.json", 0700); }),
    // Arguments are read the way atoi reads them, except that numbers
    // beyond int saturate (and are said as used). An overlap threshold at or
    // below 0 keeps only the root, a huge one every frame; a frame limit at
    // or below 0, or not a number, means none, and is read only as the fifth
    // argument; a feature method out of range registers nothing.
    {"saturated_overlap",
     {},
     {"99999999999999999999"},
     {},
     {},
     0,
     kTotal,
     "OVERLAP 99999999999999999999 is out of range; 2147483647 is used",
     R::kWritten,
     kPanFrames},
    {"negative_overlap", {}, {"-5"}, {}, {}, 0, kTotal, "", R::kWritten, 1},
    {"overlap_read_up_to_a_letter", {}, {"1e9"}, {}, {}, 0, kTotal, "", R::kWritten, 1},
    {"frame_limit_of_three", {}, {"100", "0", "0", "3"}, {}, {}, 0, kTotal, "", R::kWritten, 3},
    {"frame_limit_read_only_with_exactly_five_arguments",
     {},
     {"100", "0", "0", "3", "x"},
     {},
     {},
     0,
     kTotal,
     "",
     R::kWritten,
     kPanFrames},
    {"frame_limit_not_a_number",
     {},
     {"100", "0", "0", "x"},
     {},
     {},
     0,
     kTotal,
     "",
     R::kWritten,
     kPanFrames},
    {"saturated_frame_limit",
     {},
     {"100", "0", "0", "99999999999999999999"},
     {},
     {},
     0,
     kTotal,
     "",
     R::kWritten,
     kPanFrames},
    {"feature_method_above_range",
     {},
     {"100", "7"},
     {},
     {},
     0,
     "\nNo existe Hij\\.\\.\\.\\.",
     "FEATURES 7 is neither 0 nor 1",
     R::kNone},
    {"feature_method_below_range",
     {},
     {"100", "-1"},
     {},
     {},
     0,
     "\nNo existe Hij\\.\\.\\.\\.",
     "FEATURES -1 is neither 0 nor 1",
     R::kNone},
};

INSTANTIATE_TEST_SUITE_P(Cases, HostileInputTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

// Started in the background of a terminal (`vmosaic clip.mkv &`): the
// run is not stopped by SIGTTOU, and the progress it shows there never
// gives a rate measured over a moment (at most one frame per frame read
// and second).
TEST(HostileTerminal, BackgroundRunIsNotStoppedAndShowsNoAbsurdRate) {
  const ScratchDir work("vmosaic_hostile_tty_");
  ASSERT_TRUE(render::WriteVideo(work.file("pan.mkv"), Pan(kPanFrames), 10.0));
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const pid_t leader = fork();
  if (leader == 0) {
    // A session on the terminal, whose foreground group is the leader's,
    // and vmosaic in a group of its own: a background job.
    setsid();
    const int tty = open(ptsname(master), O_RDWR);
    const pid_t job = fork();
    if (job == 0 && setpgid(0, 0) == 0 && dup2(tty, 0) == 0 && dup2(tty, 1) == 1 &&
        dup2(tty, 2) == 2 && chdir(work.path.c_str()) == 0) {
      execl(VMOSAIC_BINARY, VMOSAIC_BINARY, "pan.mkv", "100", nullptr);
    }
    if (job == 0)
      _exit(127);
    setpgid(job, job);
    int status = 0;
    waitpid(job, &status, WUNTRACED);
    if (WIFSTOPPED(status))
      kill(job, SIGKILL);
    _exit(WIFSTOPPED(status) ? 3 : WIFEXITED(status) ? WEXITSTATUS(status) : 4);
  }
  std::string screen;
  int status = -1;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(reliability::kRunLimitSeconds);
  for (bool done = false; !done;) {
    done = waitpid(leader, &status, WNOHANG) == leader;
    if (!done && std::chrono::steady_clock::now() > deadline)
      kill(leader, SIGKILL), waitpid(leader, &status, 0), done = true;
    pollfd ready{master, POLLIN, 0};
    char buffer[4096];
    for (ssize_t got = 0;
         poll(&ready, 1, done ? 0 : 20) > 0 && (got = read(master, buffer, sizeof buffer)) > 0;)
      screen.append(buffer, got);
  }
  close(master);
  ASSERT_TRUE(WIFEXITED(status)) << screen;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: stopped by the terminal\n" << screen;
  EXPECT_FALSE(cv::imread(work.file("pano_Mean.png")).empty());
  EXPECT_NE(screen.find("frames 1  key frames 0"), std::string::npos) << screen;
  const std::regex progress(R"(frames (\d+)  key frames \d+  ([0-9.]+) frames/s)");
  for (auto m = std::sregex_iterator(screen.begin(), screen.end(), progress);
       m != std::sregex_iterator(); ++m) {
    EXPECT_LE(std::stod((*m)[2]), std::stod((*m)[1])) << (*m)[0];
  }
}

// Where the report goes: into a FIFO and through a link to standard
// output in place; from an input whose name is not UTF-8 (stray, overlong,
// surrogate, out-of-range and cut sequences beside valid ones and control
// characters), as valid UTF-8;
// with --output-dir, naming the files of its own run.
TEST(HostileInput, ReportGoesWhereItIsToldAndNamesItsOwnFiles) {
  const ScratchDir work("vmosaic_hostile_report_"), logs("vmosaic_hostile_logs_");
  const std::string video = work.file(
      "pan_"
      "\xff\xfe\xc3\xa9\xe0\x80\x80\xed\xa0\x80\xf0\x9f\x98\x80\xf4\x90\x80\x80\xe2\x82\"\\\t\r\n"
      "\x01\xf1\x80\x80\x80\xe2\x82\xc0.mkv");
  const std::string fifo = work.file("report.fifo");
  ASSERT_TRUE(render::WriteVideo(video, Pan(kPanFrames), 10.0));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] { fromFifo = ReadFile(fifo); });
  RunResult run = Spawn(work.path, {video, "--json", "report.fifo"});
  if (fromFifo.empty())
    close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  reader.join();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(fromFifo.rfind("{\n  \"input\": ", 0), 0u) << fromFifo;

  fs::remove(work.file("pano_Mean.png"));
  fs::create_symlink("/dev/stdout", work.file("out.json"));
  run = Spawn(work.path, {video, "--json", "out.json", "--output-dir", "runs/a"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(fs::is_symlink(work.file("out.json")));
  const size_t report = run.out.find("seconds\n{\n  \"input\": ");
  ASSERT_NE(report, std::string::npos) << run.out;
  const std::string json = run.out.substr(report);
  std::ofstream(logs.file("out.json")) << json.substr(json.find('{'));
  EXPECT_EQ(testsupport::CheckRunReport(logs.file("out.json")).exitCode, 0) << json;
  EXPECT_NE(json.find(R"("outputs": ["runs/a/pano_Mean.png"])"), std::string::npos);
  EXPECT_FALSE(cv::imread(work.file("runs/a/pano_Mean.png")).empty());
  EXPECT_FALSE(fs::exists(work.file("pano_Mean.png")));
  const std::string r = "\\ufffd";
  EXPECT_NE(
      json.find("pan_" + r + r + "\xc3\xa9" + r + r + r + r + r + r + "\xf0\x9f\x98\x80" + r + r +
                r + r + r + r + R"(\"\\\t\r\n\u0001)" + "\xf1\x80\x80\x80" + r + r + r + ".mkv\""),
      std::string::npos)
      << json;

  // Into the results' folder, which the run creates.
  run = Spawn(work.path, {video, "--output-dir", "runs/b", "--json", "runs/b/./report.json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(ReadFile(work.file("runs/b/report.json")).find(R"("runs/b/pano_Mean.png")"),
            std::string::npos);
}

}  // namespace
