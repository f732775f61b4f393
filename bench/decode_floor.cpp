// The decode floor: frames per second of only reading a video with
// cv::VideoCapture, as the program's frame source does.
//
//   vmosaic-decode-floor VIDEO   ->  "<frames> <seconds> <fps>"
#include <chrono>
#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vmosaic-decode-floor VIDEO\n");
    return 2;
  }
  cv::VideoCapture capture(argv[1]);
  if (!capture.isOpened()) {
    std::fprintf(stderr, "vmosaic-decode-floor: cannot open %s\n", argv[1]);
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  cv::Mat frame;
  long frames = 0;
  while (capture.read(frame))
    ++frames;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%ld %.3f %.1f\n", frames, seconds, seconds > 0 ? frames / seconds : 0.0);
  return 0;
}
