// Write tracking through real writes on a queue hooked with the tracking
// hook: which partition's map a write lands in, the exact blocks it sets,
// writes past the map, reads and sessions out of sync, a zero-length bio,
// and writers racing the creation, failure and closing of sessions.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tracking_fixture.h"

namespace {

using cgtest::MarkedBlocks;
using cgtest::TrackingTest;
namespace blk = standin::block;

class WriteTrackingTest : public TrackingTest {
 protected:
  // Sessions on partitions 1 and 3 (in sync), partition 2 untracked, all
  // three registered on the tracking hook.
  void Hook() {
    p1_ = Part(1);
    p2_ = Part(2);
    p3_ = Part(3, 20);  // its map covers blocks 0..19 only
    s1_ = Track(p1_);
    s3_ = Track(p3_);
    ASSERT_TRUE(s1_ && s3_);
    for (Backup* b : {p1_, p2_, p3_}) ASSERT_EQ(0, setMRF(b, cgdAMRF));
  }
  Backup *p1_ = nullptr, *p2_ = nullptr, *p3_ = nullptr;
  AutoMapSession *s1_ = nullptr, *s3_ = nullptr;
};

TEST_F(WriteTrackingTest, WritesMarkExactlyTheirBlocksInTheirPartitionsMap) {
  Hook();
  ASSERT_EQ(0, WriteBlocks(1, 10, 3));
  EXPECT_EQ((std::vector<std::uint32_t>{10, 11, 12}), MarkedBlocks(&s1_->map));

  // The untracked partition beside it: nothing set anywhere.
  ASSERT_EQ(0, WriteBlocks(2, 500, 4));
  EXPECT_EQ((std::vector<std::uint32_t>{10, 11, 12}), MarkedBlocks(&s1_->map));
  EXPECT_TRUE(MarkedBlocks(&s3_->map).empty());

  // The first and the last block of the partition.
  ASSERT_EQ(0, WriteBlocks(1, 0, 1));
  ASSERT_EQ(0, WriteBlocks(1, kPartBlocks - 1, 1));
  EXPECT_EQ((std::vector<std::uint32_t>{0, 10, 11, 12, kPartBlocks - 1}),
            MarkedBlocks(&s1_->map));

  // The writes reached the disk unchanged.
  std::vector<std::uint8_t> got(3 * kBlockSize), want(3 * kBlockSize, 0xA0 + 10);
  ASSERT_TRUE(blk::read_device(disk_->part_dev(1), 10 * kBlockSize, got.data(), got.size()));
  EXPECT_EQ(want, got);
  EXPECT_EQ(1u, getStateOf(s1_));
  EXPECT_TRUE(NewLog().empty());
}

TEST_F(WriteTrackingTest, AWritePastTheMapSetsWhatFitsAndPutsTheSessionOutOfSync) {
  Hook();
  ASSERT_EQ(0, WriteBlocks(3, 18, 4));  // blocks 18..21 of a 20-block map
  EXPECT_EQ((std::vector<std::uint32_t>{18, 19}), MarkedBlocks(&s3_->map));
  EXPECT_EQ(0u, getStateOf(s3_));
  EXPECT_EQ((std::vector<std::string>{
                "<4>updateAM: device resize detected (block 20 in size 20) in automap update, "
                "automap not in sync",
                "<4>updateAM: device resize detected (block 21 in size 20) in automap update, "
                "automap not in sync",
            }),
            NewLog());

  // Out of sync: later writes set nothing and write no line.
  Remark();
  ASSERT_EQ(0, WriteBlocks(3, 2, 1));
  ASSERT_EQ(0, WriteBlocks(3, 25, 1));
  EXPECT_EQ((std::vector<std::uint32_t>{18, 19}), MarkedBlocks(&s3_->map));
  EXPECT_TRUE(NewLog().empty());
  EXPECT_EQ(1u, getStateOf(s1_));  // the other session is untouched
}

TEST_F(WriteTrackingTest, ReadsAndSessionsOutOfSyncSetNothing) {
  Hook();
  blk::Disk* d = disk_.get();
  d->reset_counters();
  ASSERT_EQ(0, ReadBlocks(1, 10, 8));
  EXPECT_TRUE(MarkedBlocks(&s1_->map).empty());
  EXPECT_GT(d->counters().reads, 0);  // passed on to the disk

  setStateOf(s1_, (u32)CGD_AUTOMAP_NOT_IN_SYNC);
  ASSERT_EQ(0, WriteBlocks(1, 10, 8));
  EXPECT_TRUE(MarkedBlocks(&s1_->map).empty());
  EXPECT_GT(d->counters().writes, 0);
  EXPECT_TRUE(NewLog().empty());
}

// A write through a partition changes the whole disk too: when both are
// tracked, each records it in its own block numbers; a write of the disk
// outside every partition is the whole disk's alone.
TEST_F(WriteTrackingTest, AWriteIsRecordedByItsPartitionAndByTheTrackedWholeDisk) {
  Hook();
  backups_.push_back(cgtest::BackupPtr(new Backup()));
  Backup* whole = backups_.back().get();
  whole->diskInfo.kdev = disk_->dev();
  whole->diskInfo.partitionLen = disk_->sectors();
  whole->diskInfo.blockSize = kBlockSize;
  whole->diskInfo.sectorsPerBlock = 2;
  whole->diskInfo.sectorsPerBlockShift = 1;
  whole->diskInfo.blocksPerPage = 4;
  whole->diskInfo.numBlocks = disk_->sectors() / 2;
  whole->diskInfo.bdev = bdget(disk_->dev());
  AutoMapSession* sw = Track(whole);
  ASSERT_NE(nullptr, sw);
  ASSERT_EQ(0, setMRF(whole, cgdAMRF));

  ASSERT_EQ(0, WriteBlocks(1, 10, 2));  // the disk's blocks 42 and 43
  EXPECT_EQ((std::vector<std::uint32_t>{10, 11}), MarkedBlocks(&s1_->map));
  EXPECT_EQ((std::vector<std::uint32_t>{42, 43}), MarkedBlocks(&sw->map));
  std::vector<std::uint8_t> buf(kBlockSize, 0x5e);
  ASSERT_EQ(0, blk::rw_sectors(disk_->dev(), 1, 0, buf.data(), buf.size()));  // before partition 1
  EXPECT_EQ((std::vector<std::uint32_t>{0, 42, 43}), MarkedBlocks(&sw->map));
  EXPECT_EQ((std::vector<std::uint32_t>{10, 11}), MarkedBlocks(&s1_->map));
  EXPECT_TRUE(MarkedBlocks(&s3_->map).empty());
}

TEST_F(WriteTrackingTest, AZeroLengthBioOnABlockBoundaryTouchesNoBlock) {
  Hook();
  struct block_device* whole = bdget(disk_->dev());
  ASSERT_NE(nullptr, whole);
  struct bio bio;
  std::memset(&bio, 0, sizeof bio);
  bio.bi_bdev = whole;
  bio.bi_rw = 1;
  bio.bi_sector = kPartStart + 2 * 40;  // block 40 of partition 1
  bio.bi_size = 0;
  EXPECT_TRUE(bioOnDevice(&s1_->diskInfo, &bio));
  updateAM(&bio);
  EXPECT_TRUE(MarkedBlocks(&s1_->map).empty());

  bio.bi_size = 512;  // one sector: block 40
  updateAM(&bio);
  EXPECT_EQ((std::vector<std::uint32_t>{40}), MarkedBlocks(&s1_->map));
  EXPECT_EQ(1, atomic_read(&s1_->users));
  EXPECT_EQ(1, atomic_read(&amListUsers));
  bdput(whole);
}

// A write that also carries the read-ahead bit (bi_rw & 3 == 3) still
// writes the disk, so the tracking hook must record it.
static int EndAndSignal(struct bio* bio, unsigned int, int) {
  if (bio->bi_size) return 1;
  static_cast<std::atomic<int>*>(bio->bi_private)->store(1);
  return 0;
}

TEST_F(WriteTrackingTest, AWriteWithTheReadAheadBitIsTracked) {
  Hook();
  struct block_device* part = bdget(disk_->part_dev(1));
  ASSERT_NE(nullptr, part);
  struct page* page = alloc_page(GFP_KERNEL);
  ASSERT_NE(nullptr, page);
  std::memset(page_address(page), 0x5A, PAGE_SIZE);
  struct bio* bio = bio_alloc(GFP_NOIO, 1);
  ASSERT_NE(nullptr, bio);
  std::atomic<int> done{0};
  bio->bi_bdev = part;
  bio->bi_sector = 2 * 30;  // block 30 of partition 1
  bio->bi_io_vec[0].bv_page = page;
  bio->bi_io_vec[0].bv_len = kBlockSize;
  bio->bi_io_vec[0].bv_offset = 0;
  bio->bi_vcnt = 1;
  bio->bi_size = kBlockSize;
  bio->bi_rw = WRITE | (1UL << BIO_RW_AHEAD);
  bio->bi_end_io = EndAndSignal;
  bio->bi_private = &done;
  generic_make_request(bio);
  for (int i = 0; i < 5000 && !done.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(1, done.load());
  EXPECT_EQ((std::vector<std::uint32_t>{30}), MarkedBlocks(&s1_->map));
  bio_put(bio);
  __free_page(page);
  bdput(part);
}

// Writers on two tracked partitions while the main thread creates, fails
// and closes sessions.  A writer holds a reference on the session it saw
// across its write (so it cannot be freed or replaced at that address): if
// the session was in sync before the write was submitted and is still in
// sync and in its slot after it completed, its blocks must be in the map.
TEST_F(WriteTrackingTest, WritesRacingSessionChangesAreNeverLost) {
  Backup* parts[2] = {Part(1), Part(2)};
  for (Backup* b : parts) {
    ASSERT_NE(nullptr, Track(b));
    ASSERT_EQ(0, setMRF(b, cgdAMRF));
  }
  std::atomic<bool> stop{false};
  std::atomic<long> checked{0}, lost{0};
  auto writer = [&](int seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> buf(2 * kBlockSize, 0x33);
    while (!stop) {
      int p = int(rng() % 2);
      std::uint32_t bn = rng() % (kPartBlocks - 1);
      dev_t kdev = parts[p]->diskInfo.kdev;
      AutoMapSession* ams = getAMS(kdev);
      bool before = ams && getStateOf(ams) == CGD_AUTOMAP_IN_SYNC;
      int rc = blk::rw_sectors(kdev, 1, std::uint64_t(bn) * 2, buf.data(), buf.size());
      if (ams) {
        // Closing takes a session out of the table before it unhooks the
        // device: only a session still in its slot must have seen the write.
        enterAMListReader();
        bool published = cgtest::SlotOf(kdev) == ams;
        leaveAMListReader();
        if (rc == 0 && before && published && getStateOf(ams) == CGD_AUTOMAP_IN_SYNC) {
          checked++;
          if (!blockInMap(&ams->map, bn) || !blockInMap(&ams->map, bn + 1)) lost++;
        }
        putAMS(ams);
      }
    }
  };
  std::vector<std::thread> writers;
  for (int i = 0; i < 3; ++i) writers.emplace_back(writer, 1234 + i);

  for (int round = 0; round < 60; ++round) {
    Backup* b = parts[round % 2];
    switch (round % 3) {
      case 0:
        errorAMS(b);
        break;
      case 1:
        EXPECT_EQ(CGD_OK, closeAMS(b));
        break;
      default:
        closeAllAMS();
        break;
    }
    for (Backup* nb : parts) {
      if (cgtest::SlotOf(nb->diskInfo.kdev) == nullptr) {
        ASSERT_EQ(0, setMRF(nb, cgdAMRF));
        ASSERT_NE(nullptr, Track(nb));
      }
    }
    std::this_thread::yield();
  }
  stop = true;
  for (auto& t : writers) t.join();
  EXPECT_EQ(0, lost.load()) << "of " << checked.load() << " checked writes";
  EXPECT_GT(checked.load(), 0);
}

}  // namespace
