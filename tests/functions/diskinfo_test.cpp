// Disk geometry records, called directly: the unit conversions for each
// block size, partition and whole-disk extents, the block-device reference
// that a record holds until it is closed, and the whole-disk minor lookup.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin/block.h"
#include "support/kernel_test.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace blk = standin::block;

namespace {

long bdev_refs() { return standin::mem::usage().live(standin::mem::Kind::bdev_ref); }

class DiskInfoTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    // sda: partition 1 at 63 (20000 sectors), partition 2 at 20480 (8192)
    disk_ = blk::Disk::ram(32768);
    ASSERT_TRUE(disk_);
    ASSERT_TRUE(blk::write_mbr(*disk_, {{.start = 63, .sectors = 20000},
                                        {.start = 20480, .sectors = 8192}}));
    ASSERT_EQ(0, disk_->rescan());
    std::memset(&di_, 0, sizeof di_);
    Remark();  // the partition scan's lines
  }
  void TearDown() override {
    closeDiskInfo(&di_);
    for (auto d : mounted_) blk::umount(d);
    disk_.reset();
    ExpectNoLeaks();
    KernelTest::TearDown();
  }
  void mount_testfs(blk::devnum dev, std::uint32_t blockSize) {
    ASSERT_TRUE(blk::format_testfs(dev, blockSize));
    ASSERT_EQ(0, blk::mount(dev));
    mounted_.push_back(dev);
  }
  std::unique_ptr<blk::Disk> disk_;
  std::vector<blk::devnum> mounted_;
  DiskInfo di_;
};

TEST_F(DiskInfoTest, UnitsForEachBlockSize) {
  struct Case {
    int blockSize, sectorsPerBlock, shift;
    u32 blocksPerPage;
  } cases[] = {{512, 1, 0, 8}, {1024, 2, 1, 4}, {2048, 4, 2, 2}, {4096, 8, 3, 1}};
  const blk::devnum dev = disk_->part_dev(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blockSize);
    mount_testfs(dev, c.blockSize);
    std::memset(&di_, 0, sizeof di_);
    di_.numBlocks = 1234;  // not the geometry's business
    ASSERT_EQ(CGD_OK, getDiskInfo(&di_, dev));
    EXPECT_EQ(dev, di_.kdev);
    EXPECT_EQ(c.blockSize, di_.blockSize);
    EXPECT_EQ(c.sectorsPerBlock, di_.sectorsPerBlock);
    EXPECT_EQ(c.shift, di_.sectorsPerBlockShift);
    EXPECT_EQ(c.blocksPerPage, di_.blocksPerPage);
    EXPECT_EQ(63u, di_.partitionStart);
    EXPECT_EQ(20000u, di_.partitionLen);
    EXPECT_EQ(10000u, di_.partitionSizeKB);
    EXPECT_EQ(1234u, di_.numBlocks);
    EXPECT_EQ(nullptr, di_.superBlock);
    ASSERT_NE(nullptr, di_.bdev);
    EXPECT_EQ(dev, di_.bdev->bd_dev);
    closeDiskInfo(&di_);
    ASSERT_EQ(0, blk::umount(dev));
    mounted_.clear();
  }
  EXPECT_TRUE(NewLog().empty());
}

TEST_F(DiskInfoTest, SecondPartitionAndWholeDiskExtents) {
  mount_testfs(disk_->part_dev(2), 1024);
  ASSERT_EQ(CGD_OK, getDiskInfo(&di_, disk_->part_dev(2)));
  EXPECT_EQ(20480u, di_.partitionStart);
  EXPECT_EQ(8192u, di_.partitionLen);
  EXPECT_EQ(4096u, di_.partitionSizeKB);
  closeDiskInfo(&di_);

  // A disk of another major without partitions, its file system on the whole disk.
  blk::DiskConfig cfg;
  cfg.major = 253;
  cfg.minors = 1;
  auto whole = blk::Disk::ram(10001, cfg);
  ASSERT_TRUE(whole);
  mount_testfs(whole->dev(), 2048);
  std::memset(&di_, 0, sizeof di_);
  ASSERT_EQ(CGD_OK, getDiskInfo(&di_, whole->dev()));
  EXPECT_EQ(0u, di_.partitionStart);
  EXPECT_EQ(10001u, di_.partitionLen);
  EXPECT_EQ(5000u, di_.partitionSizeKB);
  EXPECT_EQ(2048, di_.blockSize);
  closeDiskInfo(&di_);
  blk::umount(whole->dev());
  mounted_.clear();
}

TEST_F(DiskInfoTest, RecordHoldsOneDeviceReferenceUntilClosed) {
  mount_testfs(disk_->part_dev(1), 4096);
  const long before = bdev_refs();
  ASSERT_EQ(CGD_OK, getDiskInfo(&di_, disk_->part_dev(1)));
  EXPECT_EQ(before + 1, bdev_refs());
  closeDiskInfo(&di_);
  EXPECT_EQ(before, bdev_refs());
  EXPECT_EQ(nullptr, di_.bdev);
  closeDiskInfo(&di_);  // closing again releases nothing more
  EXPECT_EQ(before, bdev_refs());
}

// The black-box command tests check the statuses and lines; here, that a
// failed fill leaves no reference behind and no handle in the record.
TEST_F(DiskInfoTest, FailedFillHoldsNoReference) {
  mount_testfs(disk_->part_dev(1), 256);
  const long before = bdev_refs();
  ASSERT_EQ(CGD_ERR_NO_DEVICE, getDiskInfo(&di_, disk_->part_dev(2)));  // nothing mounted
  EXPECT_EQ(nullptr, di_.bdev);
  ASSERT_EQ(CGD_ERR_UNAVAILABLE, getDiskInfo(&di_, disk_->part_dev(1)));
  EXPECT_EQ(nullptr, di_.bdev);
  EXPECT_EQ(before, bdev_refs());
}

// The kernel knows what contains a device only while it is open (a mount
// opens it, and a partition's open opens its disk).
TEST_F(DiskInfoTest, WholeDiskMinorOfOpenDevices) {
  blk::DiskConfig cfg;
  auto sdb = blk::Disk::ram(4096, cfg);
  ASSERT_TRUE(sdb);
  ASSERT_TRUE(blk::write_mbr(*sdb, {{.start = 100, .sectors = 1000}}));
  ASSERT_EQ(0, sdb->rescan());
  mount_testfs(disk_->part_dev(2), 1024);
  mount_testfs(sdb->part_dev(1), 1024);
  Remark();
  const long before = bdev_refs();
  EXPECT_EQ(0, getDiskMinor(disk_->part_dev(2)));
  EXPECT_EQ(0, getDiskMinor(disk_->dev()));
  EXPECT_EQ(16, getDiskMinor(sdb->part_dev(1)));
  EXPECT_EQ(16, getDiskMinor(sdb->dev()));
  EXPECT_EQ(before, bdev_refs());
  EXPECT_TRUE(NewLog().empty());

  // Nobody has sda1 open; no disk serves 77:1 at all.
  EXPECT_EQ(-1, getDiskMinor(disk_->part_dev(1)));
  EXPECT_EQ(-1, getDiskMinor(blk::mkdev(77, 1)));
  EXPECT_EQ(before, bdev_refs());
  EXPECT_EQ((std::vector<std::string>{
                "<3>getDiskMinor: Parent block device not valid for MAJOR=8, MINOR=1",
                "<3>getDiskMinor: Parent block device not valid for MAJOR=77, MINOR=1"}),
            NewLog());
}

}  // namespace
