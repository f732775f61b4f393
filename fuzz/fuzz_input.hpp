// Reads typed values off a fuzzer's byte string, and the checks a target
// makes on results. Values past the end read as zero, so every byte string is
// a valid input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // Any bit pattern: NaN, infinities and denormals included.
  double Double() { return Take<double>(); }
  float Float() { return Take<float>(); }
  uint8_t Byte() { return Take<uint8_t>(); }
  // An int in [low, high].
  int IntIn(int low, int high) {
    const uint32_t raw = Take<uint32_t>();
    return low + static_cast<int>(raw % static_cast<uint32_t>(high - low + 1));
  }
  size_t Remaining() const { return size_ - used_; }

 private:
  template <typename T>
  T Take() {
    T value{};
    const size_t n = sizeof(T) < Remaining() ? sizeof(T) : Remaining();
    if (n > 0)
      std::memcpy(&value, data_ + used_, n);
    used_ += n;
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};

// A broken property is a finding: report it and abort, so that libFuzzer
// keeps the input and a replaying test fails.
inline void Require(bool holds, const char* what) {
  if (holds)
    return;
  std::fprintf(stderr, "fuzz property broken: %s\n", what);
  std::abort();
}

}  // namespace fuzz
