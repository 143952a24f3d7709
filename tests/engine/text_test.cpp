#include <gtest/gtest.h>

#include "engine/text.h"

using namespace twf;

TEST(EngineText, FormatSize) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {1048575, "1024.00 KB"}, // the unit is chosen before rounding
      {1099511627776LL, "1.00 TB"},
      {2048 * 1099511627776LL, "2048.00 TB"},
  };
  for (auto& [in, want] : cases) EXPECT_EQ(FormatSize(in), want) << in;
}

TEST(EngineText, FormatElapsed) {
  EXPECT_EQ(FormatElapsed(0), "00:00:00.000");
  EXPECT_EQ(FormatElapsed(3723004), "01:02:03.004");
  EXPECT_EQ(FormatElapsed(360000000), "100:00:00.000");
}

TEST(EngineText, StripTrailingDotAndVolumeText) {
  EXPECT_EQ(StripTrailingDot("Access denied."), "Access denied");
  EXPECT_EQ(StripTrailingDot("two.."), "two.");
  EXPECT_EQ(StripTrailingDot(""), "");
  EXPECT_EQ(VolumeText("", "1A2B-3C4D"), "1A2B-3C4D");
  EXPECT_EQ(VolumeText("Backup", "1A2B-3C4D"), "Backup (1A2B-3C4D)");
}

TEST(EngineText, IsPathInside) {
  struct Case {
    const char* parent;
    const char* child;
    bool inside;
  };
  const Case cases[] = {
      {"/data", "/data/sub", true},
      {"/data", "/data/", true},
      {"/data", "/data", true},
      {"/data", "/database", false},
      {"/data/sub", "/data", false},
      {"/Data", "/data/sub", false}, // Linux names are case-sensitive
      {"/", "/anything", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPathInside(c.parent, c.child), c.inside) << c.parent << " " << c.child;
}

TEST(EngineText, RoundHalfEven) {
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(24.4), 24);
}
