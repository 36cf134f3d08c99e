// Copy-before-write under concurrent writers: every preserved block keeps
// its contents at the snapshot and no write is lost or left hanging, also
// while the session is being closed under the writers' feet.
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "functions/cow_fixture.h"

namespace {

using namespace cgtest;

constexpr std::uint32_t kFirst = 2, kLast = 400;  // blocks the writers use

std::uint32_t Seed() {
  std::uint32_t seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  return seed;
}

TEST_F(CowTest, ConcurrentWritersNeverChangeAPreservedBlock) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  constexpr int kWriters = 4, kWrites = 120;
  const std::uint32_t seed = Seed();
  std::vector<std::uint32_t> last(kLast, 0);  // each writer owns bn % kWriters
  std::atomic<int> failed{0}, running{kWriters};

  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      std::mt19937 rng(seed + t);
      for (int k = 1; k <= kWrites; ++k) {
        std::uint32_t bn = kFirst + t + kWriters * (rng() % ((kLast - kFirst) / kWriters));
        std::uint32_t gen = std::uint32_t(t * 1000 + k);
        if (Write(p1_, bn, Stamp(bn, gen)) != 0) failed++;
        last[bn] = gen;
      }
      running--;
    });
  }
  // Meanwhile every copy the store gives out is the block as it was.
  std::mt19937 rng(seed);
  long checked = 0, wrong = 0;
  while (running.load() > 0) {
    std::uint32_t bn = kFirst + rng() % (kLast - kFirst);
    auto copy = Stored(b, bn);
    if (!copy.empty()) {
      ++checked;
      if (copy != Stamp(bn, 0)) ++wrong;
    }
  }
  for (auto& w : writers) w.join();
  Drained(b);

  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0, wrong) << "of " << checked;
  EXPECT_EQ(u32(CGD_STATE_SNAPPED), getStateOf(b));
  int preserved = 0;
  for (std::uint32_t bn = kFirst; bn < kLast; ++bn) {
    if (last[bn]) {
      ++preserved;
      EXPECT_TRUE(blockInMap(&b->cacheMap, bn)) << bn;
      EXPECT_EQ(Stamp(bn, 0), Stored(b, bn)) << bn;
      EXPECT_EQ(Stamp(bn, last[bn]), GetBlock(kP1Start, bn)) << bn;
    } else {
      EXPECT_FALSE(blockInMap(&b->cacheMap, bn)) << bn;
      EXPECT_EQ(Stamp(bn, 0), GetBlock(kP1Start, bn)) << bn;
    }
  }
  EXPECT_EQ(preserved, atomic_read(&b->curAllocCPs));
}

TEST_F(CowTest, HookThatPickedTheSessionBeforeTheCloseFindsItClosedNotFreed) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  // The close queues for writers behind this reader ...
  down_read(&b->writers);
  std::thread closer([&] { Close(); });
  WaitUntil([b] {
    if (!down_read_trylock(&b->writers)) return true;  // a writer waits
    up_read(&b->writers);
    return false;
  });
  // ... and a write picks the still active session and queues behind the close.
  int rc = 1;
  std::thread writer([&] { rc = Write(p1_, 33, Stamp(33, 1)); });
  WaitUntil([b] { return atomic_read(&b->hookUsers) == 1; });
  up_read(&b->writers);
  closer.join();
  writer.join();
  EXPECT_EQ(0, rc);
  EXPECT_EQ(Stamp(33, 1), GetBlock(kP1Start, 33));
  EXPECT_TRUE(g_spy.Events().empty());  // passed on, never held
}

TEST_F(CowTest, CloseRacingWithWritesFreesTheRecordOnlyAfterTheHooksLeft) {
  const std::uint32_t seed = Seed();
  // Slow bios keep the close's drain long enough for writers to come back
  // with new writes that pick the closing session and wait for it.
  disk_->set_delay_us(500);
  for (int round = 0; round < 6; ++round) {
    Backup* b = Start(p1_);
    ASSERT_NE(nullptr, b);
    std::atomic<bool> stop{false};
    std::atomic<long> done{0}, failed{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
      writers.emplace_back([&, t] {
        std::mt19937 rng(seed + 17 * round + t);
        while (!stop.load()) {
          std::uint32_t bn = kFirst + rng() % (kLast - kFirst);
          if (Write(p1_, bn, Stamp(bn, 1)) != 0) failed++;
          done++;
        }
      });
    }
    WaitUntil([&] { return done.load() >= 30; });
    Close();  // while the writers go on
    long atClose = done.load();
    WaitUntil([&] { return done.load() >= atClose + 30; });
    stop = true;
    for (auto& w : writers) w.join();
    EXPECT_EQ(0, failed.load()) << "round " << round;
    EXPECT_EQ(real_, LoadOnce(q_->make_request_fn));
    EXPECT_EQ(nullptr, ActiveSession());
    EXPECT_EQ(0, LoadOnce(backup_cachePID));
    // Blocks written after the close went straight to the disk.
    for (std::uint32_t bn = kFirst; bn < kLast; ++bn) ASSERT_TRUE(PutBlock(kP1Start, bn, Stamp(bn, 0)));
  }
}

}  // namespace
