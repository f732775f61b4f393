// The fuzz targets as plain functions: each libFuzzer binary wraps one, and
// the regression test replays stored inputs through all of them without
// libFuzzer. Each returns 0 and aborts when a property it checks is broken.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Overlap percentage of a frame outline mapped by an arbitrary homography.
int FuzzOverlap(const uint8_t* data, size_t size);
// Integer and float point mapping and the distances.
int FuzzPointMapping(const uint8_t* data, size_t size);
// NCC validation of arbitrary points and homography on small images.
int FuzzNccValidation(const uint8_t* data, size_t size);
// The bytes as a video file, through the frame source and a few frame pairs
// of the panorama, then the composition.
int FuzzVideo(const uint8_t* data, size_t size);
// A pattern and a folder of members (images, any bytes, FIFOs, device links)
// through the frame source's image-sequence input.
int FuzzSequence(const uint8_t* data, size_t size);
// The bytes as telemetry: SRT subtitles, CSV and GPX.
int FuzzSrt(const uint8_t* data, size_t size);

}  // namespace fuzz

// In a libFuzzer build each target's file defines the entry point.
#ifdef VMOSAIC_LIBFUZZER
#define VMOSAIC_FUZZ_ENTRY(function)                                        \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    return function(data, size);                                            \
  }
#else
#define VMOSAIC_FUZZ_ENTRY(function)
#endif
