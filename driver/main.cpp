// vmosaic: builds one panoramic mosaic from a video taken by a moving camera.
#include "vmosaic/command_line.hpp"

int main(int argc, char** argv) {
  return vmosaic::RunCommandLine(argc, argv);
}
