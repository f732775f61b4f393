#include "io/io_video.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "io/console.hpp"

#ifndef VMOSAIC_DEFAULT_VIDEO
#define VMOSAIC_DEFAULT_VIDEO "data/sample.mp4"
#endif

namespace {

// The capture "opens" some paths it cannot read (and a directory can look
// like an image sequence), so only regular readable files and printf-style
// sequence patterns go to it.
bool LooksOpenable(const std::string& path) {
  if (path.find('%') != std::string::npos) return true;
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

[[noreturn]] void ExitNotFound() {
  std::printf("Video File is not found...");
  std::fflush(stdout);
  console::RestoreTerminal();
  std::exit(1);
}

}  // namespace

const char* ioVideo::DefaultPath() { return VMOSAIC_DEFAULT_VIDEO; }

ioVideo::~ioVideo() {
  frame_Current.release();
  frame_Previous.release();
}

int ioVideo::Input_Video(int argc, char** argv, int /*Id_Database*/, int Id_ScaleProcess) {
  path_Input = (argc >= 2) ? argv[1] : DefaultPath();
  if (!LooksOpenable(path_Input)) ExitNotFound();
  capture.open(path_Input);
  if (!capture.isOpened()) ExitNotFound();
  capture >> frame_Current;
  if (frame_Current.empty()) return 0;
  imageW = frame_Current.cols;
  imageH = frame_Current.rows;
  if (Id_ScaleProcess == 1) frame_Previous.create(imageH, imageW, CV_8UC3);
  return 1;
}

int ioVideo::Read_NextFrame(int /*Id_Database*/, int /*Id_ScaleProcess*/) {
  frame_Current.copyTo(frame_Previous);
  capture >> frame_Current;
  if (frame_Current.empty()) return 0;
  if (frame_Current.cols != imageW || frame_Current.rows != imageH ||
      frame_Current.type() != CV_8UC3) {
    std::fprintf(stderr,
                 "vmosaic: frame size changed from %dx%d to %dx%d; input ends here\n", imageW,
                 imageH, frame_Current.cols, frame_Current.rows);
    frame_Current.release();
    return 0;
  }
  return 1;
}
