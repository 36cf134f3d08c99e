// Shared set-up of the copy-before-write cases: a RAM disk with two mounted
// partitions of 1024 blocks of 1 KiB each, every block stamped with its own
// number, and a backup session on partition 1 started by the module's own
// start and brought to the snapshot state.  A spy stands in for the disk's
// real make-request function in the session, so a case sees, in order, every bio kbackupd sends to the disk (capture reads and
// released requests) together with what the store held at that moment.
#pragma once
#include <sched.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standin/block.h"
#include "standin/fault.h"
#include "standin/task.h"
#include "support/kernel_test.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace cgtest {

namespace blk = standin::block;

constexpr std::uint64_t kP1Start = 64;
constexpr std::uint64_t kP2Start = 64 + 2048;
constexpr std::uint64_t kPartSectors = 2048;
constexpr std::uint32_t kBlockSize = 1024;
constexpr std::uint32_t kBlocks = kPartSectors * 512 / kBlockSize;

// The stamp of block bn in generation gen: every 32-bit word holds both.
inline std::vector<std::uint8_t> Stamp(std::uint32_t bn, std::uint32_t gen) {
  std::vector<std::uint8_t> buf(kBlockSize);
  std::uint32_t word = (gen << 16) | bn;
  for (std::size_t i = 0; i < buf.size(); i += 4) std::memcpy(&buf[i], &word, 4);
  return buf;
}

// One bio that kbackupd handed to the disk.
struct SpyEvent {
  int rw;
  std::uint64_t sector;  // whole disk
  std::uint32_t size;
  int storedCopies;      // curAllocCPs when it was sent
  std::uint32_t marked;  // cacheMap bits of blocks 0..31 when it was sent
};

struct Spy {
  std::mutex mu;
  std::vector<SpyEvent> events;
  Backup* b = nullptr;
  make_request_fn* real = nullptr;

  std::vector<SpyEvent> Events() {
    std::lock_guard lk(mu);
    return events;
  }
};
inline Spy g_spy;

inline int spyMRF(request_queue_t* q, struct bio* bio) {
  SpyEvent e{int(bio->bi_rw & 3), bio->bi_sector, bio->bi_size,
             atomic_read(&g_spy.b->curAllocCPs), 0};
  for (std::uint32_t bn = 0; bn < 32; ++bn)
    if (blockInMap(&g_spy.b->cacheMap, bn)) e.marked |= 1u << bn;
  {
    std::lock_guard lk(g_spy.mu);
    g_spy.events.push_back(e);
  }
  return g_spy.real(q, bio);
}

// Spins (yielding) until pred holds; the suite's time limit catches a hang.
template <class Pred>
void WaitUntil(Pred pred) {
  while (!pred()) sched_yield();
}

// A bio built by hand, for directions rw_sectors does not offer.
struct HandBio {
  struct completion done;
  int error = 1;
  struct page* page = nullptr;
  struct bio* bio = nullptr;

  static int endIO(struct bio* bio, unsigned int, int err) {
    if (bio->bi_size) return 1;
    auto* h = static_cast<HandBio*>(bio->bi_private);
    h->error = err;
    complete(&h->done);
    return 0;
  }
  // rw: the bi_rw bits; sector counted on bdev; one block of data.
  HandBio(struct block_device* bdev, unsigned long rw, std::uint64_t sector,
          const std::vector<std::uint8_t>& data) {
    init_completion(&done);
    page = alloc_page(GFP_KERNEL);
    std::memcpy(page_address(page), data.data(), data.size());
    bio = bio_alloc(GFP_KERNEL, 1);
    bio->bi_bdev = bdev;
    bio->bi_sector = sector;
    bio->bi_rw = rw;
    bio->bi_io_vec[0] = {page, unsigned(data.size()), 0};
    bio->bi_vcnt = 1;
    bio->bi_size = unsigned(data.size());
    bio->bi_private = this;
    bio->bi_end_io = endIO;
  }
  // Submits and waits; returns the completion's error.
  int Run() {
    generic_make_request(bio);
    wait_for_completion(&done);
    return error;
  }
  ~HandBio() {
    bio_put(bio);
    __free_page(page);
  }
};

class CowTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    disk_ = blk::Disk::ram(kP2Start + kPartSectors + 64);
    ASSERT_NE(nullptr, disk_);
    ASSERT_TRUE(blk::write_mbr(*disk_, {{.start = kP1Start, .sectors = kPartSectors},
                                        {.start = kP2Start, .sectors = kPartSectors}}));
    ASSERT_EQ(0, disk_->rescan());
    p1_ = disk_->part_dev(1);
    p2_ = disk_->part_dev(2);
    for (blk::devnum p : {p1_, p2_}) {
      ASSERT_TRUE(blk::format_testfs(p, kBlockSize));
      ASSERT_EQ(0, blk::mount(p));
    }
    // Blocks 2 and up carry stamps (0 and 1 hold the file system's header).
    for (std::uint32_t bn = 2; bn < kBlocks; ++bn) ASSERT_TRUE(PutBlock(kP1Start, bn, Stamp(bn, 0)));
    q_ = disk_->queue();
    real_ = LoadOnce(q_->make_request_fn);
    ASSERT_EQ(0, cgdInit());
    Remark();
  }

  void TearDown() override {
    if (f_.private_data) Close();
    standin::fault::clear_all();
    cgdExit();
    EXPECT_TRUE(standin::task::wait_kernel_threads(10000));
    EXPECT_EQ(real_, LoadOnce(q_->make_request_fn));
    EXPECT_EQ(nullptr, ActiveSession());
    for (blk::devnum p : {p1_, p2_}) {
      if (blk::mounted(p)) {
        EXPECT_EQ(0, blk::umount(p));
      }
    }
    disk_.reset();
    ExpectNoLeaks();
    KernelTest::TearDown();
  }

  // Opens the control device and starts a session on dev with the module's
  // own start, puts the spy between the session and the disk and installs
  // the hook, then (snap) takes it to state 4 the way the snapshot does.
  Backup* Start(blk::devnum dev, std::uint32_t maxCacheBlocks = kBlocks, bool snap = true) {
    EXPECT_EQ(0, cgdOpen(&inode_, &f_));
    Backup* b = static_cast<Backup*>(f_.private_data);
    if (!b) return nullptr;
    EXPECT_EQ(0, StartOnOwnTask(b, dev, kBlocks, maxCacheBlocks));
    g_spy.b = b;
    g_spy.real = b->diskInfo.realMRF;
    g_spy.events.clear();
    b->diskInfo.realMRF = spyMRF;
    EXPECT_EQ(0, setMRF(b, cgdMRF));
    if (snap) Snap(b);
    return b;
  }
  static void Snap(Backup* b) {
    down_write(&b->writers);
    setStateOf(b, u32(CGD_STATE_SNAPPED));
    up_write(&b->writers);
  }
  void Close() { EXPECT_EQ(0, cgdRelease(&inode_, &f_)); }

  // A tracking session in sync on dev.
  AutoMapSession* Track(blk::devnum dev) {
    Backup t{};
    EXPECT_EQ(0, getDiskInfo(&t.diskInfo, dev));
    t.diskInfo.numBlocks = kBlocks;
    AutoMapSession* ams = nullptr;
    EXPECT_EQ(0, newAMS(&t, &ams));
    closeDiskInfo(&t.diskInfo);
    if (ams) setStateOf(ams, u32(CGD_AUTOMAP_IN_SYNC));
    return ams;
  }

  // Block bn of the partition that starts at start, straight from storage.
  std::vector<std::uint8_t> GetBlock(std::uint64_t start, std::uint32_t bn) {
    std::vector<std::uint8_t> buf(kBlockSize);
    EXPECT_TRUE(disk_->read_bytes((start + 2 * bn) * 512, buf.data(), buf.size()));
    return buf;
  }
  bool PutBlock(std::uint64_t start, std::uint32_t bn, const std::vector<std::uint8_t>& d) {
    return disk_->write_bytes((start + 2 * bn) * 512, d.data(), d.size());
  }
  // Writes through the block layer (and so through the hook) and waits.
  static int Write(blk::devnum dev, std::uint32_t bn, const std::vector<std::uint8_t>& d) {
    std::vector<std::uint8_t> buf = d;
    return blk::rw_sectors(dev, 1, std::uint64_t(bn) * 2, buf.data(), buf.size());
  }
  // The store's copy of bn (empty when it holds none).
  static std::vector<std::uint8_t> Stored(Backup* b, std::uint32_t bn) {
    std::vector<std::uint8_t> buf(kBlockSize);
    if (cacheRead(b, buf.data(), bn) != int(kBlockSize)) buf.clear();
    return buf;
  }
  static void Drained(Backup* b) {
    WaitUntil([b] { return atomic_read(&b->mrInQueue) == 0; });
  }
  static std::uint64_t P1Sector(std::uint32_t bn) { return kP1Start + 2 * bn; }

  std::unique_ptr<blk::Disk> disk_;
  blk::devnum p1_ = 0, p2_ = 0;
  request_queue_t* q_ = nullptr;
  make_request_fn* real_ = nullptr;
  struct inode inode_ = {};
  struct file f_ = {};
};

}  // namespace cgtest
