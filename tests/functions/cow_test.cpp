// Copy-before-write on a live session: what kbackupd captures and in which
// order it releases held requests, its failure paths, the close's drain,
// the hook's choice of bios, and the thread's start and signals.
#include <signal.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "functions/cow_fixture.h"

namespace {

using namespace cgtest;
using Lines = std::vector<std::string>;

bool HasLine(const Lines& log, const std::string& line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

std::vector<SpyEvent> Only(const std::vector<SpyEvent>& ev, int rw) {
  std::vector<SpyEvent> out;
  for (const auto& e : ev)
    if (e.rw == rw) out.push_back(e);
  return out;
}

TEST_F(CowTest, MultiBlockWriteCapturesDueBlocksInOrderThenWritesOnceThenMarks) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  ASSERT_EQ(0, setBlock(&b->cacheMap, 10));
  ASSERT_EQ(0, setBlock(&b->cacheMap, 13));

  std::vector<std::uint8_t> data;
  for (std::uint32_t bn = 10; bn <= 13; ++bn) {
    auto s = Stamp(bn, 1);
    data.insert(data.end(), s.begin(), s.end());
  }
  ASSERT_EQ(0, Write(p1_, 10, data));
  Drained(b);

  auto ev = g_spy.Events();
  ASSERT_EQ(3u, ev.size());
  EXPECT_EQ(0, ev[0].rw);
  EXPECT_EQ(P1Sector(11), ev[0].sector);
  EXPECT_EQ(kBlockSize, ev[0].size);
  EXPECT_EQ(0, ev[0].storedCopies);
  EXPECT_EQ(0, ev[1].rw);
  EXPECT_EQ(P1Sector(12), ev[1].sector);
  EXPECT_EQ(1, ev[1].storedCopies);  // 11 stored before 12 is read
  EXPECT_EQ(1, ev[2].rw);
  EXPECT_EQ(P1Sector(10), ev[2].sector);
  EXPECT_EQ(4 * kBlockSize, ev[2].size);
  EXPECT_EQ(2, ev[2].storedCopies);
  EXPECT_EQ((1u << 10) | (1u << 13), ev[2].marked);  // 11, 12 not yet marked

  EXPECT_TRUE(blockInMap(&b->cacheMap, 11));
  EXPECT_TRUE(blockInMap(&b->cacheMap, 12));
  EXPECT_EQ(Stamp(11, 0), Stored(b, 11));
  EXPECT_EQ(Stamp(12, 0), Stored(b, 12));
  EXPECT_TRUE(Stored(b, 10).empty());
  EXPECT_EQ(Stamp(13, 1), GetBlock(kP1Start, 13));
  EXPECT_EQ(u32(CGD_STATE_SNAPPED), getStateOf(b));
  EXPECT_EQ(0, atomic_read(&b->curAllocBRs));
  EXPECT_EQ(2, atomic_read(&b->totalAllocBRs));
  // The capture pages are gone again; the cache map's stay.
  EXPECT_EQ(int(numPagesInBlockMap(&b->cacheMap)), atomic_read(&b->curAllocPages));
  EXPECT_EQ(int(numPagesInBlockMap(&b->cacheMap)) + 2, atomic_read(&b->totalAllocPages));
}

TEST_F(CowTest, QueuedRequestsAreReleasedInOrderReadsUntouchedSecondWriteUncaptured) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  // The first capture waits at the disk while the rest is queued behind it.
  disk_->hold(true);
  std::vector<std::uint8_t> w0 = Stamp(20, 1), w1 = Stamp(30, 1), w2 = Stamp(30, 2);
  std::vector<std::uint8_t> r(kBlockSize);
  std::vector<blk::IoRequest> reqs = {
      {.rw = 1, .sector = 40, .buf = w0.data(), .len = kBlockSize},
      {.rw = 1, .sector = 60, .buf = w1.data(), .len = kBlockSize},
      {.rw = 0, .sector = 50, .buf = r.data(), .len = kBlockSize},
      {.rw = 1, .sector = 60, .buf = w2.data(), .len = kBlockSize},
  };
  std::thread io([&] { EXPECT_EQ(0, blk::submit_and_wait(p1_, reqs)); });
  WaitUntil([b] { return atomic_read(&b->mrInQueue) == 4; });
  disk_->hold(false);
  io.join();
  Drained(b);

  auto ev = g_spy.Events();
  ASSERT_EQ(6u, ev.size());
  std::vector<std::pair<int, std::uint64_t>> order;
  for (const auto& e : ev) order.push_back({e.rw, e.sector});
  std::vector<std::pair<int, std::uint64_t>> want = {
      {0, P1Sector(20)}, {1, P1Sector(20)},  // capture of 20, then its write
      {0, P1Sector(30)}, {1, P1Sector(30)},  // 30 captured once, before the first write
      {0, P1Sector(25)},                     // the read, in its place, not captured
      {1, P1Sector(30)}};                    // the second write follows uncaptured
  EXPECT_EQ(want, order);
  EXPECT_EQ(2, atomic_read(&b->curAllocCPs));
  EXPECT_EQ(Stamp(30, 0), Stored(b, 30));
  EXPECT_EQ(Stamp(30, 2), GetBlock(kP1Start, 30));
  EXPECT_EQ(Stamp(25, 0), r);
  EXPECT_FALSE(blockInMap(&b->cacheMap, 25));
}

TEST_F(CowTest, ReadAheadPassesAndAWriteWithTheReadAheadBitIsCaptured) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  {
    HandBio ra(b->diskInfo.bdev, READA, 2 * 40, Stamp(0, 0));
    EXPECT_EQ(0, ra.Run());
  }
  EXPECT_TRUE(g_spy.Events().empty());  // passed on by the hook, not queued
  {
    HandBio wa(b->diskInfo.bdev, WRITE | READA, 2 * 41, Stamp(41, 1));
    EXPECT_EQ(0, wa.Run());
  }
  Drained(b);
  auto ev = g_spy.Events();
  ASSERT_EQ(2u, ev.size());
  EXPECT_EQ(0, ev[0].rw);
  EXPECT_EQ(P1Sector(41), ev[0].sector);
  EXPECT_EQ(Stamp(41, 0), Stored(b, 41));
  EXPECT_EQ(Stamp(41, 1), GetBlock(kP1Start, 41));
}

TEST_F(CowTest, ReadErrorOnTheOldBlockStillWritesFailsTheSessionAndStopsTracking) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  AutoMapSession* ams = Track(p1_);
  ASSERT_NE(nullptr, ams);
  disk_->add_fault({.first_sector = P1Sector(50), .sectors = 2, .reads = true, .writes = false});
  Remark();

  ASSERT_EQ(0, Write(p1_, 50, Stamp(50, 1)));
  Drained(b);
  EXPECT_EQ(Stamp(50, 1), GetBlock(kP1Start, 50));
  EXPECT_EQ(u32(CGD_STATE_READ_ERROR), getStateOf(b));
  EXPECT_EQ(u32(CGD_AUTOMAP_NOT_IN_SYNC), getStateOf(ams));
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
  Lines log = NewLog();
  EXPECT_TRUE(HasLine(log, "<3>cacheBlock: Block read error blockNum=50 MAJOR=8 MINOR=1")) << log.size();
  // The only session on the queue failed: the hooks left the queue.
  EXPECT_EQ(real_, LoadOnce(q_->make_request_fn));
  disk_->clear_faults();
  ASSERT_EQ(0, Write(p1_, 51, Stamp(51, 1)));
  EXPECT_EQ(Stamp(51, 1), GetBlock(kP1Start, 51));
  EXPECT_EQ(1u, Only(g_spy.Events(), 1).size());
}

TEST_F(CowTest, StoreRefusalIsLoggedAndTheWriteStillGoesOn) {
  Backup* b = Start(p1_, 1);
  ASSERT_NE(nullptr, b);
  ASSERT_EQ(0, Write(p1_, 60, Stamp(60, 1)));
  ASSERT_EQ(0, Write(p1_, 61, Stamp(61, 1)));
  Drained(b);
  EXPECT_EQ(u32(CGD_STATE_CACHE_ERROR), getStateOf(b));
  EXPECT_TRUE(HasLine(NewLog(), "<3>cacheBlock: Error caching blockNum=61 MAJOR=8 MINOR=1"));
  EXPECT_EQ(Stamp(61, 1), GetBlock(kP1Start, 61));
  EXPECT_EQ(1, atomic_read(&b->curAllocCPs));
  EXPECT_TRUE(blockInMap(&b->cacheMap, 60));
}

TEST_F(CowTest, NoPageForTheOldBlockFailsTheSessionAndReleasesTheWrite) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  // Handed to processMR directly, so that the capture's page is the next
  // page allocated.
  // Remapped to the whole disk, as the hook gets it.
  HandBio w(b->diskInfo.bdev->bd_contains, WRITE, P1Sector(70), Stamp(70, 1));
  auto* mr = static_cast<MakeRequest*>(kcalloc(1, sizeof(MakeRequest), GFP_NOIO));
  ASSERT_NE(nullptr, mr);
  *mr = {q_, w.bio, 70, 70, nullptr};
  atomic_inc(&b->mrInQueue);
  standin::fault::set(standin::fault::Site::page_alloc, {.nth = 1, .times = 1});
  processMR(b, mr);
  wait_for_completion(&w.done);
  EXPECT_EQ(0, w.error);
  EXPECT_TRUE(g_spy.Events().size() == 1 && g_spy.Events()[0].rw == 1);
  EXPECT_EQ(1, standin::fault::failures(standin::fault::Site::page_alloc));
  EXPECT_EQ(u32(CGD_STATE_CACHE_ERROR), getStateOf(b));
  EXPECT_EQ(Stamp(70, 1), GetBlock(kP1Start, 70));
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
}

TEST_F(CowTest, CloseWithRequestsQueuedReleasesAllCapturesNoneAndReturnsAfterTheDrain) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  constexpr int kWrites = 6;
  std::vector<std::vector<std::uint8_t>> bufs;
  std::vector<blk::IoRequest> reqs;
  for (int i = 0; i < kWrites; ++i) bufs.push_back(Stamp(100 + i, 1));
  for (int i = 0; i < kWrites; ++i)
    reqs.push_back({.rw = 1, .sector = std::uint64_t(200 + 2 * i), .buf = bufs[i].data(), .len = kBlockSize});

  disk_->hold(true);
  std::thread io([&] { EXPECT_EQ(0, blk::submit_and_wait(p1_, reqs)); });
  // The first capture waits at the disk; the other writes queue behind it.
  WaitUntil([] { return g_spy.Events().size() == 1; });
  WaitUntil([b] { return atomic_read(&b->mrInQueue) == kWrites; });
  std::thread closer([&] { Close(); });
  WaitUntil([b] { return getStateOf(b) == CGD_STATE_CLOSING; });
  disk_->hold(false);
  closer.join();
  // The close has returned: every held write has reached the disk.
  auto ev = g_spy.Events();
  EXPECT_EQ(std::size_t(kWrites), Only(ev, 1).size());
  EXPECT_EQ(1u, Only(ev, 0).size());  // only the capture that was under way
  io.join();
  for (int i = 0; i < kWrites; ++i) EXPECT_EQ(bufs[i], GetBlock(kP1Start, 100 + i));
  EXPECT_EQ(0, LoadOnce(backup_cachePID));
  EXPECT_EQ(nullptr, ActiveSession());
}

TEST_F(CowTest, CaptureWithoutAQueueFailsAsAReadErrorAndEndsTheWriteWithEIO) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  AutoMapSession* ams = Track(p1_);
  ASSERT_NE(nullptr, ams);
  blk::DiskConfig cfg;
  cfg.with_queue = false;
  cfg.minors = 1;
  auto gone = blk::Disk::ram(4096, cfg);
  ASSERT_NE(nullptr, gone);
  struct block_device* noQueue = bdget(gone->dev());
  ASSERT_NE(nullptr, noQueue);
  Remark();

  // The session's device has lost its queue by the time kbackupd reads.
  struct block_device* own = b->diskInfo.bdev;
  b->diskInfo.bdev = noQueue;
  HandBio w(noQueue, WRITE, P1Sector(80), Stamp(80, 1));
  auto* mr = static_cast<MakeRequest*>(kcalloc(1, sizeof(MakeRequest), GFP_NOIO));
  ASSERT_NE(nullptr, mr);
  *mr = {q_, w.bio, 80, 80, nullptr};
  atomic_inc(&b->mrInQueue);
  processMR(b, mr);
  b->diskInfo.bdev = own;

  wait_for_completion(&w.done);  // ended, not left hanging
  EXPECT_EQ(-EIO, w.error);
  EXPECT_EQ(0, atomic_read(&b->mrInQueue));
  EXPECT_EQ(u32(CGD_STATE_READ_ERROR), getStateOf(b));
  EXPECT_EQ(u32(CGD_AUTOMAP_NOT_IN_SYNC), getStateOf(ams));
  EXPECT_EQ(0, atomic_read(&b->curAllocBRs));
  Lines log = NewLog();
  EXPECT_EQ(2, std::count(log.begin(), log.end(),
                          "<3>callRealMRF: Block read error: (bdev queue is null) MAJOR=8 MINOR=1"));
  EXPECT_TRUE(HasLine(log, "<3>cacheBlock: Block read error blockNum=80 MAJOR=8 MINOR=1"));
  bdput(noQueue);
}

TEST_F(CowTest, HeldRecordAllocationFailureFailsTheSessionAndWritesPass) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  standin::fault::set(standin::fault::Site::kmalloc, {.nth = 1, .times = 1});
  ASSERT_EQ(0, Write(p1_, 90, Stamp(90, 1)));
  EXPECT_EQ(1, standin::fault::failures(standin::fault::Site::kmalloc));
  EXPECT_EQ(u32(CGD_STATE_HOOK_ERROR), getStateOf(b));
  EXPECT_EQ(Stamp(90, 1), GetBlock(kP1Start, 90));
  ASSERT_EQ(0, Write(p1_, 91, Stamp(91, 1)));
  EXPECT_EQ(Stamp(91, 1), GetBlock(kP1Start, 91));
  EXPECT_TRUE(g_spy.Events().empty());
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
}

TEST_F(CowTest, WritesToAnotherPartitionPassAndAreTracked) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  AutoMapSession* ams = Track(p2_);
  ASSERT_NE(nullptr, ams);
  ASSERT_EQ(0, Write(p2_, 7, Stamp(7, 1)));
  EXPECT_EQ(Stamp(7, 1), GetBlock(kP2Start, 7));
  EXPECT_TRUE(g_spy.Events().empty());
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
  EXPECT_TRUE(blockInMap(&ams->map, 7));
  EXPECT_FALSE(blockInMap(&ams->map, 6));
  EXPECT_FALSE(blockInMap(&ams->map, 8));
}

TEST_F(CowTest, WritesToTheBackedUpPartitionAreTrackedWhetherHeldOrNot) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  AutoMapSession* ams = Track(p1_);
  ASSERT_NE(nullptr, ams);
  ASSERT_EQ(0, setBlock(&b->cacheMap, 9));
  ASSERT_EQ(0, Write(p1_, 8, Stamp(8, 1)));  // held
  ASSERT_EQ(0, Write(p1_, 9, Stamp(9, 1)));  // already preserved: passes
  Drained(b);
  EXPECT_TRUE(blockInMap(&ams->map, 8));
  EXPECT_TRUE(blockInMap(&ams->map, 9));
  EXPECT_FALSE(blockInMap(&ams->map, 10));
  EXPECT_EQ(1u, Only(g_spy.Events(), 1).size());
}

// A whole disk's image holds its partitions' sectors too: a write through a
// partition changes the whole disk, so its old contents are preserved like
// any other.  Blocks beyond the file system's size as the agent gave it are
// no block of the backup and pass.
TEST_F(CowTest, WholeDiskBackupHoldsWritesThroughItsPartitionsToo) {
  blk::DiskConfig cfg;
  auto whole = blk::Disk::ram(4096, cfg);
  ASSERT_NE(nullptr, whole);
  // Partition 1 lies inside the disk's first kBlocks blocks, partition 2 beyond them.
  ASSERT_TRUE(blk::write_mbr(*whole, {{.start = 512, .sectors = 512}, {.start = 2048, .sectors = 2048}}));
  ASSERT_EQ(0, whole->rescan());
  ASSERT_TRUE(blk::format_testfs(whole->dev(), kBlockSize));
  ASSERT_EQ(0, blk::mount(whole->dev()));
  Remark();
  Backup* b = Start(whole->dev());
  ASSERT_NE(nullptr, b);

  ASSERT_EQ(0, Write(whole->dev(), 100, Stamp(100, 1)));     // the disk's block 100
  ASSERT_EQ(0, Write(whole->part_dev(1), 5, Stamp(5, 1)));   // the disk's block 261
  ASSERT_EQ(0, Write(whole->part_dev(2), 5, Stamp(7, 1)));   // the disk's block 1029
  Drained(b);
  auto ev = g_spy.Events();
  ASSERT_EQ(4u, ev.size());
  EXPECT_EQ(200u, ev[0].sector);  // block 100 preserved, then the write released
  EXPECT_EQ(1, ev[1].rw);
  EXPECT_EQ(0, ev[2].rw);
  EXPECT_EQ(522u, ev[2].sector);  // block 261 preserved, then the write released
  EXPECT_EQ(1, ev[3].rw);
  EXPECT_EQ(522u, ev[3].sector);
  EXPECT_TRUE(blockInMap(&b->cacheMap, 100));
  EXPECT_TRUE(blockInMap(&b->cacheMap, 261));
  EXPECT_EQ(2, atomic_read(&b->curAllocCPs));
  std::vector<std::uint8_t> bytes(kBlockSize);
  ASSERT_TRUE(whole->read_bytes((2048 + 10) * 512, bytes.data(), bytes.size()));
  EXPECT_EQ(Stamp(7, 1), bytes) << "the write beyond the file system went through";
  Close();
  EXPECT_EQ(0, blk::umount(whole->dev()));
}

TEST_F(CowTest, ThreadStartFailureReturnsTheErrorAndGivesTheWakeUpBack) {
  EXPECT_EQ(0, cgdOpen(&inode_, &f_));
  Backup* b = static_cast<Backup*>(f_.private_data);
  ASSERT_NE(nullptr, b);
  standin::fault::set(standin::fault::Site::kthread, {.nth = 1, .times = 1});
  int rc = startWorkQueue(b);
  EXPECT_LT(rc, 0);
  EXPECT_EQ(rc, LoadOnce(backup_cachePID));
  EXPECT_EQ(0, b->startedCacheThread);
  EXPECT_EQ(Lines{"<3>startWorkQueue: error starting cache thread"}, NewLog());
  EXPECT_EQ(1, __atomic_load_n(&signalThread.count, __ATOMIC_SEQ_CST));
  EXPECT_TRUE(standin::task::kernel_threads().empty());
  // A later start gets a thread that works.
  standin::fault::clear_all();
  Close();
  Backup* s = Start(p1_);
  ASSERT_NE(nullptr, s);
  ASSERT_EQ(0, Write(p1_, 3, Stamp(3, 1)));
  Drained(s);
  EXPECT_EQ(Stamp(3, 0), Stored(s, 3));
}

TEST_F(CowTest, ThreadRunsAsKbackupdAndSurvivesSigkill) {
  Backup* b = Start(p1_);
  ASSERT_NE(nullptr, b);
  pid_t pid = LoadOnce(backup_cachePID);
  ASSERT_GT(pid, 0);
  EXPECT_EQ("kbackupd", standin::task::comm(pid));
  EXPECT_TRUE(HasLine(NewLog(), "<6>backup_cache: kbackupd thread started"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0, standin::task::send_signal(pid, SIGKILL));
  ASSERT_EQ(0, Write(p1_, 4, Stamp(4, 1)));
  Drained(b);
  EXPECT_EQ(Stamp(4, 0), Stored(b, 4));
  EXPECT_EQ("kbackupd", standin::task::comm(pid));
  Remark();
  Close();
  EXPECT_TRUE(HasLine(NewLog(), "<6>backup_cache: backupd thread exiting"));
  EXPECT_EQ(1, __atomic_load_n(&signalThread.count, __ATOMIC_SEQ_CST));
}

}  // namespace
