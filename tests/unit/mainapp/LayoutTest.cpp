// Several monitors as one picture: where each monitor's frames go, and where a point of
// the picture lands.
#include <gtest/gtest.h>

#include "mainapp/portalvnc/Layout.h"

using namespace tvl;
using namespace tvl::portalvnc;

namespace {

TEST(Layout, MonitorsGoToTheirPlacesInOnePicture) {
  struct Case {
    const char* what;
    std::vector<Monitor> monitors;
    Layout expected;
  };
  const Case cases[] = {
      {"one monitor", {{0, 0, 1280, 800, 1280, 800}}, {1280, 800, {{0, 0, 1280, 800}}}},
      {"side by side, different heights",
       {{0, 0, 1280, 800, 1280, 800}, {1280, 0, 1024, 768, 1024, 768}},
       {2304, 800, {{0, 0, 1280, 800}, {1280, 0, 1024, 768}}}},
      {"one left of the origin, one below",
       {{0, 0, 800, 600, 800, 600}, {-640, 0, 640, 480, 640, 480}, {0, 600, 800, 600, 800, 600}},
       {1440, 1200, {{640, 0, 800, 600}, {0, 0, 640, 480}, {640, 600, 800, 600}}}},
      {"a monitor scaled by 2 beside one that is not: spread, no overlap",
       {{0, 0, 1280, 800, 2560, 1600}, {1280, 0, 1024, 768, 1024, 768}},
       {3584, 1600, {{0, 0, 2560, 1600}, {2560, 0, 1024, 768}}}},
      {"no frame yet: the portal's size",
       {{0, 0, 1280, 800, 1280, 800}, {1280, 0, 1024, 768, 0, 0}},
       {2304, 800, {{0, 0, 1280, 800}, {1280, 0, 1024, 768}}}},
  };
  for (const Case& c : cases) EXPECT_EQ(arrange(c.monitors), c.expected) << c.what;
}

TEST(Layout, APointGoesToTheMonitorUnderItInThatMonitorsUnits) {
  const std::vector<Monitor> monitors = {{0, 0, 1280, 800, 2560, 1600},
                                         {1280, 0, 1024, 768, 1024, 768}};
  const Layout layout = arrange(monitors);
  struct Case {
    int x, y;
    Target expected;
  };
  const Case cases[] = {
      {100, 100, {0, 50, 50}},  // the scaled monitor takes half the pixels
      {2560, 0, {1, 0, 0}},     // the second monitor's corner
      {3000, 700, {1, 440, 700}},
      {3400, 1000, {1, 840, 767}},      // below the shorter monitor: its bottom edge
      {-5, 99999, {0, 0, 1599 / 2.0}},  // beyond the picture: the nearest point
  };
  for (const Case& c : cases)
    EXPECT_EQ(locate(layout, monitors, c.x, c.y), c.expected) << c.x << "," << c.y;
}

}  // namespace
