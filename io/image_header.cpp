#include "io/image_header.hpp"

#include <cstdlib>
#include <cstring>

namespace io {
namespace {

long long BigEndian(const unsigned char* p, int bytes) {
  long long value = 0;
  for (int i = 0; i < bytes; ++i)
    value = (value << 8) | p[i];
  return value;
}

long long LittleEndian32(const unsigned char* p) {
  const unsigned long raw =
      static_cast<unsigned long>(p[0]) | (static_cast<unsigned long>(p[1]) << 8) |
      (static_cast<unsigned long>(p[2]) << 16) | (static_cast<unsigned long>(p[3]) << 24);
  return static_cast<long long>(static_cast<int>(static_cast<unsigned int>(raw)));  // signed
}

bool Png(const unsigned char* bytes, size_t size, DeclaredSize* declared) {
  static const unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  // The signature, then the IHDR chunk: length, type, width, height.
  if (size < 24 || std::memcmp(bytes, kSignature, sizeof kSignature) != 0 ||
      std::memcmp(bytes + 12, "IHDR", 4) != 0) {
    return false;
  }
  *declared = {BigEndian(bytes + 16, 4), BigEndian(bytes + 20, 4)};
  return true;
}

// Start-of-frame markers: C0-CF except DHT (C4), JPG (C8) and DAC (CC).
bool IsStartOfFrame(unsigned char marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool Jpeg(const unsigned char* bytes, size_t size, DeclaredSize* declared) {
  if (size < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8)
    return false;
  size_t at = 2;
  while (at + 4 <= size) {
    if (bytes[at] != 0xFF)
      return false;
    const unsigned char marker = bytes[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      at += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA)  // the end, or scan data before any frame
      return false;
    const size_t length = static_cast<size_t>(BigEndian(bytes + at + 2, 2));
    if (IsStartOfFrame(marker)) {
      // Length, precision, height, width.
      if (length < 7 || at + 9 > size)
        return false;
      *declared = {BigEndian(bytes + at + 7, 2), BigEndian(bytes + at + 5, 2)};
      return true;
    }
    if (length < 2)
      return false;
    at += 2 + length;
  }
  return false;
}

bool Bmp(const unsigned char* bytes, size_t size, DeclaredSize* declared) {
  // "BM", file header (14 bytes), then an info header of at least 40 bytes
  // whose width and height are signed (a negative height: top-down rows).
  if (size < 26 || bytes[0] != 'B' || bytes[1] != 'M' || LittleEndian32(bytes + 14) < 40)
    return false;
  *declared = {std::llabs(LittleEndian32(bytes + 18)), std::llabs(LittleEndian32(bytes + 22))};
  return true;
}

}  // namespace

bool ReadDeclaredSize(const unsigned char* bytes, size_t size, DeclaredSize* declared) {
  return Png(bytes, size, declared) || Jpeg(bytes, size, declared) || Bmp(bytes, size, declared);
}

}  // namespace io
