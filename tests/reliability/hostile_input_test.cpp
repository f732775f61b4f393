// The program run as a hostile or careless user would: a full disk, a link
// planted under the name of a temporary file, signals while a result is
// written, a closed pipe on standard output, FIFOs and devices where files
// are expected, odd image sequences, frames too small or too large, a run in
// the background of a terminal. Whatever happens, an earlier result is
// never replaced by a partial one, no file is clobbered through a link, the
// process ends by itself with the stated status, and no temporary file
// remains.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <thread>

#include "fuzz/fuzz_targets.hpp"
#include "tests/reliability/reliability_support.hpp"

extern char** environ;

namespace {

using reliability::ScratchDir;
using testsupport::ReadFile;
using testsupport::RunResult;
namespace fs = std::filesystem;

constexpr int kPanFrames = 6;
const cv::Size kFrameSize(160, 120);

struct Child {
  std::vector<std::string> args;
  std::vector<std::string> env;   // NAME=VALUE added to the environment
  std::function<void()> inChild;  // runs after the standard streams are set
};

// vmosaic in workDir; standard output and error go to files in logDir.
RunResult Spawn(const Child& child, const std::string& workDir, const std::string& logDir) {
  std::vector<std::string> env(child.env);
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp, argv{const_cast<char*>(VMOSAIC_BINARY)};
  for (auto& e : env) envp.push_back(e.data());
  for (const auto& a : child.args) argv.push_back(const_cast<char*>(a.c_str()));
  envp.push_back(nullptr);
  argv.push_back(nullptr);
  const std::string out = logDir + "/out", err = logDir + "/err";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(workDir.c_str()) != 0) _exit(127);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    if (child.inChild) child.inChild();
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(reliability::kRunLimitSeconds);
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if ((result.timedOut = std::chrono::steady_clock::now() > deadline)) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return {result.exitCode, result.termSignal, result.timedOut, ReadFile(out), ReadFile(err)};
}

void LimitFileSize(rlim_t bytes) {
  const rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

// Writes images[i] as dir/<format of numbers[i]>, numbered from 0 when no
// numbers are given.
void WriteImages(const std::string& dir, const char* format, const std::vector<cv::Mat>& images,
                 const std::vector<int>& numbers = {}) {
  for (size_t i = 0; i < images.size(); ++i) {
    char name[64];
    std::snprintf(name, sizeof name, format, i < numbers.size() ? numbers[i] : static_cast<int>(i));
    ASSERT_TRUE(cv::imwrite(dir + "/" + name, images[i]));
  }
}

std::vector<cv::Mat> Pan(int frames, cv::Size size = kFrameSize) {
  return testsupport::SidewaysPan(frames, size, 0.25 * size.width / kFrameSize.width, 700, 800, 8).frames;
}

// Temporary files left in dir: regular files named like one (a link planted
// by the test is not the program's).
std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (!e.is_symlink() && name.find(".tmp") != std::string::npos) left.push_back(name);
  }
  return left;
}

enum class Result { kKept, kWritten, kNone };

struct Case {
  const char* name;
  // Creates the input in the work folder and returns its name ("" for the
  // suite's pan video).
  std::function<std::string(const std::string& work)> prepare;
  std::vector<std::string> args;  // after the input
  std::function<void()> inChild;
  std::vector<std::string> shim;  // VMOSAIC_SHIM_* settings; preloads the shim
  int exitCode;                   // -1: ended by signal termSignal
  int termSignal;
  const char* out;  // expected in standard output
  const char* err;  // expected in standard error
  Result result;    // what becomes of an earlier pano_Mean.png
  int nodes = -1;   // expected "Number of nodes", -1: not checked
  bool unsanitizedOnly = false;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // address-space limits stop the sanitizer itself
#else
constexpr bool kSanitized = false;
#endif

ScratchDir* g_videos = nullptr;  // the suite's pan video

class HostileInputTest : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    g_videos = new ScratchDir("vmosaic_hostile_videos_");
    ASSERT_TRUE(render::WriteVideo(g_videos->file("pan.mkv"), Pan(kPanFrames), 10.0));
  }
  static void TearDownTestSuite() {
    delete g_videos;
    g_videos = nullptr;
  }
};

std::function<std::string(const std::string&)> Sequence(
    std::vector<int> numbers, std::function<void(const std::string&)> spoil = {}) {
  return [numbers, spoil](const std::string& work) {
    WriteImages(work, "img_%04d.png", Pan(static_cast<int>(numbers.size())), numbers);
    if (spoil) spoil(work + "/img_0002.png");
    return std::string("img_%04d.png");
  };
}

std::function<std::string(const std::string&)> Named(const char* name) {
  return [name](const std::string&) { return std::string(name); };
}

std::vector<std::string> RaiseAtImageTemporary(int signalNumber) {
  return {"VMOSAIC_SHIM_MATCH=pano_Mean.png.tmp",
          "VMOSAIC_SHIM_RAISE=" + std::to_string(signalNumber)};
}

std::function<std::string(const std::string&)> Frames(cv::Size size, int count = 3) {
  return [size, count](const std::string& work) {
    WriteImages(work, "f_%d.png", Pan(count, size));
    return std::string("f_%d.png");
  };
}

TEST_P(HostileInputTest, EndsAsStatedAndNeverLosesAResult) {
  const Case& c = GetParam();
  if (c.unsanitizedOnly && kSanitized) GTEST_SKIP() << "needs an unsanitized build";
  const ScratchDir work("vmosaic_hostile_run_"), logs("vmosaic_hostile_logs_");
  const std::string victim = logs.file("victim.txt");
  std::ofstream(victim) << "precious";
  const std::string earlier = testsupport::PlaceEarlierResult(work.path);

  Child child{{c.prepare ? c.prepare(work.path) : g_videos->file("pan.mkv")}, c.shim, c.inChild};
  child.args.insert(child.args.end(), c.args.begin(), c.args.end());
  if (!c.shim.empty()) {
    child.env.push_back(std::string("LD_PRELOAD=") + VMOSAIC_OPEN_SHIM);
    child.env.push_back("VMOSAIC_SHIM_LINK_TO=" + victim);
    child.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
  }
  const RunResult run = Spawn(child, work.path, logs.path);

  EXPECT_FALSE(run.timedOut);
  if (c.exitCode >= 0) {
    EXPECT_EQ(run.termSignal, 0) << run.err;
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << "\n" << run.err;
  } else {
    EXPECT_EQ(run.termSignal, c.termSignal) << run.err;
  }
  EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
  EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  EXPECT_TRUE(*c.err != '\0' || run.err.find("WARN") == std::string::npos) << run.err;
  EXPECT_TRUE(c.nodes < 0 || testsupport::NumberOfNodes(run.out) == c.nodes) << run.out;
  const std::string now = ReadFile(work.file("pano_Mean.png"));
  EXPECT_TRUE(c.result != Result::kKept || now == earlier) << "the earlier result was replaced";
  if (c.result == Result::kWritten) {
    EXPECT_NE(now, earlier);
    EXPECT_FALSE(cv::imread(work.file("pano_Mean.png")).empty());
  }
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(Leftovers(work.path), std::vector<std::string>{});
}

const char* const kNotFound = "Video File is not found...";
const char* const kNotInput = "\nNot Input...";
const char* const kTotal = "\nTotal processing time";
constexpr rlim_t kSmallFileBytes = 4096;  // below any mosaic of the pan

const Case kCases[] = {
    // 1. A full disk: writes fail (EFBIG) beyond a file-size limit.
    {"full_disk", {}, {}, [] { signal(SIGXFSZ, SIG_IGN); LimitFileSize(kSmallFileBytes); }, {},
     1, 0, kTotal, "could not write pano_Mean.png: File too large", Result::kKept},
    {"file_size_signal", {}, {}, [] { LimitFileSize(kSmallFileBytes); }, {},
     -1, SIGXFSZ, kTotal, "", Result::kKept},
    // 7. Signals the moment the temporary file exists.
    {"hangup_while_writing", {}, {}, {}, RaiseAtImageTemporary(SIGHUP),
     -1, SIGHUP, kTotal, "", Result::kKept},
    {"user1_while_writing", {}, {}, {}, RaiseAtImageTemporary(SIGUSR1),
     -1, SIGUSR1, kTotal, "", Result::kKept},
    {"user2_while_writing", {}, {}, {}, RaiseAtImageTemporary(SIGUSR2),
     -1, SIGUSR2, kTotal, "", Result::kKept},
    {"alarm_while_writing", {}, {}, {}, RaiseAtImageTemporary(SIGALRM),
     -1, SIGALRM, kTotal, "", Result::kKept},
    // 2. A link to a victim planted under the temporary file's name.
    {"link_planted_at_image_temporary", {}, {}, {}, {"VMOSAIC_SHIM_MATCH=pano_Mean.png.tmp"},
     0, 0, kTotal, "", Result::kWritten},
    {"link_planted_at_report_temporary", {}, {"--json", "report.json"}, {},
     {"VMOSAIC_SHIM_MATCH=report.json.tmp"}, 0, 0, kTotal, "", Result::kWritten},
    {"link_planted_at_directory_check", {}, {}, {}, {"VMOSAIC_SHIM_MATCH=.vmosaic.tmp"},
     0, 0, kTotal, "", Result::kWritten},
    // 7. A closed pipe or a full device on standard output.
    {"closed_pipe_on_standard_output", {}, {}, [] {
       int ends[2];
       if (pipe(ends) == 0) { close(ends[0]); dup2(ends[1], 1); }
     }, {}, 1, 0, "", "could not write to standard output: Broken pipe", Result::kWritten},
    {"full_device_on_standard_output", {}, {}, [] { dup2(open("/dev/full", O_WRONLY), 1); }, {},
     1, 0, "", "could not write to standard output: No space left on device", Result::kWritten},
    {"help_onto_full_device", {}, {"--help"}, [] { dup2(open("/dev/full", O_WRONLY), 1); }, {},
     1, 0, "", "No space left on device", Result::kKept},
    // 3. The report named like the input or an output of the same run.
    {"report_onto_the_input",
     [](const std::string& w) {
       fs::copy_file(g_videos->file("pan.mkv"), w + "/in.mkv");
       return "in.mkv";
     },
     {"--json", "./in.mkv"}, {}, {}, 2, 0, "", "would overwrite the input", Result::kKept},
    {"report_named_near_name_max", {}, {"--json", std::string(250, 'r') + ".json"}, {}, {},
     0, 0, kTotal, "", Result::kWritten},
    {"report_onto_a_sequence_member", Sequence({0, 1, 2}), {"--json", "img_0001.png"}, {}, {},
     2, 0, "", "would overwrite the input", Result::kKept},
    {"report_onto_the_mean", {}, {"--json", "pano_Mean.png"}, {}, {},
     2, 0, "", "would overwrite pano_Mean.png", Result::kKept},
    {"report_onto_the_median", {}, {"100", "0", "1", "--json", "x/../pano_Median.png"}, {}, {},
     2, 0, "", "would overwrite pano_Median.png", Result::kKept},
    // 8. Names that are neither a regular file nor a sequence with a member.
    {"fifo_named_like_a_pattern",
     [](const std::string& w) {
       mkfifo((w + "/a%b.mp4").c_str(), 0600);
       return "a%b.mp4";
     },
     {}, {}, {}, 1, 0, kNotFound, "", Result::kKept},
    {"device_link_named_like_a_pattern",
     [](const std::string& w) {
       fs::create_symlink("/dev/zero", w + "/z%.h264");
       return "z%.h264";
     },
     {}, {}, {}, 1, 0, kNotFound, "", Result::kKept},
    {"protocol_name", Named("pipe:"), {}, {}, {}, 1, 0, kNotFound, "", Result::kKept},
    {"protocol_pattern", Named("pipe:%d"), {}, {}, {}, 1, 0, kNotFound, "", Result::kKept},
    {"pattern_without_member", Named("none_%03d.png"), {}, {}, {}, 1, 0, kNotFound, "",
     Result::kKept},
    // 9. Image sequences: any start number; a gap, a FIFO or a corrupt member
    // ends the input with a note naming it.
    {"sequence_from_137", Sequence({137, 138, 139, 140}), {"100"}, {}, {}, 0, 0, kTotal, "",
     Result::kWritten, 4},
    {"sequence_with_a_gap", Sequence({0, 1, 3}), {"100"}, {}, {}, 0, 0, kTotal,
     "img_0002.png is missing", Result::kWritten, 2},
    {"sequence_with_a_fifo",
     Sequence({0, 1, 3}, [](const std::string& m) { mkfifo(m.c_str(), 0600); }),
     {"100"}, {}, {}, 0, 0, kTotal, "img_0002.png is not a regular file", Result::kWritten, 2},
    {"sequence_with_a_corrupt_member",
     Sequence({0, 1, 2, 3}, [](const std::string& m) { std::ofstream(m) << "not a picture"; }),
     {"100"}, {}, {}, 0, 0, kTotal, "img_0002.png is not an image", Result::kWritten, 2},
    // 4. SIFT on frames with a side of 1 or 2 pixels: no features.
    {"sift_on_1x1_frames", Frames({1, 1}), {"100", "1"}, {}, {}, 0, 0, "\nCorrespondences < 8",
     "", Result::kWritten},
    {"sift_on_2x40_frames", Frames({2, 40}), {"100", "1"}, {}, {}, 0, 0, "\nCorrespondences < 8",
     "", Result::kWritten},
    // 5. Frames beyond the pixel bound are refused before they are processed.
    {"frames_beyond_the_bound", Frames({33000, 2}), {}, {}, {}, 1, 0, kNotInput,
     "beyond the bound", Result::kKept},
    // 5. Memory exhausted (two 6000x6000 frames within 1.2 GB of address space).
    {"memory_exhausted", Frames({6000, 6000}, 2), {"100"}, [] {
       const rlimit limit{1200u << 20, 1200u << 20};
       setrlimit(RLIMIT_AS, &limit);
     }, {}, 1, 0, "", "vmosaic: out of memory", Result::kKept, -1, true},
    // 11. Unwritable destinations are found before the input is read;
    // saturated numbers are said as used.
    {"unwritable_output_directory", {}, {"--output-dir", "/proc"}, {}, {}, 1, 0, "",
     "cannot write into /proc", Result::kKept},
    {"unwritable_report_directory", {}, {"--json", "/proc/report.json"}, {}, {}, 1, 0, "",
     "cannot write into /proc", Result::kKept},
    {"saturated_overlap", {}, {"99999999999999999999"}, {}, {}, 0, 0, kTotal,
     "OVERLAP 99999999999999999999 is out of range; 2147483647 is used", Result::kWritten},
};

INSTANTIATE_TEST_SUITE_P(Cases, HostileInputTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });


// 6, 11. Started in the background of a terminal (`vmosaic clip.mkv &`): the
// run is not stopped by SIGTTOU, and the progress it shows there never
// gives a rate measured over a moment (at most one frame per frame read
// and second).
TEST(HostileTerminal, BackgroundRunIsNotStoppedAndShowsNoAbsurdRate) {
  const ScratchDir work("vmosaic_hostile_tty_");
  ASSERT_TRUE(render::WriteVideo(work.file("pan.mkv"), Pan(kPanFrames), 10.0));
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string terminal = ptsname(master);
  const pid_t leader = fork();
  if (leader == 0) {
    // A session on the terminal, whose foreground group is the leader's,
    // and vmosaic in a group of its own: a background job.
    setsid();
    const int tty = open(terminal.c_str(), O_RDWR);
    const pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      for (int fd = 0; fd < 3; ++fd) dup2(tty, fd);
      if (chdir(work.path.c_str()) != 0) _exit(127);
      execl(VMOSAIC_BINARY, VMOSAIC_BINARY, "pan.mkv", "100", nullptr);
      _exit(127);
    }
    setpgid(job, job);
    int status = 0;
    waitpid(job, &status, WUNTRACED);
    if (WIFSTOPPED(status)) kill(job, SIGKILL);
    _exit(WIFSTOPPED(status) ? 3 : WIFEXITED(status) ? WEXITSTATUS(status) : 4);
  }
  std::string screen;
  int status = -1;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(reliability::kRunLimitSeconds);
  for (bool done = false; !done;) {
    done = waitpid(leader, &status, WNOHANG) == leader;
    if (!done && std::chrono::steady_clock::now() > deadline) {
      kill(leader, SIGKILL);
      waitpid(leader, &status, 0);
      done = true;
    }
    pollfd ready{master, POLLIN, 0};
    char buffer[4096];
    while (poll(&ready, 1, done ? 0 : 20) > 0) {
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got <= 0) break;
      screen.append(buffer, static_cast<size_t>(got));
    }
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

// 10. A key frame the tree refuses (the camera zooms out 2.5 times between
// two frames) ends the input with a note, and the report says where.
TEST(HostileInput, RefusedKeyFrameIsNotedWithTheInputLeftUnread) {
  const ScratchDir work("vmosaic_hostile_refused_"), logs("vmosaic_hostile_logs_");
  const render::CameraPose near = testsupport::Pose(1280, 800, 0.5), far = testsupport::Pose(1280, 800, 0.2);
  WriteImages(work.path, "z_%d.png", render::RenderSequence(testsupport::TestPhoto(), {near, far, far, far}, kFrameSize * 2));
  const RunResult run =
      Spawn(Child{{"z_%d.png", "100", "0", "--json", "r.json"}, {}, {}}, work.path, logs.path);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("AVL Node not inserted: 1"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("frame 1 could not be inserted into the frame tree; the input ends "
                         "there (2 frames unread)"),
            std::string::npos)
      << run.err;
  EXPECT_NE(ReadFile(work.file("r.json"))
                .find(R"("stopped_early": {"frame": 1, "frames_unread": 2})"),
            std::string::npos);
}

// 3, 11. Where the report goes: into a FIFO and through a link to standard
// output in place; from an input whose name is not UTF-8, as valid UTF-8;
// with --output-dir, naming the files of its own run.
TEST(HostileInput, ReportGoesWhereItIsToldAndNamesItsOwnFiles) {
  const ScratchDir work("vmosaic_hostile_report_"), logs("vmosaic_hostile_logs_");
  const std::string video = work.file("pan_\xff\xfe.mkv");
  ASSERT_TRUE(render::WriteVideo(video, Pan(kPanFrames), 10.0));

  ASSERT_EQ(mkfifo(work.file("report.fifo").c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] { fromFifo = ReadFile(work.file("report.fifo")); });
  RunResult run = Spawn(Child{{video, "--json", "report.fifo"}, {}, {}}, work.path, logs.path);
  if (fromFifo.empty()) close(open(work.file("report.fifo").c_str(), O_WRONLY | O_NONBLOCK));
  reader.join();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(fs::is_fifo(work.file("report.fifo")));
  EXPECT_EQ(fromFifo.rfind("{\n  \"input\": ", 0), 0u) << fromFifo;

  fs::remove(work.file("pano_Mean.png"));
  fs::create_symlink("/dev/stdout", work.file("out.json"));
  run = Spawn(Child{{video, "--json", "out.json", "--output-dir", "runs/a"}, {}, {}}, work.path,
              logs.path);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(fs::is_symlink(work.file("out.json")));
  const size_t report = run.out.find("seconds{\n  \"input\": ");
  ASSERT_NE(report, std::string::npos) << run.out;
  EXPECT_NE(run.out.find(R"("outputs": ["runs/a/pano_Mean.png"])", report), std::string::npos);
  EXPECT_FALSE(cv::imread(work.file("runs/a/pano_Mean.png")).empty());
  EXPECT_FALSE(fs::exists(work.file("pano_Mean.png")));
  const std::string json = run.out.substr(report);
  EXPECT_NE(json.find(R"(pan_\ufffd\ufffd.mkv")"), std::string::npos) << json;
  for (const unsigned char c : json) EXPECT_LT(c, 0x80) << "bytes beyond ASCII are escaped";
}

// The image-sequence fuzz target's seeds and kept findings.
TEST(HostileInput, SequenceFuzzInputsKeepEveryProperty) {
  int replayed = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    std::error_code missing;
    for (const auto& e : fs::directory_iterator(
             std::string(VMOSAIC_SOURCE_ROOT) + "/fuzz/" + kind + "/sequence", missing)) {
      const std::string bytes = ReadFile(e.path().string());
      const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
      EXPECT_EQ(fuzz::FuzzSequence(data, bytes.size()), 0) << e.path();
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
