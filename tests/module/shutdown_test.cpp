// The shutdown command while a backup runs on a tracked device: the
// tracking sessions go, but the backup keeps its copy-before-write hook
// (the device's registry entry is shared with it), and the backup's close
// gives the queue back to the disk.
#include "module/backup_fixture.h"

namespace {

using namespace cgtest;

class ShutdownTest : public BackupTest {
 protected:
  static constexpr std::uint32_t kBs = 1024;
  void SetUp() override {
    BackupTest::SetUp();
    dev_ = MountedPart2(kBs, &disk_);
    n_ = Blocks(dev_, kBs);
  }
  void Fill(std::uint32_t block, std::uint8_t v) {
    std::vector<std::uint8_t> data(kBs, v);
    ASSERT_EQ(0, blk::fs_write(dev_, std::uint64_t(block) * kBs, data.data(), kBs));
  }
  blk::Disk* disk_ = nullptr;
  blk::devnum dev_ = 0;
  std::uint32_t n_ = 0;
};

TEST_F(ShutdownTest, RunningBackupKeepsItsHookAndImage) {
  Fill(10, 0x11);
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_OK, Snap(fd));
  ASSERT_EQ(1u, QueryAMState(fd).state);

  int other = Open();
  ASSERT_EQ(0, user::ioctl(other, CGD_SHUTDOWN, 0));
  EXPECT_EQ(0u, QueryAMState(fd).state);
  EXPECT_EQ(0u, QueryAMState(fd).mapLen);
  EXPECT_FALSE(QueueIsReal(disk_)) << "shutdown took the backup's hook away";

  // A write after the shutdown is still preserved for the image.
  Fill(10, 0x22);
  Bitmap want(n_);
  want.set(10);
  ASSERT_EQ(CGD_OK, LoadMap(fd, want));
  std::uint8_t* w = MapWindow(fd, QueryState(fd).mmapSize / 4096);
  ASSERT_NE(nullptr, w);
  ASSERT_EQ(CGD_OK, Read(fd, 10, 1, w));
  EXPECT_TRUE(std::all_of(w, w + kBs, [](std::uint8_t c) { return c == 0x11; }));
  EXPECT_EQ(1, StatsOf(fd).totalReadCBs);

  ASSERT_EQ(0, user::munmap(w, QueryState(fd).mmapSize));
  ASSERT_EQ(0, Close(fd));
  EXPECT_TRUE(QueueIsReal(disk_));
}

TEST_F(ShutdownTest, IdleTrackedDeviceGetsItsQueueBack) {
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_OK, Snap(fd));
  ASSERT_EQ(0, Close(fd));
  EXPECT_FALSE(QueueIsReal(disk_));  // the tracking hook

  int other = Open();
  ASSERT_EQ(0, user::ioctl(other, CGD_SHUTDOWN, 0));
  EXPECT_TRUE(QueueIsReal(disk_));
  EXPECT_EQ(0u, QueryAMState(other).state);
}

}  // namespace
