// Two partitions on one request queue, tracking sessions that outlive their
// backups, the shutdown command while a backup runs, and the unload: every
// write is either preserved for the running backup or tracked for the next
// incremental (or the session is put out of sync), and the queue gets its own
// function back when nothing needs it.
#include "device/backup_fixture.h"
#include "standin/fault.h"

namespace {

using namespace cgtest;

class SharedQueueTest : public BackupTest {
 protected:
  static constexpr std::uint32_t kBs = 1024;
  void SetUp() override {
    BackupTest::SetUp();
    disk_ = AddDisk();
    ASSERT_NE(nullptr, disk_);
    p1_ = disk_->part_dev(1);
    p2_ = disk_->part_dev(2);
    MountTestfs(p1_, kBs);
    MountTestfs(p2_, kBs);
    n1_ = Blocks(p1_, kBs);
    n2_ = Blocks(p2_, kBs);
  }
  void WriteBlock(blk::devnum dev, std::uint32_t b, std::uint8_t fill) {
    std::vector<std::uint8_t> data(kBs, fill);
    ASSERT_EQ(0, blk::fs_write(dev, std::uint64_t(b) * kBs, data.data(), kBs));
  }
  // A backup of dev up to the snapshot (tracked unless noStart); the file.
  int Snapped(blk::devnum dev, std::uint32_t n, const AMSessionKey* key = nullptr, bool noStart = false) {
    int fd = Open();
    if (noStart) {
      EXPECT_EQ(CGD_OK, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
    }
    EXPECT_EQ(CGD_OK, Start(fd, dev, n, n));
    AMSessionKey zero = {};
    EXPECT_EQ(CGD_OK, Snap(fd, key ? key : &zero));
    return fd;
  }
  // What the next snapshot of dev with key hands over: the changed blocks,
  // or nullopt-like {UINT32_MAX} when no map is handed over.
  std::vector<std::uint32_t> Handed(blk::devnum dev, std::uint32_t n, const AMSessionKey& key) {
    int fd = Snapped(dev, n, &key);
    Bitmap map(n);
    int r = FetchAutoMap(fd, &map);
    EXPECT_EQ(0, Close(fd));
    return r == CGD_OK ? map.blocks() : std::vector<std::uint32_t>{UINT32_MAX};
  }
  // Reads block b of the running backup on fd (after loading an all-blocks map).
  std::vector<std::uint8_t> ReadOne(int fd, std::uint32_t n, std::uint32_t b) {
    EXPECT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n)));
    std::uint8_t* w = MapWindow(fd, 1);
    EXPECT_NE(nullptr, w);
    if (!w) return {};
    EXPECT_EQ(CGD_OK, Read(fd, b, 1, w));
    std::vector<std::uint8_t> out(w, w + kBs);
    EXPECT_EQ(0, user::munmap(w, 4096));
    return out;
  }

  blk::Disk* disk_ = nullptr;
  blk::devnum p1_ = 0, p2_ = 0;
  std::uint32_t n1_ = 0, n2_ = 0;
};

// Writes to the other partition are tracked while a backup holds the queue,
// and both sessions go on being tracked after it closes.
TEST_F(SharedQueueTest, BothPartitionsStayTrackedAcrossTheOthersBackup) {
  int fd = Snapped(p1_, n1_);
  const AMSessionKey k1 = KeyOf(fd);
  EXPECT_EQ(0, Close(fd));
  fd = Snapped(p2_, n2_);
  const AMSessionKey k2 = KeyOf(fd);
  WriteBlock(p1_, 100, 0x01);  // while p2's backup holds the queue
  WriteBlock(p2_, 200, 0x02);
  EXPECT_EQ(0, Close(fd));
  WriteBlock(p1_, 101, 0x03);
  WriteBlock(p2_, 201, 0x04);
  EXPECT_EQ((std::vector<std::uint32_t>{100, 101}), Handed(p1_, n1_, k1));
  EXPECT_EQ((std::vector<std::uint32_t>{200, 201}), Handed(p2_, n2_, k2));
  EXPECT_FALSE(QueueIsReal(disk_));
  ASSERT_EQ(0, standin::modules::rmmod("cowguard"));
  EXPECT_TRUE(QueueIsReal(disk_));
}

// An untracked backup of p2 on the queue that tracks p1: after its close,
// p1's session either still has every write or is out of sync.
TEST_F(SharedQueueTest, UntrackedBackupOfTheOtherPartitionLosesNoWrite) {
  int fd = Snapped(p1_, n1_);
  const AMSessionKey k1 = KeyOf(fd);
  EXPECT_EQ(0, Close(fd));
  fd = Snapped(p2_, n2_, nullptr, true);
  WriteBlock(p1_, 10, 0x05);
  EXPECT_EQ(0, Close(fd));
  WriteBlock(p1_, 11, 0x06);
  fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p1_, n1_, n1_));
  const AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(0, Close(fd));
  const auto handed = Handed(p1_, n1_, k1);
  if (a.state == CGD_AUTOMAP_IN_SYNC) {
    EXPECT_EQ((std::vector<std::uint32_t>{10, 11}), handed);
  } else {
    EXPECT_EQ(std::vector<std::uint32_t>{UINT32_MAX}, handed);
  }
}

// A start that fails on a tracked device, and its close, keep the device
// tracked (or put its session out of sync); nothing loops or is lost.
TEST_F(SharedQueueTest, FailedStartOnATrackedDeviceKeepsItsTracking) {
  int fd = Snapped(p2_, n2_);
  const AMSessionKey k2 = KeyOf(fd);
  EXPECT_EQ(0, Close(fd));
  WriteBlock(p2_, 50, 0x07);
  fd = Open();
  standin::fault::set(standin::fault::Site::slab_create, {.nth = 1, .name_prefix = "cgdCP"});
  EXPECT_EQ(CGD_ERR_NO_MEMORY, Start(fd, p2_, n2_, n2_));
  standin::fault::clear_all();
  EXPECT_EQ(unsigned(CGD_STATE_STARTING), StateOf(fd));
  EXPECT_EQ(0, Close(fd));
  WriteBlock(p2_, 51, 0x08);
  WriteBlock(p1_, 52, 0x09);
  fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, p2_, n2_, n2_));
  const AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(0, Close(fd));
  const auto handed = Handed(p2_, n2_, k2);
  if (a.state == CGD_AUTOMAP_IN_SYNC) {
    EXPECT_EQ((std::vector<std::uint32_t>{50, 51}), handed);
  } else {
    EXPECT_EQ(std::vector<std::uint32_t>{UINT32_MAX}, handed);
  }
  ASSERT_EQ(0, standin::modules::rmmod("cowguard"));
  EXPECT_TRUE(QueueIsReal(disk_));
}

// The shutdown command closes every tracking session; a backup that is
// running keeps its copy-before-write hook and its image.
TEST_F(SharedQueueTest, ShutdownDuringABackupKeepsItsImage) {
  std::vector<std::uint8_t> before(kBs, 0x5a);
  ASSERT_EQ(0, blk::fs_write(p2_, 30 * kBs, before.data(), kBs));
  int fd = Snapped(p2_, n2_);
  ASSERT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), QueryAMState(fd).state);
  int other = Open();
  EXPECT_EQ(0, user::ioctl(other, CGD_SHUTDOWN, 0));
  EXPECT_EQ(0u, QueryAMState(fd).state);
  EXPECT_FALSE(QueueIsReal(disk_));
  WriteBlock(p2_, 30, 0xa5);
  EXPECT_EQ(before, ReadOne(fd, n2_, 30));
  EXPECT_EQ(0, Close(fd));
  EXPECT_TRUE(QueueIsReal(disk_));
}

}  // namespace
