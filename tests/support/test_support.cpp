#include "tests/support/test_support.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <thread>

#include "io/console.hpp"

namespace testsupport {

std::string SourceRoot() {
  return VMOSAIC_SOURCE_ROOT;
}
std::string BuildRoot() {
  return VMOSAIC_BUILD_ROOT;
}
std::string VmosaicBinary() {
  return VMOSAIC_BINARY;
}

namespace {
std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/" + prefix + "XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}
}  // namespace

// No test waits for a key press: standard input is /dev/null in every test
// process (the failed-registration paths wait only on a terminal).
[[maybe_unused]] const bool kStandardInputDetached =
    std::freopen("/dev/null", "r", stdin) != nullptr;

ScratchDir::ScratchDir(const std::string& prefix) : path(MakeTempDir(prefix)) {
  if (path.empty())
    ADD_FAILURE() << "no scratch folder";
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path.empty())
    std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string PlaceEarlierResult(const std::string& dir) {
  EXPECT_TRUE(
      cv::imwrite(dir + "/pano_Mean.png", cv::Mat(16, 24, CV_8UC3, cv::Scalar(10, 200, 30))));
  return ReadFile(dir + "/pano_Mean.png");
}

std::vector<std::string> TemporaryFiles(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().find(".tmp") != std::string::npos)
      found.push_back(entry.path());
  }
  return found;
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workDir, const Options& options) {
  if (options.terminal) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
      ADD_FAILURE() << "no pty";
    termios mode = TerminalMode();
    mode.c_lflag |= ICANON | ECHO;
    tcsetattr(slave_, TCSANOW, &mode);
  }
  const std::string outPath = logs_.file("stdout");
  const std::string errPath = logs_.file("stderr");
  pid_ = fork();
  if (pid_ != 0)
    return;
  if (options.terminal) {  // a session of its own, so it may change the terminal's mode
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
  }
  for (const auto& [name, value] : options.env)
    setenv(name.c_str(), value.c_str(), 1);
  if (chdir(workDir.c_str()) != 0)
    _exit(127);
  dup2(options.terminal ? slave_ : open("/dev/null", O_RDONLY), 0);
  dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  if (options.inChild)
    options.inChild();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

Process::~Process() {
  if (pid_ > 0 && !Finished()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0)
    close(master_);
  if (slave_ >= 0)
    close(slave_);
}

bool Process::Finished() {
  if (!finished_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)
    finished_ = true;
  return finished_;
}

RunResult Process::Wait(int seconds) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!Finished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!Finished()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    finished_ = true;
    result.timedOut = true;
  }
  if (WIFEXITED(status_))
    result.exitCode = WEXITSTATUS(status_);
  if (WIFSIGNALED(status_))
    result.termSignal = WTERMSIG(status_);
  result.out = Out();
  result.err = Err();
  return result;
}

termios Process::TerminalMode() const {
  termios mode{};
  tcgetattr(slave_, &mode);
  return mode;
}

void Process::Type(const std::string& keys) const {
  ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir, int seconds) {
  return Process(program, args, workDir).Wait(seconds);
}

RunResult CheckRunReport(const std::string& path) {
  const ScratchDir work("vmosaic_report_check_");
  return RunProgram("/usr/bin/python3",
                    {SourceRoot() + "/tests/driver/check_run_report.py", path,
                     SourceRoot() + "/doc/run-report.schema.json"},
                    work.path);
}

RunResult RunVmosaic(const std::vector<std::string>& args, const std::string& workDir,
                     int seconds) {
  return RunProgram(VmosaicBinary(), args, workDir, seconds);
}

const cv::Mat& TestPhoto() {
  static const cv::Mat photo = render::LoadPhoto("lake_boats_2560x1600.jpg");
  return photo;
}

render::CameraPose Pose(double centreX, double centreY, double zoom, double angle) {
  render::CameraPose pose;
  pose.centreX = centreX;
  pose.centreY = centreY;
  pose.zoom = zoom;
  pose.angle = angle;
  return pose;
}

cv::Mat Pan::Between(size_t from, size_t to) const {
  return cv::Mat(render::FrameToFrame(photoToFrame.at(from), photoToFrame.at(to))).clone();
}

Pan RenderPan(int frames, cv::Size size, const render::CameraPose& start,
              const render::CameraPose& end, double noiseSigma) {
  CV_Assert(!TestPhoto().empty() && frames >= 1);
  std::vector<render::CameraPose> poses = render::Interpolate(start, end, std::max(frames, 2));
  poses.resize(static_cast<size_t>(frames));
  Pan pan;
  pan.frames = render::RenderSequence(TestPhoto(), poses, size, noiseSigma);
  for (const render::CameraPose& pose : poses)
    pan.photoToFrame.push_back(render::PhotoToFrame(pose, size));
  return pan;
}

Pan SidewaysPan(int frames, cv::Size size, double zoom, double startX, double startY,
                double stepPhotoPx) {
  return RenderPan(frames, size, Pose(startX, startY, zoom),
                   Pose(startX + stepPhotoPx * std::max(frames - 1, 1), startY, zoom));
}

cv::Mat Translation(double tx, double ty) {
  return (cv::Mat_<double>(3, 3) << 1, 0, tx, 0, 1, ty, 0, 0, 1);
}

bool SameBits(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type())
    return false;
  for (int r = 0; r < a.rows; ++r) {
    if (std::memcmp(a.ptr(r), b.ptr(r), a.cols * a.elemSize()) != 0)
      return false;
  }
  return true;
}

double MaxCornerError(const cv::Mat& A, const cv::Mat& B, int w, int h) {
  double worst = 0.0;
  for (const cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(w - 1.0, 0),
                              cv::Point2d(w - 1.0, h - 1.0), cv::Point2d(0, h - 1.0)}) {
    std::vector<cv::Point2d> a, b;
    cv::perspectiveTransform(std::vector<cv::Point2d>{c}, a, A);
    cv::perspectiveTransform(std::vector<cv::Point2d>{c}, b, B);
    const double d = cv::norm(a[0] - b[0]);
    worst = std::isnan(d) ? INFINITY : std::max(worst, d);
  }
  return worst;
}

double PsnrOverMask(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
  CV_Assert(a.size() == b.size() && a.type() == b.type() && mask.size() == a.size());
  const int pixels = cv::countNonZero(mask);
  if (pixels == 0)
    return 0.0;
  const double squared = std::pow(cv::norm(a, b, cv::NORM_L2, mask), 2.0);
  const double mse = squared / (static_cast<double>(pixels) * a.channels());
  return mse == 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text + "\n");  // a final empty line stays one
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

testing::Matcher<std::string> OwnMessage() {
  using testing::MatchesRegex;
  const std::string number = "(" + kFloat + ")";
  std::vector<testing::Matcher<std::string>> messages;
  for (const std::string& m :
       {std::string(""), std::string("Video File is not found\\.\\.\\."),
        std::string("Not Input\\.\\.\\."),
        "Time processing AVL Binary Tree Construction: " + number + " seconds",
        "Time processing CalculateCenteredPanorama: " + number + " seconds",
        "Total processing time: " + number + " seconds", "Number of nodes: " + kInt,
        "AVL_root:        " + kInt, "r\\*:              " + kInt, std::string("Mean Pano\\.\\.\\."),
        std::string("Median Pano\\.\\.\\."), std::string("Binary Tree empty\\.\\.\\."),
        std::string("Correspondences < 8\\.\\.\\."), std::string("No existe Hij\\.\\.\\.\\."),
        std::string("H_33: [^ ]+ != 1\\.0  "), "AVL Node not inserted: " + kInt,
        std::string("No homography found\\.\\.\\."),
        std::string("No homography from the 4 points: identity used\\.\\.\\.")}) {
    messages.push_back(MatchesRegex(m));
  }
  return testing::AnyOfArray(messages);
}

int NumberAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + label.size());
}

io::Operator& StdStreams() {
  static io::ConsoleOperator streams;
  return streams;
}

}  // namespace testsupport
