// A picture of a monitor as a screen capture hands it over.
#pragma once

#include <cstdint>

namespace tvl::screencast {

// Where red and blue sit in a 32-bit little-endian pixel: BGRx has blue in the lowest byte.
enum class PixelLayout { Bgrx, Rgbx };

// The pixels are valid only during the call that hands the frame over.
struct Frame {
  const std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row, at least width * 4
  PixelLayout layout = PixelLayout::Bgrx;
};

}  // namespace tvl::screencast
