// Bio mapping and pass-through, called directly: whether a bio lies on a
// device by the extent the module recorded for it (primary and logical
// partitions, a whole disk, another disk, a submitter that holds the disk's
// open lock), the block range of a bio, the preserve rule in each state, and
// callRealMRF with and without a queue.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "standin/block.h"
#include "support/kernel_test.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace blk = standin::block;

namespace {

// A disk with partitions 1 and 2, an extended partition 3 and logical
// partitions 5 and 6 in it, and a gap between 1 and 2.
std::unique_ptr<blk::Disk> partitioned_disk(const blk::DiskConfig& cfg = {}) {
  auto disk = blk::Disk::ram(8192, cfg);
  if (!disk) return nullptr;
  bool ok = blk::write_mbr(*disk,
                           {{.start = 63, .sectors = 1000},
                            {.start = 1100, .sectors = 900},
                            {.start = 4096, .sectors = 4096, .type = 0x05}},
                           {{.start = 4104, .sectors = 1000}, {.start = 5200, .sectors = 2000}});
  if (!ok || disk->rescan() != 0) return nullptr;
  return disk;
}

struct bio bio_at(struct block_device* bdev, std::uint64_t sector, unsigned size = 512) {
  struct bio b;
  std::memset(&b, 0, sizeof b);
  b.bi_bdev = bdev;
  b.bi_sector = sector;
  b.bi_size = size;
  return b;
}

class BioMapTest : public KernelTest {
 protected:
  void TearDown() override {
    ExpectNoLeaks();
    KernelTest::TearDown();
  }
};

// ---- bioOnDevice -----------------------------------------------------------------

// The extent a session records for a device: kdev, start and length.
DiskInfo extent(blk::devnum dev, u64 start, u64 len) {
  DiskInfo di;
  std::memset(&di, 0, sizeof di);
  di.kdev = dev;
  di.partitionStart = start;
  di.partitionLen = len;
  return di;
}

// The whole disk, open (bios are only ever sent to open devices).
struct OpenWhole {
  explicit OpenWhole(blk::devnum dev) : bdev(bdget(dev)) {
    if (blkdev_get(bdev, FMODE_READ, 0)) bdev = nullptr;
  }
  ~OpenWhole() {
    if (bdev) blkdev_put(bdev);
  }
  struct block_device* bdev;
};

TEST_F(BioMapTest, ABioIsOnTheDeviceWhoseRecordedExtentItTouches) {
  auto disk = partitioned_disk();
  ASSERT_TRUE(disk);
  OpenWhole whole(disk->dev());
  ASSERT_NE(nullptr, whole.bdev);
  DiskInfo p2 = extent(disk->part_dev(2), 1100, 900);
  DiskInfo p5 = extent(disk->part_dev(5), 4104, 1000);

  struct Case {
    std::uint64_t sector;
    unsigned size;
    bool on2, on5;
  } cases[] = {
      {1099, 512, false, false},  {1100, 512, true, false},   // first sector of 2
      {1999, 512, true, false},   {2000, 512, false, false},  // last of 2, just past it
      {1096, 4096, true, false},                              // runs into 2 from before it
      {1996, 4096, true, false},                              // runs out of 2
      {4104, 512, false, true},   {5103, 512, false, true},   {5104, 512, false, false},
      {0, 512, false, false},     {8191, 512, false, false},
  };
  for (const Case& c : cases) {
    struct bio b = bio_at(whole.bdev, c.sector, c.size);
    EXPECT_EQ(c.on2, bioOnDevice(&p2, &b) != 0) << "sector " << c.sector;
    EXPECT_EQ(c.on5, bioOnDevice(&p5, &b) != 0) << "sector " << c.sector;
  }
}

TEST_F(BioMapTest, AWholeDisksExtentHoldsItsPartitionsToo) {
  auto disk = partitioned_disk();
  ASSERT_TRUE(disk);
  OpenWhole whole(disk->dev());
  ASSERT_NE(nullptr, whole.bdev);
  DiskInfo all = extent(disk->dev(), 0, 8192);
  for (std::uint64_t sector : {0ull, 63ull, 1500ull, 5104ull, 8191ull}) {
    struct bio b = bio_at(whole.bdev, sector);
    EXPECT_TRUE(bioOnDevice(&all, &b)) << "sector " << sector;
  }
}

TEST_F(BioMapTest, ABioOfAnotherDiskIsNotOnTheDevice) {
  auto sda = blk::Disk::ram(4096);
  ASSERT_TRUE(sda);
  auto sdb = blk::Disk::ram(4096);
  ASSERT_TRUE(sdb);
  ASSERT_TRUE(blk::write_mbr(*sdb, {{}, {.start = 2048, .sectors = 1024}}));
  ASSERT_EQ(0, sdb->rescan());
  OpenWhole a(sda->dev()), b(sdb->dev());
  ASSERT_NE(nullptr, a.bdev);
  ASSERT_NE(nullptr, b.bdev);
  ASSERT_EQ(16, b.bdev->bd_disk->first_minor);

  DiskInfo sdb2 = extent(sdb->part_dev(2), 2048, 1024);  // 8:18
  struct bio onB = bio_at(b.bdev, 2048 + 5);
  struct bio onA = bio_at(a.bdev, 2048 + 5);  // the same sectors of sda
  EXPECT_TRUE(bioOnDevice(&sdb2, &onB));
  EXPECT_FALSE(bioOnDevice(&sdb2, &onA));
  DiskInfo otherMajor = extent(blk::mkdev(9, 18), 2048, 1024);
  EXPECT_FALSE(bioOnDevice(&otherMajor, &onB));
}

// The submitter may hold the whole disk's open lock (a rescan does): the
// mapping takes no lock of the disk.
TEST_F(BioMapTest, MappingDoesNotWaitForTheDisksOpenLock) {
  auto disk = partitioned_disk();
  ASSERT_TRUE(disk);
  OpenWhole whole(disk->dev());
  ASSERT_NE(nullptr, whole.bdev);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_lock(&whole.bdev->bd_mutex);
#else
  down(&whole.bdev->bd_sem);
#endif
  DiskInfo p2 = extent(disk->part_dev(2), 1100, 900);
  struct bio b = bio_at(whole.bdev, 1500);
  EXPECT_TRUE(bioOnDevice(&p2, &b));
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_unlock(&whole.bdev->bd_mutex);
#else
  up(&whole.bdev->bd_sem);
#endif
}

// A rescan holds the open lock and reads the table through the queue; a hook
// on that queue that places each bio must let it complete.
std::atomic<int> g_hookCalls{0};
std::atomic<int> g_hookOnP2{-1};
DiskInfo g_p2;
make_request_fn* g_diskMRF = nullptr;

int mappingHook(request_queue_t* q, struct bio* bio) {
  g_hookOnP2 = bioOnDevice(&g_p2, bio);
  g_hookCalls++;
  return g_diskMRF(q, bio);
}

void set_queue_fn(request_queue_t* q, make_request_fn* fn) {
  unsigned long flags;
  spin_lock_irqsave(q->queue_lock, flags);
  q->make_request_fn = fn;
  spin_unlock_irqrestore(q->queue_lock, flags);
}

TEST_F(BioMapTest, RescanThroughAMappingHookCompletes) {
  auto disk = partitioned_disk();
  ASSERT_TRUE(disk);
  g_p2 = extent(disk->part_dev(2), 1100, 900);
  request_queue_t* q = disk->queue();
  g_diskMRF = q->make_request_fn;
  g_hookCalls = 0;
  set_queue_fn(q, mappingHook);
  EXPECT_EQ(0, disk->rescan());
  set_queue_fn(q, g_diskMRF);
  EXPECT_GE(g_hookCalls.load(), 1);
  EXPECT_EQ(0, g_hookOnP2.load());  // the table's sectors lie before partition 2
  EXPECT_EQ(5u, disk->partitions().size());
}

// ---- BIOToBlockNumbers -----------------------------------------------------------

struct Range {
  u32 start, end;
  bool operator==(const Range&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Range& r) {
  return os << "[" << r.start << ", " << r.end << "]";
}

Range blocks_of(u64 partStart, u64 partLen, int shift, u64 sector, unsigned size) {
  DiskInfo di;
  std::memset(&di, 0, sizeof di);
  di.partitionStart = partStart;
  di.partitionLen = partLen;
  di.sectorsPerBlockShift = shift;
  struct bio b = bio_at(nullptr, sector, size);
  Range r{0xdeadbeef, 0xdeadbeef};
  BIOToBlockNumbers(&di, &b, &r.start, &r.end);
  return r;
}

TEST(BioToBlockNumbers, BlocksOfABioInsideThePartition) {
  // partition at 63, 4096-byte blocks (8 sectors)
  EXPECT_EQ((Range{0, 1}), blocks_of(63, 100000, 3, 63, 8192));
  EXPECT_EQ((Range{1, 1}), blocks_of(63, 100000, 3, 63 + 8, 4096));
  EXPECT_EQ((Range{0, 1}), blocks_of(63, 100000, 3, 63 + 7, 1024));  // straddles a boundary
  EXPECT_EQ((Range{0, 0}), blocks_of(63, 100000, 3, 63, 100));       // part of one sector
  EXPECT_EQ((Range{0, 1}), blocks_of(63, 100000, 3, 63, 4097));      // one byte into block 1
  EXPECT_EQ((Range{5, 5}), blocks_of(0, 100000, 0, 5, 512));         // 512-byte blocks
  EXPECT_EQ((Range{2, 3}), blocks_of(0, 100000, 1, 4, 2048));        // 1024-byte blocks
  // A bio that starts before the partition counts from its first sector,
  // up to the bio's last sector: 59..70 covers partition sectors 0..7.
  EXPECT_EQ((Range{0, 0}), blocks_of(63, 100000, 3, 10, 512));
  EXPECT_EQ((Range{0, 0}), blocks_of(63, 100000, 3, 59, 6144));
  EXPECT_EQ((Range{0, 1}), blocks_of(63, 100000, 3, 59, 6656));
}

TEST(BioToBlockNumbers, EndIsClampedToThePartitionsLastSector) {
  // 10 blocks of 8 sectors: sectors 0..79 of the partition
  EXPECT_EQ((Range{9, 9}), blocks_of(63, 80, 3, 63 + 72, 4096));     // ends exactly at the end
  EXPECT_EQ((Range{9, 9}), blocks_of(63, 80, 3, 63 + 72, 4608));     // one sector past it
  EXPECT_EQ((Range{8, 9}), blocks_of(63, 80, 3, 63 + 64, 65536));    // far past it
  EXPECT_EQ((Range{12, 9}), blocks_of(63, 80, 3, 63 + 96, 4096));    // wholly past it
  EXPECT_EQ((Range{0, 0}), blocks_of(0, 0, 3, 0, 4096));             // empty partition
}

TEST(BioToBlockNumbers, ZeroLengthBios) {
  // On a block boundary after sector 0: no block (end before start).
  EXPECT_EQ((Range{2, 1}), blocks_of(63, 1000, 3, 63 + 16, 0));
  // At the partition's sector 0 the end cannot go below 0.
  EXPECT_EQ((Range{0, 0}), blocks_of(63, 1000, 3, 63, 0));
  // Inside a block it stays in that block.
  EXPECT_EQ((Range{2, 2}), blocks_of(63, 1000, 3, 63 + 17, 0));
}

TEST(BioToBlockNumbers, SectorArithmeticIsSixtyFourBit) {
  const u64 big = (1ull << 32) + 8;  // a partition sector beyond 32 bits
  EXPECT_EQ((Range{0x20000001u, 0x20000001u}), blocks_of(63, 1ull << 34, 3, 63 + big, 4096));
  const u64 farStart = (1ull << 33) + 5;
  EXPECT_EQ((Range{2, 2}), blocks_of(farStart, 1000, 3, farStart + 16, 512));
}

// ---- doWeCacheBlock -----------------------------------------------------------------

class PreserveRuleTest : public BioMapTest {
 protected:
  void SetUp() override {
    BioMapTest::SetUp();
    b_ = static_cast<Backup*>(std::calloc(1, sizeof(Backup)));
    b_->diskInfo.numBlocks = 100;  // the file system's size the agent gave
    u32 pages = 0;
    ASSERT_EQ(CGD_OK, newBlockMap(&b_->blockMap, 100, nullptr, 1, &pages));
    ASSERT_EQ(CGD_OK, newBlockMap(&b_->cacheMap, 100, nullptr, 1, &pages));
    setBlock(&b_->blockMap, 1);  // wanted: 1, 2
    setBlock(&b_->blockMap, 2);
    setBlock(&b_->cacheMap, 2);  // preserved: 2, 3
    setBlock(&b_->cacheMap, 3);
  }
  void TearDown() override {
    u32 pages;
    closeBlockMap(&b_->blockMap, &pages);
    closeBlockMap(&b_->cacheMap, &pages);
    std::free(b_);
    BioMapTest::TearDown();
  }
  std::vector<int> rule(u32 state) {
    setStateOf(b_, state);
    std::vector<int> out;
    for (u32 bn : {0u, 1u, 2u, 3u, 100u}) out.push_back(doWeCacheBlock(b_, bn));
    return out;
  }
  Backup* b_ = nullptr;
};

// Block 100 lies beyond the file system (and every map of the session): it
// is never due, or each write to it would be preserved again.
TEST_F(PreserveRuleTest, BeforeTheMapIsLoadedEveryBlockNotPreservedIsDue) {
  for (u32 state : {CGD_STATE_STARTED, CGD_STATE_SNAPPED, CGD_STATE_LOADING_MAP,
                    CGD_STATE_CLOSING, CGD_STATE_READ_ERROR}) {
    EXPECT_EQ((std::vector<int>{1, 1, 0, 0, 0}), rule(state)) << "state " << state;
  }
}

TEST_F(PreserveRuleTest, WhileReadingOnlyWantedBlocksNotPreservedAreDue) {
  EXPECT_EQ((std::vector<int>{0, 1, 0, 0, 0}), rule(CGD_STATE_READING));
}

// ---- callRealMRF ----------------------------------------------------------------------

struct Completion {
  std::promise<int> done;
  std::atomic<int> calls{0};
};

int recordEndIO(struct bio* bio, unsigned int bytesDone, int err) {
  if (bio->bi_size) return 1;
  auto* c = static_cast<Completion*>(bio->bi_private);
  if (c->calls++ == 0) c->done.set_value(err);
  return 0;
}

struct ReadBio {
  struct bio* bio = nullptr;
  struct page* page = nullptr;
  Completion c;
  ReadBio(struct block_device* bdev, u64 sector) {
    bio = bio_alloc(GFP_NOIO, 1);
    page = alloc_page(GFP_KERNEL);
    bio->bi_io_vec[0].bv_page = page;
    bio->bi_io_vec[0].bv_len = 4096;
    bio->bi_io_vec[0].bv_offset = 0;
    bio->bi_vcnt = 1;
    bio->bi_idx = 0;
    bio->bi_size = 4096;
    bio->bi_sector = sector;
    bio->bi_bdev = bdev;
    bio->bi_rw = 0;  // read
    bio->bi_flags |= 1UL << BIO_UPTODATE;
    bio->bi_end_io = recordEndIO;
    bio->bi_private = &c;
  }
  ~ReadBio() {
    bio_put(bio);
    __free_page(page);
  }
  const std::uint8_t* data() const { return static_cast<std::uint8_t*>(page_address(page)); }
};

std::atomic<int> g_realCalls{0};
request_queue_t* g_realQueue = nullptr;
int g_realResult = 0;

// Stands for the queue's real function: passes the bio on to the disk's own
// function (when asked to) and returns what the test chose.
int testRealMRF(request_queue_t* q, struct bio* bio) {
  g_realCalls++;
  g_realQueue = q;
  if (g_realResult == 0) return g_diskMRF(q, bio);
  return g_realResult;
}

class CallRealMRFTest : public BioMapTest {
 protected:
  void SetUp() override {
    BioMapTest::SetUp();
    b_ = static_cast<Backup*>(std::calloc(1, sizeof(Backup)));
    b_->diskInfo.realMRF = testRealMRF;
    g_realCalls = 0;
    g_realQueue = nullptr;
  }
  void TearDown() override {
    std::free(b_);
    BioMapTest::TearDown();
  }
  Backup* b_ = nullptr;
};

TEST_F(CallRealMRFTest, PassesTheBioToTheRealFunctionOnly) {
  auto disk = blk::Disk::ram(2048);
  ASSERT_TRUE(disk);
  std::vector<std::uint8_t> pattern(4096);
  for (std::size_t i = 0; i < pattern.size(); i++) pattern[i] = std::uint8_t(i * 7 + 1);
  ASSERT_TRUE(disk->write_bytes(16 * 512, pattern.data(), pattern.size()));
  OpenWhole opened(disk->dev());
  struct block_device* whole = opened.bdev;
  g_diskMRF = disk->queue()->make_request_fn;
  g_realResult = 0;
  disk->reset_counters();
  {
    ReadBio rb(whole, 16);
    EXPECT_EQ(0, callRealMRF(b_, rb.bio));
    EXPECT_EQ(0, rb.c.done.get_future().get());
    EXPECT_EQ(1, g_realCalls.load());
    EXPECT_EQ(disk->queue(), g_realQueue);
    EXPECT_EQ(0, std::memcmp(pattern.data(), rb.data(), 4096));
    EXPECT_EQ(1, disk->counters().reads);  // submitted once
  }
}

TEST_F(CallRealMRFTest, ResubmitsWhenTheRealFunctionAsksForIt) {
  auto disk = blk::Disk::ram(2048);
  ASSERT_TRUE(disk);
  OpenWhole opened(disk->dev());
  struct block_device* whole = opened.bdev;
  g_diskMRF = disk->queue()->make_request_fn;
  g_realResult = 1;  // not taken: the block layer submits it again
  disk->reset_counters();
  {
    ReadBio rb(whole, 8);
    EXPECT_EQ(0, callRealMRF(b_, rb.bio));
    EXPECT_EQ(0, rb.c.done.get_future().get());  // served by the disk
    EXPECT_EQ(1, g_realCalls.load());
    EXPECT_EQ(1, disk->counters().reads);
  }
}

TEST_F(CallRealMRFTest, DeviceWithoutQueueIsLoggedAndFailedNotSubmitted) {
  blk::DiskConfig cfg;
  cfg.with_queue = false;
  auto disk = blk::Disk::ram(2048, cfg);
  ASSERT_TRUE(disk);
  OpenWhole opened(disk->dev());
  struct block_device* whole = opened.bdev;
  b_->diskInfo.kdev = blk::mkdev(8, 3);
  Remark();
  {
    ReadBio rb(whole, 8);
    EXPECT_EQ(0, callRealMRF(b_, rb.bio));
    EXPECT_EQ(0, g_realCalls.load());
    auto done = rb.c.done.get_future();
    ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(0)));  // already ended
    EXPECT_EQ(-EIO, done.get());
    EXPECT_FALSE(bio_flagged(rb.bio, BIO_UPTODATE));
    EXPECT_EQ(1, rb.c.calls.load());
  }
  EXPECT_EQ(std::vector<std::string>{"<3>callRealMRF: Block read error: (bdev queue is null) "
                                     "MAJOR=8 MINOR=3"},
            NewLog());
}

// ---- the one-block read's completion ----------------------------------------------------

// A disk may end a bio in parts and a part may fail as not supported: the
// completion waits for the last part (logging each partial one), marks the
// bio and the buffer not supported, and ends the buffer failed.
TEST_F(BioMapTest, TheOneBlockReadCompletesInPartsAndMarksNotSupported) {
  auto disk = blk::Disk::ram(2048);
  ASSERT_TRUE(disk);
  OpenWhole whole(disk->dev());
  ASSERT_NE(nullptr, whole.bdev);
  Backup* b = static_cast<Backup*>(std::calloc(1, sizeof(Backup)));
  b->diskInfo.bdev = whole.bdev;
  b->diskInfo.blockSize = 1024;
  b->diskInfo.sectorsPerBlock = 2;
  struct page* pg = alloc_page(GFP_KERNEL);
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  struct bio* bio = bio_alloc(GFP_NOIO, 1);
  ASSERT_TRUE(pg && bh && bio);
  initBH(b, bh, pg, 0, 3);
  initBIO(b, bio, bh);
  EXPECT_EQ(6u, bio->bi_sector);
  Remark();

  bio_endio(bio, 512, 0);  // the first part
  EXPECT_TRUE(buffer_locked(bh)) << "ended before the last part";
  bio_endio(bio, 512, -EOPNOTSUPP);  // the last part, not supported
  EXPECT_FALSE(buffer_locked(bh));
  EXPECT_FALSE(buffer_uptodate(bh));
  EXPECT_TRUE(buffer_eopnotsupp(bh));
  EXPECT_TRUE(bio_flagged(bio, BIO_EOPNOTSUPP));
  auto log = NewLog();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("<4>cgdBIOEndIO: IO info, size=512", log[0]);
  EXPECT_EQ(0u, log[1].rfind("<4>cgdBIOEndIO: IO error, bio=", 0)) << log[1];
  EXPECT_EQ(0u, log[2].rfind("<4>cgdBHEndIO: buffer_head I/O error bh=", 0)) << log[2];

  bio_put(bio);  // the allocation's reference; the completion dropped initBIO's
  free_buffer_head(bh);
  __free_page(pg);
  std::free(b);
}

}  // namespace
