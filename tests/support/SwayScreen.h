// What a headless sway of tests/support/with-sway shows, as a user would see it: grim's
// picture of every output, in layout coordinates.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct SwayPicture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  // 0xRRGGBB at (x, y); 0xFFFFFFFF outside the picture.
  uint32_t at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0xFFFFFFFF;
    const uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  }
};

// grim's picture of the whole layout (binary PPM from its standard output); empty when
// grim failed.
inline SwayPicture grabSway() {
  SwayPicture picture;
  std::unique_ptr<FILE, int (*)(FILE*)> in(::popen("grim -t ppm - 2>/dev/null", "r"), ::pclose);
  if (!in) return picture;
  int maxValue = 0;
  if (std::fscanf(in.get(), "P6 %d %d %d", &picture.width, &picture.height, &maxValue) != 3 ||
      maxValue != 255 || std::fgetc(in.get()) == EOF)
    return {};
  picture.rgb.resize(size_t(picture.width) * picture.height * 3);
  if (std::fread(picture.rgb.data(), 1, picture.rgb.size(), in.get()) != picture.rgb.size())
    return {};
  return picture;
}

// Runs swaymsg with the arguments (sway's IPC socket from SWAYSOCK); true on success.
inline bool swaymsg(const std::string& arguments) {
  return std::system(("swaymsg " + arguments + " >/dev/null").c_str()) == 0;
}

}  // namespace testsupport
