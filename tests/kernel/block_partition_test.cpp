// Partition tables: MBR primary and logical partitions, what a rescan
// changes and refuses, and the partition-table guard that a make-request
// hook uses while the submitting task holds the disk's open lock.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "block_test_util.h"

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/version.h>

namespace standin::block {
void PrintTo(const Disk::Partition& p, std::ostream* o) {
  *o << "{" << p.number << ", " << p.start << ", " << p.sectors << "}";
}
}  // namespace standin::block

namespace {

using namespace blocktest;
using standin::block::Disk;
using standin::block::DiskConfig;
using Part = standin::block::Disk::Partition;

constexpr std::uint64_t kSectors = 32768;  // 16 MiB


int TryOpenLock(struct block_device* whole) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  if (!mutex_trylock(&whole->bd_mutex)) return 0;
  mutex_unlock(&whole->bd_mutex);
#else
  if (down_trylock(&whole->bd_sem)) return 0;
  up(&whole->bd_sem);
#endif
  return 1;
}
void OpenLock(struct block_device* whole) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_lock(&whole->bd_mutex);
#else
  down(&whole->bd_sem);
#endif
}
void OpenUnlock(struct block_device* whole) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_unlock(&whole->bd_mutex);
#else
  up(&whole->bd_sem);
#endif
}

// The minor of the partition holding the bio's first sector, as a
// make-request hook finds it: under the partition-table guard.
int MinorOfBio(struct bio* bio) {
  struct gendisk* disk = bio->bi_bdev->bd_disk;
  bdev_lock_partitions(bio->bi_bdev);
  int minor = disk->first_minor;
  for (int p = 1; p < disk->minors; p++) {
    struct hd_struct* hd = disk->part[p - 1];
    if (hd && hd->start_sect <= bio->bi_sector && bio->bi_sector < hd->start_sect + hd->nr_sects) {
      minor = disk->first_minor + p;
      break;
    }
  }
  bdev_unlock_partitions(bio->bi_bdev);
  return minor;
}

class PartitionTest : public KernelTest {};

TEST_F(PartitionTest, PrimaryExtendedAndLogicalPartitionsAreNumberedAsLinuxDoes) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}, {2048, 2048}, {8192, 20000, 0x05}},
                            {{8192 + 63, 3000}, {12000, 4000}, {20000, 1000}}));
  ASSERT_EQ(0, disk->rescan());
  std::vector<Part> want = {{1, 63, 1000},    {2, 2048, 2048},  {3, 8192, 2},
                            {5, 8255, 3000},  {6, 12000, 4000}, {7, 20000, 1000}};
  EXPECT_EQ(want, disk->partitions());

  struct gendisk* g = disk->gendisk();
  EXPECT_EQ(nullptr, g->part[3]) << "slot 4 is empty";
  ASSERT_NE(nullptr, g->part[5]);
  EXPECT_EQ(12000u, g->part[5]->start_sect);
  EXPECT_EQ(6, g->part[5]->partno);
  EXPECT_EQ(12000u, sb::device_start(disk->part_dev(6)));
  EXPECT_EQ(4000u, sb::device_sectors(disk->part_dev(6)));

  struct block_device* p6 = bdget(disk->part_dev(6));
  ASSERT_NE(nullptr, p6);
  EXPECT_EQ(g->part[5], p6->bd_part);
  bdput(p6);

  // A logical partition's bytes through its own device and through the disk.
  auto data = Pattern(2048, 9);
  ASSERT_EQ(0, sb::rw_sectors(disk->part_dev(7), WRITE, 5, data.data(), data.size()));
  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(disk->read_bytes((20000 + 5) * 512, back.data(), back.size()));
  EXPECT_EQ(data, back);
}

TEST_F(PartitionTest, LogicalPartitionsBeyondTheDisksMinorsAreDropped) {
  DiskConfig cfg;
  cfg.major = 253;
  cfg.minors = 7;  // partitions 1..6
  auto disk = Disk::ram(kSectors, cfg);
  ASSERT_TRUE(sb::write_mbr(*disk, {{2048, 28000, 0x0f}},
                            {{2100, 100}, {3000, 100}, {4000, 100}}));
  ASSERT_EQ(0, disk->rescan());
  std::vector<Part> want = {{1, 2048, 2}, {5, 2100, 100}, {6, 3000, 100}};
  EXPECT_EQ(want, disk->partitions());
  EXPECT_EQ(nullptr, bdget(sb::mkdev(253, 7)));
}

TEST_F(PartitionTest, NoSignatureOrABadBootFlagMeansNoPartitions) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}}));
  std::uint8_t byte = 0;
  ASSERT_TRUE(disk->write_bytes(511, &byte, 1));
  ASSERT_EQ(0, disk->rescan());
  EXPECT_TRUE(disk->partitions().empty());

  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}}));
  byte = 0x12;  // boot indicator of entry 1
  ASSERT_TRUE(disk->write_bytes(446, &byte, 1));
  ASSERT_EQ(0, disk->rescan());
  EXPECT_TRUE(disk->partitions().empty());
}

TEST_F(PartitionTest, PartitionsPastTheEndAreCutOrSkipped) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}, {30000, 5000}, {40000, 100}}));
  ASSERT_EQ(0, disk->rescan());
  std::vector<Part> want = {{1, 63, 1000}, {2, 30000, kSectors - 30000}};
  EXPECT_EQ(want, disk->partitions());
}

TEST_F(PartitionTest, ARescanReadsThroughTheQueueAndKeepsTheTableOnAnError) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}}));
  disk->reset_counters();
  ASSERT_EQ(0, disk->rescan());
  EXPECT_GE(disk->counters().reads, 1);

  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 2000}}));
  disk->add_fault({0, 1, true, false});
  EXPECT_EQ(-EIO, disk->rescan());
  std::vector<Part> old = {{1, 63, 1000}};
  EXPECT_EQ(old, disk->partitions());
  disk->clear_faults();
  ASSERT_EQ(0, disk->rescan());
  std::vector<Part> now = {{1, 63, 2000}};
  EXPECT_EQ(now, disk->partitions());
}

TEST_F(PartitionTest, AMountedPartitionCannotBeChangedByARescan) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 4000}, {8192, 4000}}));
  ASSERT_EQ(0, disk->rescan());
  ASSERT_TRUE(sb::format_testfs(disk->part_dev(1), 1024));
  ASSERT_EQ(0, sb::mount(disk->part_dev(1)));

  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 3000}, {8192, 4000}}));
  EXPECT_EQ(-EBUSY, disk->rescan());
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 4000}, {8192, 6000}}));
  EXPECT_EQ(0, disk->rescan()) << "only the unmounted partition changes";
  std::vector<Part> want = {{1, 63, 4000}, {2, 8192, 6000}};
  EXPECT_EQ(want, disk->partitions());
  EXPECT_EQ(0, sb::umount(disk->part_dev(1)));
}

TEST_F(PartitionTest, AVanishedPartitionIsGoneForNewUsersAndFailsForOldOnes) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 4000}, {8192, 4000}}));
  ASSERT_EQ(0, disk->rescan());
  struct block_device* p2 = bdget(disk->part_dev(2));
  ASSERT_NE(nullptr, p2);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 4000}}));
  ASSERT_EQ(0, disk->rescan());
  EXPECT_EQ(nullptr, bdget(disk->part_dev(2)));
  ASSERT_NE(nullptr, p2->bd_part) << "a holder's record stays valid";
  TestBio b(p2, 0, 512);
  generic_make_request(b.bio);
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(-EIO, b.error);
  bdput(p2);
}

TEST_F(PartitionTest, AHookFindsTheMinorOfEachBio) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}, {2048, 2048}}));
  ASSERT_EQ(0, disk->rescan());
  std::vector<int> minors;
  QueueHook hook(disk->queue(), [&](request_queue_t* q, struct bio* bio, make_request_fn* real) {
    minors.push_back(MinorOfBio(bio));
    return real(q, bio);
  });
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(0, sb::rw_sectors(disk->part_dev(2), READ, 0, buf.data(), 512));
  ASSERT_EQ(0, sb::rw_sectors(disk->dev(), READ, 10, buf.data(), 512));  // before partition 1
  ASSERT_EQ(0, sb::rw_sectors(disk->part_dev(1), READ, 999, buf.data(), 512));
  EXPECT_EQ((std::vector<int>{2, 0, 1}), minors);
}

// The task that holds the disk's open lock submits I/O through a hooked
// queue whose hook walks the partition table: a rescan does exactly this.
TEST_F(PartitionTest, TheGuardNeverWaitsForTheOpenLockThatTheSubmitterHolds) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}, {2048, 2048}}));
  ASSERT_EQ(0, disk->rescan());
  struct block_device* whole = bdget(disk->dev());
  std::atomic<int> walks{0}, walks_under_open_lock{0};
  QueueHook hook(disk->queue(), [&](request_queue_t* q, struct bio* bio, make_request_fn* real) {
    if (!TryOpenLock(whole)) walks_under_open_lock++;
    MinorOfBio(bio);
    walks++;
    return real(q, bio);
  });
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}, {2048, 4096}}));
  int rescan_result = 1;
  RunOrDie("rescan through a hooked queue", [&] { rescan_result = disk->rescan(); });
  EXPECT_EQ(0, rescan_result);
  EXPECT_GE(walks_under_open_lock.load(), 1) << "the rescan's reads ran without the open lock";
  std::vector<Part> want = {{1, 63, 1000}, {2, 2048, 4096}};
  EXPECT_EQ(want, disk->partitions());

  // The same with the open lock taken by the submitting task itself.
  int io_result = 1;
  RunOrDie("I/O under the open lock", [&] {
    OpenLock(whole);
    std::vector<std::uint8_t> buf(4096);
    io_result = sb::rw_sectors(disk->part_dev(2), READ, 0, buf.data(), buf.size());
    OpenUnlock(whole);
  });
  EXPECT_EQ(0, io_result);
  EXPECT_GE(walks.load(), 2);
  bdput(whole);
}

TEST_F(PartitionTest, WalksDuringRescansAlwaysSeeAWholeTable) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{1000, 1000}, {3000, 1000}}));
  ASSERT_EQ(0, disk->rescan());
  struct block_device* whole = bdget(disk->dev());
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0};
  // Partition 1 and 2 always move together: 1 at 1000 and 2 at 3000, or 1
  // at 2000 and 2 at 4000.  A walk sees one layout or the other.
  std::thread walker([&] {
    struct gendisk* g = disk->gendisk();
    while (!stop.load()) {
      bdev_lock_partitions(whole);
      struct hd_struct* a = g->part[0];
      struct hd_struct* b = g->part[1];
      bool ok = a && b && b->start_sect == a->start_sect + 2000;
      bdev_unlock_partitions(whole);
      if (!ok) torn++;
    }
  });
  for (int i = 1; i <= 50; i++) {
    std::uint64_t base = i % 2 ? 2000 : 1000;
    EXPECT_TRUE(sb::write_mbr(*disk, {{base, 1000}, {base + 2000, 1000}}));
    EXPECT_EQ(0, disk->rescan());
  }
  stop = true;
  walker.join();
  EXPECT_EQ(0, torn.load());
  bdput(whole);
}

}  // namespace
