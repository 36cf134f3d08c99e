// The module against block devices that live as 2.6's do: a device's disk
// and partition are known only while it is open, a partition that nobody
// has open may be deleted and added again at any time, and a start can be
// refused before it finds a file system.  Through the device node.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "device/backup_fixture.h"

namespace {

using namespace cgtest;

class DeviceLifeTest : public BackupTest {
 protected:
  static constexpr std::uint32_t kBs = 1024;

  // A device tracked in sync: a first backup (start, snapshot, close) on it.
  void Track(blk::devnum dev, std::uint32_t blocks) {
    int fd = Open();
    ASSERT_EQ(CGD_OK, Start(fd, dev, blocks, blocks));
    ASSERT_EQ(CGD_OK, Snap(fd));
    ASSERT_EQ(1u, QueryAMState(fd).state);
    key_ = KeyOf(fd);
    ASSERT_EQ(0, Close(fd));
  }
  static int Put(blk::devnum dev, std::uint32_t block, std::uint8_t v) {
    std::vector<std::uint8_t> data(kBs, v);
    return blk::rw_sectors(dev, WRITE, std::uint64_t(block) * (kBs / 512), data.data(), kBs);
  }
  AMSessionKey key_ = {};
};

// Tracking hands the queue to the tracking hook; once the file system is
// unmounted the device is closed and the kernel no longer knows its disk.
// The shutdown command and the unload must still find the queue and give
// it its own function back, or the next bio would call into an unloaded
// module.
TEST_F(DeviceLifeTest, AnUnmountedTrackedDeviceGetsItsQueueBackAtShutdownAndUnload) {
  blk::Disk* disk = nullptr;
  blk::devnum p2 = MountedPart2(kBs, &disk);
  Track(p2, Blocks(p2, kBs));
  EXPECT_FALSE(QueueIsReal(disk));
  Umount(p2);

  int fd = Open();
  ASSERT_EQ(0, user::ioctl(fd, CGD_SHUTDOWN, 0));
  EXPECT_TRUE(QueueIsReal(disk)) << "the tracking hook stayed on the queue";
  EXPECT_EQ(0, Close(fd));

  // The same through the unload alone.
  MountTestfs(p2, kBs);
  Track(p2, Blocks(p2, kBs));
  Umount(p2);
  EXPECT_FALSE(QueueIsReal(disk));
  ASSERT_EQ(0, standin::modules::rmmod("cowguard"));
  EXPECT_TRUE(QueueIsReal(disk));
  EXPECT_EQ(0, Put(disk->part_dev(1), 3, 0x5a));
  EXPECT_EQ(0, Put(p2, 3, 0xa5));
  std::vector<std::uint8_t> back(kBs);
  ASSERT_TRUE(blk::read_device(p2, 3 * kBs, back.data(), kBs));
  EXPECT_EQ(std::vector<std::uint8_t>(kBs, 0xa5), back);
}

// A start refused because the device carries no mounted file system leaves
// the device's tracking alone: closing the refused record hands the queue
// back to tracking, and the next backup gets the changed blocks.
TEST_F(DeviceLifeTest, AStartRefusedForWantOfAFileSystemKeepsTrackingInSync) {
  blk::Disk* disk = nullptr;
  blk::devnum p2 = MountedPart2(kBs, &disk);
  const std::uint32_t n = Blocks(p2, kBs);
  Track(p2, n);
  Umount(p2);

  int fd = Open();
  EXPECT_EQ(CGD_ERR_NO_DEVICE, Start(fd, p2, n, n));
  EXPECT_EQ(0u, StateOf(fd));
  EXPECT_EQ(0, Close(fd));
  MountTestfs(p2, kBs);
  ASSERT_EQ(0, Put(p2, 40, 0x40));

  fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p2, n, n));
  EXPECT_EQ(1u, QueryAMState(fd).state) << "tracking went out of sync";
  ASSERT_EQ(CGD_OK, Snap(fd, &key_));
  Bitmap changed(n);
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &changed));
  EXPECT_TRUE(changed.test(40));
  EXPECT_EQ(0, Close(fd));
}

// Bios keep flowing through a hooked queue while a sibling partition that
// nobody has open is deleted and added again: the hook places them by the
// extent it recorded, never by the disk's table, whose deleted entries are
// freed (the sanitizer build catches any read of them).
TEST_F(DeviceLifeTest, BiosFlowWhileASiblingPartitionIsDeletedAndAddedAgain) {
  blk::Disk* disk = AddDisk();
  ASSERT_NE(nullptr, disk);
  blk::devnum p1 = disk->part_dev(1);
  MountTestfs(p1, kBs);
  const std::uint32_t n = Blocks(p1, kBs);
  Track(p1, n);

  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p1, n, n));
  ASSERT_EQ(CGD_OK, Snap(fd, &key_));  // the backup's hook, tracking on

  std::atomic<bool> stop{false};
  std::atomic<int> changes{0}, failures{0};
  std::thread table([&] {
    while (!stop.load()) {
      if (disk->delete_partition(2) != 0 ||
          disk->add_partition(2, kPart2Start, kPart2Sectors) != 0)
        failures++;
      changes++;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; t++)
    writers.emplace_back([&, t] {
      for (std::uint32_t i = 0; i < 64; i++)
        if (Put(p1, 2 + t * 64 + i, std::uint8_t(i + 1)) != 0) failures++;
    });
  for (auto& w : writers) w.join();
  while (changes.load() < 50) std::this_thread::yield();
  stop = true;
  table.join();
  EXPECT_EQ(0, failures.load());

  // Every write was held and preserved for the image, and tracked.
  EXPECT_EQ(128, StatsOf(fd).totalCBs);
  EXPECT_EQ(0, Close(fd));
  fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p1, n, n));
  AMSessionKey key = KeyOf(fd);
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  Bitmap changed(n);
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &changed));
  std::vector<std::uint32_t> want;
  for (std::uint32_t b = 2; b < 130; b++) want.push_back(b);
  EXPECT_EQ(want, changed.blocks());
  EXPECT_EQ(0, Close(fd));
}

// A tracked partition moved while unmounted (deleted and added again at
// another start, as BLKPG does, with the same length): its tracking placed
// writes by the old extent, so the next snapshot starts tracking afresh
// and hands no changed-block map over.
TEST_F(DeviceLifeTest, ATrackedPartitionThatMovedStartsAFreshSession) {
  blk::Disk* disk = AddDisk();
  ASSERT_NE(nullptr, disk);
  blk::devnum p1 = disk->part_dev(1);
  MountTestfs(p1, kBs);
  const std::uint32_t n = Blocks(p1, kBs);
  Track(p1, n);
  Umount(p1);
  ASSERT_EQ(0, disk->delete_partition(1));
  ASSERT_EQ(0, disk->add_partition(1, 1024, kPart1Sectors));
  MountTestfs(p1, kBs);
  Remark();

  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p1, n, n));
  ASSERT_EQ(CGD_OK, Snap(fd, &key_));
  Bitmap changed(n);
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &changed)) << "a map was handed over";
  EXPECT_TRUE(Logged("<4>ioctlSnapShot: device moved (sectors 1024+2048, automap has 2048+2048), "
                     "resetting automap"));
  EXPECT_EQ(1u, QueryAMState(fd).state) << "tracking goes on, afresh";
  EXPECT_EQ(0, Close(fd));
}

// A file system mounted read-only is not frozen (nothing writes through
// it): the snapshot still takes its instant and copy-before-write begins.
TEST_F(DeviceLifeTest, AReadOnlyFileSystemIsSnapshottedWithoutAFreeze) {
  blk::Disk* disk = AddDisk();
  ASSERT_NE(nullptr, disk);
  blk::devnum p2 = disk->part_dev(2);
  ASSERT_TRUE(blk::format_testfs(p2, kBs));
  ASSERT_EQ(0, blk::mount(p2, /*read_only=*/true));
  mounted_.push_back(p2);
  const std::uint32_t n = Blocks(p2, kBs);
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p2, n, n));
  ASSERT_EQ(CGD_OK, Snap(fd));
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
  blk::FsInfo info;
  ASSERT_TRUE(blk::fs_info(p2, &info));
  EXPECT_EQ(0, info.lockfs_calls);
  EXPECT_EQ(0, info.frozen);
  ASSERT_EQ(0, Put(p2, 9, 0x99));  // a raw write to the device is still preserved
  EXPECT_EQ(1, StatsOf(fd).totalCBs);
  EXPECT_EQ(0, Close(fd));
}

// A file system smaller than its partition: the agent starts with its size,
// and the blocks beyond it belong to no map of the session.  Writes there
// pass at once, and nothing is preserved for them (each write would
// otherwise be preserved again, filling the store).
TEST_F(DeviceLifeTest, BlocksBeyondTheFileSystemAreNeverPreserved) {
  blk::devnum p2 = MountedPart2(kBs);
  const std::uint32_t fsBlocks = Blocks(p2, kBs) / 2;
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p2, fsBlocks, 4));  // a store of 4 blocks
  ASSERT_EQ(CGD_OK, Snap(fd));
  for (int round = 0; round < 3; round++)
    for (std::uint32_t b = fsBlocks; b < fsBlocks + 8; b++) ASSERT_EQ(0, Put(p2, b, 0x77));
  ASSERT_EQ(0, Put(p2, 7, 0x77));  // one block of the file system
  Stats st = StatsOf(fd);
  EXPECT_EQ(1, st.totalCBs);
  EXPECT_EQ(1, st.curCBs);
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd)) << "the store filled up";
  EXPECT_EQ(0, Close(fd));
}

}  // namespace
