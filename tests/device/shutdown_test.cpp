// The shutdown command while a backup runs on a tracked device: the
// tracking sessions go, but the backup keeps its copy-before-write hook
// (the device's registry entry is shared with it), and the backup's close
// gives the queue back to the disk.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "device/backup_fixture.h"

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

// A shutdown sent while a snapshot is at its frozen instant waits for the
// snapshot: the tracking session the snapshot has just made is not closed
// under it, and the shutdown then closes it whole.
TEST_F(ShutdownTest, WaitsForASnapshotInProgress) {
  std::mutex m;
  std::condition_variable cv;
  bool frozen = false, release = false;
  blk::set_freeze_hook([&](blk::devnum dev, struct super_block*) {
    if (dev != dev_) return;
    std::unique_lock lk(m);
    frozen = true;
    cv.notify_all();
    cv.wait(lk, [&] { return release; });
  });

  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  int other = Open();
  std::atomic<int> snapStatus{-1};
  std::atomic<bool> shutDown{false};
  std::thread snap([&] { snapStatus = Snap(fd); });
  {
    std::unique_lock lk(m);
    cv.wait(lk, [&] { return frozen; });
  }
  std::thread shutdown([&] {
    EXPECT_EQ(0, user::ioctl(other, CGD_SHUTDOWN, 0));
    shutDown = true;
  });
  // Give the shutdown time to finish if nothing held it back.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(shutDown.load()) << "the shutdown ran while the snapshot was frozen";
  {
    std::lock_guard lk(m);
    release = true;
  }
  cv.notify_all();
  snap.join();
  shutdown.join();
  blk::set_freeze_hook({});

  EXPECT_EQ(CGD_OK, snapStatus.load());
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), QueryState(fd).state);
  EXPECT_EQ(0u, QueryAMState(fd).state) << "the shutdown left the new tracking session";
  // The backup itself goes on: its hook stays until its close.
  EXPECT_FALSE(QueueIsReal(disk_));
  ASSERT_EQ(0, Close(fd));
  EXPECT_TRUE(QueueIsReal(disk_));
}

}  // namespace
