// Block reads racing the rest of the system: a window unmapped while a
// command fills it, a write to a block whose disk read for the agent is in
// flight, and writers rewriting blocks while the agent reads the snapshot.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "functions/read_fixture.h"

namespace {

using namespace cgread;
using Lines = std::vector<std::string>;

// Stands in for the disk's real make-request function and holds back the
// first one-block read of a chosen sector until the case lets it go.
struct Stash {
  std::atomic<bool> armed{false};
  std::atomic<std::uint64_t> sector{0};
  std::atomic<struct bio*> held{nullptr};
  std::atomic<request_queue_t*> q{nullptr};
  make_request_fn* real = nullptr;
};
Stash g_stash;

int stashMRF(request_queue_t* q, struct bio* bio) {
  if (bio->bi_end_io == cgdBIOEndIO && (bio->bi_rw & 1) == READ &&
      bio->bi_sector == g_stash.sector.load() && g_stash.armed.exchange(false)) {
    g_stash.q = q;
    g_stash.held = bio;
    return 0;
  }
  return g_stash.real(q, bio);
}

TEST_F(ReadTest, UnmappingAWindowWaitsForTheCommandThatFillsIt) {
  Start();
  char* w = Map(2);
  ASSERT_NE(nullptr, w);
  int pages = atomic_read(&b_->curAllocPages);
  disk_->hold(true);
  std::atomic<int> status{-1};
  std::thread reader([&] { status = Read(800, 8, w); });
  WaitUntil([&] { return disk_->in_flight() == 8; });

  // The reads into the window's pages are in flight; now the agent unmaps.
  std::atomic<bool> unmapped{false};
  std::atomic<int> readsAtUnmap{-1};
  std::thread unmapper([&] {
    EXPECT_EQ(0, user::munmap(w, 2 * 4096));
    readsAtUnmap = atomic_read(&b_->curAllocBRs);
    unmapped = true;
  });
  // Room for a close that does not wait to free the pages under the reads.
  for (int i = 0; i < 200 && !unmapped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(unmapped);
  EXPECT_EQ(pages, atomic_read(&b_->curAllocPages));

  disk_->hold(false);
  reader.join();
  unmapper.join();
  EXPECT_EQ(0, status);
  // The window went only after the command had released its reads.
  EXPECT_EQ(0, readsAtUnmap);
  EXPECT_EQ(nullptr, b_->vmAreas[0].vma);
  EXPECT_EQ(0, b_->vmAreas[0].vmPages);
  EXPECT_EQ(pages - 2, atomic_read(&b_->curAllocPages));
  EXPECT_EQ(Lines{}, NewLog());
}

class ReadRace : public ReadTest {
 protected:
  void Spy() {
    g_stash.real = b_->diskInfo.realMRF;
    b_->diskInfo.realMRF = stashMRF;
  }
  // The agent reads block bn while a write to it comes in: the agent's disk
  // read is held back until the write has been captured and has reached
  // the disk, so the disk gives the new contents.
  void ReadAcrossWrite(std::uint32_t bn, char* w) {
    g_stash.held = nullptr;
    g_stash.sector = Sector(bn);
    g_stash.armed = true;
    std::atomic<int> status{-1};
    std::thread reader([&] { status = Read(bn, 1, w); });
    WaitUntil([] { return g_stash.held.load() != nullptr; });
    ASSERT_EQ(0, Write(bn, Stamp(bn, 1)));
    WaitUntil([&] { return atomic_read(&b_->mrInQueue) == 0; });
    ASSERT_EQ(Stamp(bn, 1), GetBlock(bn));
    g_stash.real(g_stash.q, g_stash.held);
    reader.join();
    EXPECT_EQ(0, status);
    EXPECT_EQ(Stamp(bn, 0), InWindow(w, 0));
  }
};

TEST_F(ReadRace, AWriteDuringTheAgentsDiskReadLeavesThePreSnapshotContents) {
  Start();
  Spy();
  char* w = Map(1);
  ASSERT_NE(nullptr, w);

  // State 4: the preserved copy repairs the window and stays.
  ReadAcrossWrite(710, w);
  EXPECT_EQ(1, Stored());
  EXPECT_TRUE(blockInMap(&b_->cacheMap, 710));

  // State 6: it repairs the window and is consumed with the wanted bit.
  LoadAllWanted();
  ReadAcrossWrite(700, w);
  EXPECT_EQ(1, Stored());  // 710's
  EXPECT_FALSE(blockInMap(&b_->blockMap, 700));
  EXPECT_FALSE(blockInMap(&b_->cacheMap, 700));
  EXPECT_EQ(Lines{}, NewLog());
}

// Writers rewrite random blocks through the hook while the agent reads
// every block of the snapshot in runs of random length into two windows.
class ReadUnderWrites : public ReadTest {
 protected:
  void Run(bool wanted, int passes) {
    unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    Start();
    std::vector<std::vector<std::uint8_t>> truth(kBlocks);
    for (std::uint32_t bn = 0; bn < kBlocks; ++bn) truth[bn] = GetBlock(bn);
    if (wanted) LoadAllWanted();
    char* w[2] = {Map(b_->maxVMPages), Map(b_->maxVMPages)};
    ASSERT_NE(nullptr, w[0]);
    ASSERT_NE(nullptr, w[1]);
    const std::uint32_t perWindow = std::uint32_t(b_->maxVMPages) * 4096 / bs_;

    std::atomic<bool> stop{false};
    std::atomic<long> writes{0};
    std::vector<std::thread> writers;
    for (unsigned t = 0; t < 3; ++t) {
      writers.emplace_back([&, t] {
        std::mt19937 rng(seed + t);
        std::uniform_int_distribution<std::uint32_t> pick(FirstStamped(), kBlocks - 1);
        for (std::uint32_t gen = 1 + t * 10000; !stop; ++gen) {
          std::uint32_t bn = pick(rng);
          EXPECT_EQ(0, Write(bn, Stamp(bn, gen & 0xffff)));
          writes++;
        }
      });
    }
    WaitUntil([&] { return writes.load() >= 20; });

    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::uint32_t> len(1, perWindow);
    int which = 0;
    for (int pass = 0; pass < passes; ++pass) {
      for (std::uint32_t bn = 0; bn < kBlocks;) {
        std::uint32_t n = std::min(len(rng), kBlocks - bn);
        ASSERT_EQ(0, Read(bn, n, w[which])) << "run " << bn << "+" << n;
        for (std::uint32_t i = 0; i < n; ++i)
          ASSERT_EQ(truth[bn + i], InWindow(w[which], i)) << "block " << bn + i << " pass " << pass;
        bn += n;
        which ^= 1;
      }
    }
    stop = true;
    for (auto& t : writers) t.join();
    EXPECT_GT(writes.load(), 20);
    EXPECT_LE(getStateOf(b_), u32(CGD_STATE_READING));
    EXPECT_EQ(Lines{}, NewLog());
  }
};

TEST_F(ReadUnderWrites, WantedBlocksReadOnceEqualTheSnapshot) { Run(true, 1); }

TEST_F(ReadUnderWrites, BlocksReadBeforeTheMapLoadEqualTheSnapshotEveryTime) { Run(false, 2); }

}  // namespace
