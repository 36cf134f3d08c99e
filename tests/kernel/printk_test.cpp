// printk line assembly and levels, the log API, BUG/WARN, time and random.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/kernel_test.h"

#include <linux/kernel.h>
#include <linux/random.h>
#include <linux/time.h>

namespace {

using PrintkTest = KernelTest;
using Lines = std::vector<std::string>;

}  // namespace

TEST_F(PrintkTest, LinesKeepTheirLevelAndLoseTheNewline) {
  EXPECT_EQ(21, printk("<3>%s: failed %d\n", "cgdOpen", 5));
  printk(KERN_INFO "two\n" KERN_ERR "lines\n");
  printk("no level\n");
  EXPECT_EQ((Lines{"<3>cgdOpen: failed 5", "<6>two", "<3>lines", "<4>no level"}), NewLog());
}

TEST_F(PrintkTest, UnfinishedLinesContinueUntilALeveledMessage) {
  printk("<6>stats: ");
  printk("read %d", 10);
  EXPECT_TRUE(NewLog().empty()) << "an unfinished line is not in the log yet";
  printk(", written %d\n", 20);
  printk("<6>pending");
  printk("<3>next\n");  // a leveled message ends the pending line first
  printk("<6>a\nb\n\n");
  EXPECT_EQ((Lines{"<6>stats: read 10, written 20", "<6>pending", "<3>next", "<6>a", "<4>b", "<4>"}),
            NewLog());
}

TEST_F(PrintkTest, MarksCountsAndLongMessages) {
  printk("<6>same\n");
  std::size_t m = standin::log::mark();
  printk("<6>same\n<6>same\n<6>other\n");
  EXPECT_EQ(2u, standin::log::count(m, "<6>same"));
  EXPECT_EQ(1u, standin::log::count(m, "<6>other"));
  EXPECT_EQ(3u, standin::log::since(m).size());
  EXPECT_EQ(m + 3, standin::log::mark());

  std::string big(3000, 'x');
  EXPECT_EQ(3004, printk("<7>%s\n", big.c_str()));
  EXPECT_EQ("<7>" + big, standin::log::lines().back());
}

TEST_F(PrintkTest, TheRingDropsItsOldestLines) {
  constexpr std::size_t kRing = std::size_t{1} << 20;
  standin::log::clear();
  std::size_t start = standin::log::mark();
  for (std::size_t i = 0; i < kRing + 3; ++i) printk("<7>%zu\n", i);
  auto all = standin::log::lines();
  ASSERT_EQ(kRing, all.size());
  EXPECT_EQ("<7>3", all.front());
  EXPECT_EQ("<7>" + std::to_string(kRing + 2), all.back());
  EXPECT_EQ(kRing, standin::log::since(start).size()) << "an old mark reads from the oldest line";
  standin::log::clear();
  EXPECT_TRUE(standin::log::lines().empty());
  Remark();
}

TEST_F(PrintkTest, WarnAndDumpStackLogAndGoOn) {
  WARN_ON(1 + 1 == 2);
  WARN_ON(0);
  dump_stack();
  auto log = NewLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(0u, log[0].rfind("<4>BUG: warning at ", 0)) << log[0];
  EXPECT_NE(std::string::npos, log[0].find("printk_test.cpp:")) << log[0];
  int traces = 0;
  for (auto& l : log) traces += l == "<4>Call Trace:";
  EXPECT_EQ(2, traces);
}

TEST_F(PrintkTest, BugAndPanicStopWithTheSite) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(BUG(), "kernel BUG at .*printk_test.cpp:[0-9]+!");
  EXPECT_DEATH(BUG_ON(2 > 1), "kernel BUG at");
  EXPECT_DEATH(panic("disk %d gone", 3), "Kernel panic - not syncing: disk 3 gone");
  BUG_ON(0);
}

TEST_F(PrintkTest, TimeIsNormalisedWallClockAndRandomBytesVary) {
  struct timespec host;
  clock_gettime(CLOCK_REALTIME, &host);
  struct timespec now = current_kernel_time();
  EXPECT_GE(now.tv_nsec, 0);
  EXPECT_LT(now.tv_nsec, NSEC_PER_SEC);
  EXPECT_LE(std::labs(now.tv_sec - host.tv_sec), 2);

  unsigned char a[56] = {}, b[56] = {};
  get_random_bytes(a, sizeof a);
  get_random_bytes(b, sizeof b);
  EXPECT_NE(0, std::memcmp(a, b, sizeof a));
  unsigned char zero[56] = {};
  EXPECT_NE(0, std::memcmp(a, zero, sizeof a));
}
