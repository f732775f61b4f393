// The pixel size an image file declares in its header, read without
// decoding it, so that a small file claiming a huge image is refused before
// any pixel memory is taken.
#pragma once

#include <cstddef>

namespace io {

struct DeclaredSize {
  long long width = 0;
  long long height = 0;
};

// The size declared by a PNG (IHDR), JPEG (the first start-of-frame
// segment) or BMP header at the start of bytes. False when the bytes are
// none of these or the header is cut short; the decoder then has the last
// word.
bool ReadDeclaredSize(const unsigned char* bytes, size_t size, DeclaredSize* declared);

}  // namespace io
