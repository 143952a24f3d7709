#include <gtest/gtest.h>

#include <thread>

#include "runctl/line_queue.h"
#include "runctl/progress.h"

namespace twf {
namespace {

TMirrorStats Stats(const char* phase, int32_t total, int32_t done, int64_t copied = 0, int64_t totalBytes = 0) {
  TMirrorStats s;
  s.Phase = phase;
  s.TotalOps = total;
  s.DoneOps = done;
  s.BytesCopied = copied;
  s.TotalBytes = totalBytes;
  return s;
}

TEST(Progress, CaptionAndBar) {
  struct TCase {
    const char* Name;
    TMirrorStats St;
    TProgressView Want;
  };
  const std::vector<TCase> cases = {
      {"scan: phase only, marquee", Stats("Scanning", 0, 0), {"B - Scanning", TBarStyle::bsMarquee, 100, 0}},
      {"1 of 3 is 33%", Stats("Copying", 3, 1), {"B - Copying 33%", TBarStyle::bsNormal, 3, 1}},
      {"1 of 8 is 12% (halves to even)", Stats("Copying", 8, 1), {"B - Copying 12%", TBarStyle::bsNormal, 8, 1}},
      {"3 of 8 is 38%", Stats("Copying", 8, 3), {"B - Copying 38%", TBarStyle::bsNormal, 8, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TSpeedSample speed;
    EXPECT_EQ(ComputeProgress("B", c.St, speed, 5000), c.Want);
  }
}

// Speed from samples at least a second apart, then the time left at that speed.
TEST(Progress, SpeedAndTimeLeft) {
  struct TCase {
    const char* Name;
    int64_t CopiedLater;
    int64_t TotalBytes;
    const char* WantCaption;
  };
  const std::vector<TCase> cases = {
      {"12.5 s left shows 12 s", 10000000, 135000000, "B - Copying 50% - 9.54 MB/s - 12 s left"},
      {"3000 s left", 10000000, 30010000000LL, "B - Copying 50% - 9.54 MB/s - 50 min 0 s left"},
      {"nothing left: no time", 10000000, 10000000, "B - Copying 50% - 9.54 MB/s"},
      {"nothing copied: no speed, no time", 0, 500, "B - Copying 50%"},
      {"1 byte per second is no speed", 1, 500, "B - Copying 50%"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TSpeedSample speed;
    ComputeProgress("B", Stats("Copying", 2, 1, 0, c.TotalBytes), speed, 1000);
    EXPECT_EQ(speed.Bps, 0);
    EXPECT_EQ(ComputeProgress("B", Stats("Copying", 2, 1, c.CopiedLater, c.TotalBytes), speed, 2000).Caption,
              c.WantCaption);
  }
}

TEST(Progress, SpeedIsResampledOnlyAfterASecond) {
  TSpeedSample speed;
  ComputeProgress("B", Stats("Copying", 2, 1, 0), speed, 1000);
  ComputeProgress("B", Stats("Copying", 2, 1, 4000), speed, 2000);
  EXPECT_DOUBLE_EQ(speed.Bps, 4000);
  // 150 ms later a burst: the shown speed keeps the last full window.
  ComputeProgress("B", Stats("Copying", 2, 1, 900000), speed, 2150);
  EXPECT_DOUBLE_EQ(speed.Bps, 4000);
  ComputeProgress("B", Stats("Copying", 2, 1, 1004000), speed, 3000);
  EXPECT_DOUBLE_EQ(speed.Bps, 1000000);
  // A second in which nothing was copied shows no speed at all.
  EXPECT_EQ(ComputeProgress("B", Stats("Copying", 2, 1, 1004000), speed, 4000).Caption, "B - Copying 50%");
}

TEST(Progress, PaneKeepsTheLast4000LinesPast6000) {
  TLogPaneModel pane;
  EXPECT_EQ(pane.Append(std::vector<std::string>(5999)).TrimFront, 0);
  EXPECT_EQ(pane.Append({"a"}).TrimFront, 0); // exactly 6000 stays
  TLogPaneChange c = pane.Append({"b", "c"});
  EXPECT_EQ(c.TrimFront, 2002);
  EXPECT_EQ(c.Lines.size(), 2u);
  EXPECT_EQ(pane.LineCount(), 4000);
  pane.Clear();
  EXPECT_EQ(pane.Append(std::vector<std::string>(6001)).TrimFront, 2001);
}

TEST(LineQueue, DropsTheOldestWhenFullAndNeverWaits) {
  TLineQueue q(3);
  EXPECT_TRUE(q.TryPush("1"));
  EXPECT_TRUE(q.TryPush("2"));
  EXPECT_TRUE(q.TryPush("3"));
  EXPECT_FALSE(q.TryPush("4")); // "1" makes room: the latest lines matter most
  std::string s;
  ASSERT_TRUE(q.TryPop(s));
  EXPECT_EQ(s, "2");
  EXPECT_TRUE(q.TryPush("5"));
  for (const char* want : {"3", "4", "5"}) {
    ASSERT_TRUE(q.TryPop(s));
    EXPECT_EQ(s, want);
  }
  EXPECT_FALSE(q.TryPop(s));
}

TEST(LineQueue, ManyProducersOneConsumer) {
  TLineQueue q;
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t)
    producers.emplace_back([&q, t] {
      for (int i = 0; i < 1000; ++i) q.TryPush(std::to_string(t) + ":" + std::to_string(i));
    });
  for (auto& p : producers) p.join();
  std::vector<int> next(4, 0);
  std::string s;
  int n = 0;
  while (q.TryPop(s)) {
    const int t = s[0] - '0';
    EXPECT_EQ(s, std::to_string(t) + ":" + std::to_string(next[t]++)); // each producer's order is kept
    ++n;
  }
  EXPECT_EQ(n, 4000);
}

} // namespace
} // namespace twf
