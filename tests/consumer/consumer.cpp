// Mosaics the first frames of a video through the installed library.
#include <cstdio>
#include <vmosaic/vmosaic.hpp>

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  vmosaic::Options options;
  options.input = argv[1];
  options.overlap = 80;
  options.frameLimit = 20;
  options.writeImages = false;
  vmosaic::Observer quiet;
  const vmosaic::Result result = vmosaic::Mosaic(options, quiet);
  std::printf("status %d, mosaic %dx%d, %zu key frames\n", result.status, result.mean.width,
              result.mean.height, result.keyFrames.size());
  return result.status == 0 && !result.mean.empty() && result.keyFrames.size() > 1 ? 0 : 1;
}
