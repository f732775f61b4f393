#include "tests/support/test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/render/scene_renderer.hpp"

#include "io/console.hpp"

namespace testsupport {

std::string VmosaicBinary() { return VMOSAIC_BINARY; }

void DetachStandardInput() {
  const int devNull = open("/dev/null", O_RDONLY);
  if (devNull >= 0) {
    dup2(devNull, STDIN_FILENO);
    close(devNull);
  }
}
std::string SourceRoot() { return VMOSAIC_SOURCE_ROOT; }
std::string BuildRoot() { return VMOSAIC_BUILD_ROOT; }

std::string MakeTempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  return made ? std::string(made) : std::string();
}

ScratchDir::ScratchDir(const std::string& prefix) : path(MakeTempDir(prefix)) {}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir, int timeoutSeconds) {
  RunResult result;
  const std::string outPath = workDir + "/.stdout";
  const std::string errPath = workDir + "/.stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(workDir.c_str()) != 0) _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return result;
}

RunResult RunVmosaic(const std::vector<std::string>& args, const std::string& workDir,
                     int timeoutSeconds) {
  return RunProgram(VmosaicBinary(), args, workDir, timeoutSeconds);
}

cv::Mat TestPhoto() { return render::LoadPhoto("lake_boats_2560x1600.jpg"); }

std::vector<cv::Mat> RenderSidewaysPan(int frames, cv::Size size, double zoom, double startX,
                                       double startY, double stepPhotoPx) {
  const cv::Mat photo = TestPhoto();
  CV_Assert(!photo.empty() && frames >= 1);
  render::CameraPose start;
  start.centreX = startX;
  start.centreY = startY;
  start.zoom = zoom;
  render::CameraPose end = start;
  end.centreX += stepPhotoPx * (frames - 1);
  std::vector<render::CameraPose> poses = render::Interpolate(start, end, std::max(frames, 2));
  poses.resize(static_cast<size_t>(frames));
  return render::RenderSequence(photo, poses, size);
}

double PsnrOverMask(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
  CV_Assert(a.size() == b.size() && a.type() == b.type() && mask.size() == a.size());
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  diff.convertTo(diff, CV_64F);
  diff = diff.mul(diff);
  double squared = 0.0;
  long long count = 0;
  for (int r = 0; r < a.rows; ++r) {
    const double* d = diff.ptr<double>(r);
    const unsigned char* m = mask.ptr<unsigned char>(r);
    for (int c = 0; c < a.cols; ++c) {
      if (m[c] == 0) continue;
      for (int k = 0; k < a.channels(); ++k) squared += d[c * a.channels() + k];
      count += a.channels();
    }
  }
  if (count == 0) return 0.0;
  const double mse = squared / static_cast<double>(count);
  if (mse == 0.0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

double MaxCornerError(const cv::Mat& A, const cv::Mat& B, int w, int h) {
  const double corners[4][2] = {{0, 0}, {w - 1.0, 0}, {w - 1.0, h - 1.0}, {0, h - 1.0}};
  double worst = 0.0;
  for (const auto& c : corners) {
    cv::Mat p = (cv::Mat_<double>(3, 1) << c[0], c[1], 1.0);
    cv::Mat pa = A * p;
    cv::Mat pb = B * p;
    const double ax = pa.at<double>(0) / pa.at<double>(2);
    const double ay = pa.at<double>(1) / pa.at<double>(2);
    const double bx = pb.at<double>(0) / pb.at<double>(2);
    const double by = pb.at<double>(1) / pb.at<double>(2);
    worst = std::max(worst, std::hypot(ax - bx, ay - by));
  }
  return worst;
}

io::Operator& StdStreams() {
  static io::ConsoleOperator streams;
  return streams;
}

}  // namespace testsupport
