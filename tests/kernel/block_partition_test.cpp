// Partition tables: MBR primary and logical partitions, a rescan (refused
// while a partition is open; reads the table through the queue holding the
// disk's open lock), adding and deleting single partitions as BLKPG does,
// and the life of a partition's record.
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

  struct block_device* p6 = OpenBdev(disk->part_dev(6));
  ASSERT_NE(nullptr, p6);
  EXPECT_EQ(g->part[5], p6->bd_part);
  blkdev_put(p6);

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
  struct block_device* p7 = bdget(sb::mkdev(253, 7));
  ASSERT_NE(nullptr, p7) << "bdget gives a record for any number";
  EXPECT_EQ(-ENXIO, blkdev_get(p7, FMODE_READ, 0)) << "which no disk serves";
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

TEST_F(PartitionTest, ARescanReadsThroughTheQueueAndAnUnreadableTableLeavesNone) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}}));
  disk->reset_counters();
  ASSERT_EQ(0, disk->rescan());
  EXPECT_GE(disk->counters().reads, 1);
  std::vector<Part> old = {{1, 63, 1000}};
  EXPECT_EQ(old, disk->partitions());

  // As the kernel's rescan: every partition goes first, then the table is read.
  Remark();
  disk->add_fault({0, 1, true, false});
  EXPECT_EQ(0, disk->rescan());
  EXPECT_TRUE(disk->partitions().empty());
  EXPECT_NE(std::string::npos, Joined(NewLog()).find("unable to read partition table"));
  disk->clear_faults();
  ASSERT_EQ(0, disk->rescan());
  EXPECT_EQ(old, disk->partitions());
}

TEST_F(PartitionTest, ARescanIsRefusedWhileAnyPartitionIsOpen) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 4000}, {8192, 4000}}));
  ASSERT_EQ(0, disk->rescan());
  ASSERT_TRUE(sb::format_testfs(disk->part_dev(1), 1024));
  ASSERT_EQ(0, sb::mount(disk->part_dev(1)));

  // Even a change of the other partition only: the disk has an open partition.
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 4000}, {8192, 6000}}));
  EXPECT_EQ(-EBUSY, disk->rescan());
  std::vector<Part> before = {{1, 63, 4000}, {2, 8192, 4000}};
  EXPECT_EQ(before, disk->partitions());
  EXPECT_EQ(0, sb::umount(disk->part_dev(1)));

  struct block_device* p2 = OpenBdev(disk->part_dev(2));  // a process holds it open
  ASSERT_NE(nullptr, p2);
  EXPECT_EQ(-EBUSY, disk->rescan());
  blkdev_put(p2);
  EXPECT_EQ(0, disk->rescan());
  std::vector<Part> after = {{1, 63, 4000}, {2, 8192, 6000}};
  EXPECT_EQ(after, disk->partitions());
}

TEST_F(PartitionTest, OpenSetsTheDeviceTreeAndTheLastCloseClearsIt) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 2000}, {4096, 1000}}));
  ASSERT_EQ(0, disk->rescan());
  struct block_device* p1 = bdget(disk->part_dev(1));
  struct block_device* whole = bdget(disk->dev());
  ASSERT_NE(nullptr, p1);
  EXPECT_EQ(nullptr, p1->bd_disk) << "not open";
  EXPECT_EQ(nullptr, p1->bd_contains);
  EXPECT_EQ(nullptr, p1->bd_part);
  EXPECT_EQ(nullptr, bdev_get_queue(p1));

  struct block_device* ref = bdget(disk->part_dev(1));  // the open takes this reference
  ASSERT_EQ(0, blkdev_get(ref, FMODE_READ, 0));
  ASSERT_EQ(p1, ref);
  EXPECT_EQ(disk->gendisk(), p1->bd_disk);
  EXPECT_EQ(whole, p1->bd_contains);
  ASSERT_NE(nullptr, p1->bd_part);
  EXPECT_EQ(disk->gendisk()->part[0], p1->bd_part);
  EXPECT_EQ(2000 * 512, p1->bd_inode->i_size);
  EXPECT_EQ(disk->queue(), bdev_get_queue(p1));
  EXPECT_EQ(1, p1->bd_openers);
  EXPECT_EQ(1, whole->bd_openers) << "a partition's open opens its disk";
  EXPECT_EQ(1u, whole->bd_part_count);
  EXPECT_EQ(whole, whole->bd_contains);
  EXPECT_EQ(nullptr, whole->bd_part);

  ASSERT_EQ(0, blkdev_get(bdget(disk->part_dev(1)), FMODE_READ, 0));  // a second opener
  EXPECT_EQ(2, p1->bd_openers);
  EXPECT_EQ(2u, whole->bd_part_count);
  blkdev_put(p1);
  EXPECT_EQ(disk->gendisk(), p1->bd_disk) << "still open once";
  blkdev_put(p1);
  EXPECT_EQ(nullptr, p1->bd_disk);
  EXPECT_EQ(nullptr, p1->bd_contains);
  EXPECT_EQ(nullptr, p1->bd_part);
  EXPECT_EQ(0, whole->bd_openers);
  EXPECT_EQ(0u, whole->bd_part_count);
  EXPECT_EQ(nullptr, whole->bd_disk);

  // An open of a partition the table does not have fails and drops the reference.
  long refs = standin::mem::usage().live(standin::mem::Kind::bdev_ref);
  EXPECT_EQ(-ENXIO, blkdev_get(bdget(disk->part_dev(3)), FMODE_READ, 0));
  EXPECT_EQ(refs, standin::mem::usage().live(standin::mem::Kind::bdev_ref));
  EXPECT_EQ(0u, whole->bd_part_count);
  bdput(whole);
  bdput(p1);
}

TEST_F(PartitionTest, BlkpgDeletesAndAddsPartitionsThatAreNotOpen) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 2000}, {4096, 1000}}));
  ASSERT_EQ(0, disk->rescan());
  struct block_device* p1 = OpenBdev(disk->part_dev(1));
  ASSERT_NE(nullptr, p1);
  EXPECT_EQ(-EBUSY, disk->delete_partition(1)) << "partition 1 is open";
  EXPECT_EQ(0, disk->delete_partition(2)) << "while a sibling is open";
  EXPECT_EQ(-ENXIO, disk->delete_partition(2));
  std::vector<Part> one = {{1, 63, 2000}};
  EXPECT_EQ(one, disk->partitions());
  EXPECT_EQ(-EBUSY, disk->add_partition(1, 8000, 100)) << "number in use";
  EXPECT_EQ(-EBUSY, disk->add_partition(2, 1000, 100)) << "overlaps partition 1";
  EXPECT_EQ(-EINVAL, disk->add_partition(16, 8000, 100));
  EXPECT_EQ(0, disk->add_partition(2, 6000, 500));
  std::vector<Part> two = {{1, 63, 2000}, {2, 6000, 500}};
  EXPECT_EQ(two, disk->partitions());
  struct block_device* p2 = OpenBdev(disk->part_dev(2));
  ASSERT_NE(nullptr, p2);
  EXPECT_EQ(6000u, p2->bd_part->start_sect);
  blkdev_put(p2);
  blkdev_put(p1);
  ExpectNoLeaks();
}

// The record of a deleted partition is freed: under ASan, anything that
// still reads it (a table walk without the disk's open lock) is caught.
TEST_F(PartitionTest, ADeletedPartitionsRecordIsFreed) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 2000}, {4096, 1000}}));
  ASSERT_EQ(0, disk->rescan());
  struct hd_struct* old = disk->gendisk()->part[1];
  ASSERT_NE(nullptr, old);
  EXPECT_EQ(0, disk->delete_partition(2));
  EXPECT_EQ(nullptr, disk->gendisk()->part[1]);
  EXPECT_EQ(0, disk->add_partition(2, 4096, 1000));
  EXPECT_NE(nullptr, disk->gendisk()->part[1]);
  // A partition that vanished in a rescan while someone held only a
  // reference (not an open) is gone for that holder too.
  struct block_device* held = bdget(disk->part_dev(2));
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 2000}}));
  ASSERT_EQ(0, disk->rescan());
  EXPECT_EQ(-ENXIO, blkdev_get(held, FMODE_READ, 0));
}

// A rescan reads the table through the disk's queue while it holds the
// disk's open lock, so a make-request hook must never wait for that lock.
TEST_F(PartitionTest, ARescanReadsTheTableHoldingTheDisksOpenLock) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}, {2048, 2048}}));
  ASSERT_EQ(0, disk->rescan());
  std::atomic<int> reads{0}, under_open_lock{0};
  struct gendisk* g = disk->gendisk();
  QueueHook hook(disk->queue(), [&](request_queue_t* q, struct bio* bio, make_request_fn* real) {
    struct block_device* whole = bio->bi_bdev;  // remapped to the disk
    if (whole->bd_disk == g && !TryOpenLock(whole)) under_open_lock++;
    reads++;
    return real(q, bio);
  });
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 1000}, {2048, 4096}}));
  int rescan_result = 1;
  RunOrDie("rescan through a hooked queue", [&] { rescan_result = disk->rescan(); });
  EXPECT_EQ(0, rescan_result);
  EXPECT_GE(reads.load(), 1);
  EXPECT_EQ(reads.load(), under_open_lock.load()) << "the table was read without the open lock";
  std::vector<Part> want = {{1, 63, 1000}, {2, 2048, 4096}};
  EXPECT_EQ(want, disk->partitions());
}

}  // namespace
