// The snapshot through the control device: the freeze and its times, what
// becomes of the device's tracking session in each case (new, kept and
// handed over, resized, replaced, closed, key mismatch, out of sync before
// and during the snapshot, a device without a slot), failed snapshots and
// their retry, and the sync command.
#include "device/backup_fixture.h"
#include "device/user_pages.h"

namespace {

using namespace cgtest;

bool AllZero(const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return std::all_of(b, b + n, [](std::uint8_t c) { return c == 0; });
}
bool SameKey(const AMSessionKey& a, const AMSessionKey& b) { return std::memcmp(a.key, b.key, CGD_KEY_SIZE) == 0; }

const char kNoMap[] = "<3>ioctlGetAutoMap: backup error automap is NULL ";

class SnapshotTest : public BackupTest {
 protected:
  static constexpr std::uint32_t kBs = 4096;
  void SetUp() override {
    BackupTest::SetUp();
    dev_ = MountedPart2(kBs, &disk_);
    n_ = Blocks(dev_, kBs);
  }
  void WriteBlocks(std::initializer_list<std::uint32_t> blocks, std::uint8_t fill = 0x5e) {
    std::vector<std::uint8_t> data(kBs, fill);
    for (std::uint32_t b : blocks) ASSERT_EQ(0, blk::fs_write(dev_, std::uint64_t(b) * kBs, data.data(), kBs)) << b;
  }
  // A whole backup that leaves the device tracked; returns the key it got.
  AMSessionKey TrackedBackup(std::uint32_t blocks) {
    int fd = Open();
    EXPECT_EQ(CGD_OK, Start(fd, dev_, blocks, blocks));
    EXPECT_EQ(CGD_OK, Snap(fd));
    AMSessionKey key = KeyOf(fd);
    EXPECT_EQ(0, Close(fd));
    return key;
  }
  // Starts a backup on a fresh file; the caller snapshots.
  int Started(std::uint32_t blocks) {
    int fd = Open();
    EXPECT_EQ(CGD_OK, Start(fd, dev_, blocks, blocks));
    return fd;
  }
  // The changed blocks a snapshot with `key` hands over, fetched; the file is closed.
  std::vector<std::uint32_t> ChangedSince(const AMSessionKey& key, std::uint32_t blocks, AMSessionKey* next = nullptr) {
    int fd = Started(blocks);
    EXPECT_EQ(CGD_OK, Snap(fd, &key));
    if (next) *next = KeyOf(fd);
    Bitmap map(blocks);
    int r = FetchAutoMap(fd, &map);
    EXPECT_EQ(0, Close(fd));
    return r == CGD_OK ? map.blocks() : std::vector<std::uint32_t>{0xdeadbeef};
  }

  blk::Disk* disk_ = nullptr;
  blk::devnum dev_ = 0;
  std::uint32_t n_ = 0;
};

TEST_F(SnapshotTest, FirstSnapshotFreezesAndCreatesATrackingSession) {
  int fd = Started(n_);
  AutoMapState before = QueryAMState(fd);
  EXPECT_TRUE(AllZero(&before, sizeof before));
  blk::FsInfo fs;
  ASSERT_TRUE(blk::fs_info(dev_, &fs));
  const long lockfs = fs.lockfs_calls;
  Remark();
  ASSERT_EQ(CGD_OK, Snap(fd));
  EXPECT_EQ((Lines{"<3>ioctlSnapShot: Going to freez: 8.2"}), NewLog());
  ASSERT_TRUE(blk::fs_info(dev_, &fs));
  EXPECT_EQ(lockfs + 1, fs.lockfs_calls);
  EXPECT_EQ(fs.lockfs_calls, fs.unlockfs_calls);
  EXPECT_EQ(0, fs.frozen);
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
  EXPECT_FALSE(QueueIsReal(disk_));

  AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(8u, a.major);
  EXPECT_EQ(2u, a.minor);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), a.state);
  EXPECT_EQ(n_, a.mapLen);
  EXPECT_EQ((n_ + 7) / 8, a.mapSize);
  EXPECT_FALSE(AllZero(a.amsKey.key, CGD_KEY_SIZE));
  EXPECT_EQ(1, StatsOf(fd).curAllocAMPages);

  // No map to hand over on a first snapshot.
  Bitmap map(n_);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_EQ(Lines{kNoMap}, NewLog());

  // The tracking hook takes over at close; the session outlives the file.
  EXPECT_EQ(0, Close(fd));
  EXPECT_FALSE(QueueIsReal(disk_));
  int other = Open();
  AutoMapState after = QueryAMState(other);
  EXPECT_TRUE(AllZero(&after, sizeof after));  // a record never started names no device
}

TEST_F(SnapshotTest, KeptSessionHandsOverExactlyTheBlocksWrittenBetweenSnapshots) {
  int fd = Started(n_);
  WriteBlocks({3});  // before the first frozen instant: not tracked
  ASSERT_EQ(CGD_OK, Snap(fd));
  const AMSessionKey key = KeyOf(fd);
  WriteBlocks({5, 9});  // during the backup
  EXPECT_EQ(0, Close(fd));
  WriteBlocks({300, n_ - 1, 9});  // between backups

  fd = Started(n_);
  const int pagesBefore = StatsOf(fd).curAllocPages;
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), a.state);
  EXPECT_FALSE(SameKey(key, a.amsKey));
  EXPECT_EQ(pagesBefore + 1, StatsOf(fd).curAllocPages);
  WriteBlocks({7});  // after the second frozen instant: the next map's

  Bitmap map(n_);
  std::memset(map.bytes.data(), 0xff, map.bytes.size());
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &map));
  EXPECT_EQ((std::vector<std::uint32_t>{5, 9, 300, n_ - 1}), map.blocks());
  // Fetched once: the map is gone, and its pages with it.
  EXPECT_EQ(pagesBefore, StatsOf(fd).curAllocPages);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_EQ(Lines{kNoMap}, NewLog());
  EXPECT_EQ(0, Close(fd));

  EXPECT_EQ((std::vector<std::uint32_t>{7}), ChangedSince(a.amsKey, n_));
}

TEST_F(SnapshotTest, KeyIsComparedOverItsFullLength) {
  AMSessionKey key = TrackedBackup(n_);
  WriteBlocks({11});
  // A key cut short is padded with zeros: cut before its last non-zero
  // byte, it no longer matches.
  unsigned cut = CGD_KEY_SIZE;
  while (cut > 0 && key.key[cut - 1] == 0) cut--;
  ASSERT_GT(cut, 0u);
  int fd = Started(n_);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, Snap(fd, &key, cut - 1));
  EXPECT_EQ((Lines{"<3>ioctlSnapShot: session key mismatch"}), NewLog());
  // A longer one is read up to 56 bytes.
  struct {
    AMSessionKey key;
    std::uint8_t extra[44];
  } longer;
  longer.key = key;
  std::memset(longer.extra, 0x99, sizeof longer.extra);
  ASSERT_EQ(CGD_OK, Snap(fd, &longer.key, 100));
  Bitmap map(n_);
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &map));
  EXPECT_EQ((std::vector<std::uint32_t>{11}), map.blocks());
}

TEST_F(SnapshotTest, KeyMismatchLeavesTheSessionUntouched) {
  const AMSessionKey key = TrackedBackup(n_);
  WriteBlocks({21});
  int fd = Started(n_);
  AMSessionKey wrong = key;
  wrong.key[CGD_KEY_SIZE - 1] ^= 1;
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, Snap(fd, &wrong));
  EXPECT_EQ((Lines{"<3>ioctlSnapShot: session key mismatch"}), NewLog());
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(fd));
  EXPECT_TRUE(QueueIsReal(disk_) == false);  // still the tracking hook
  AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), a.state);
  EXPECT_TRUE(SameKey(key, a.amsKey));
  // The all-zero key of a first backup does not match either.
  EXPECT_EQ(CGD_ERR_INVALID, Snap(fd));
  // Tracking went on meanwhile; the right key gets it all.
  WriteBlocks({22});
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  Bitmap map(n_);
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &map));
  EXPECT_EQ((std::vector<std::uint32_t>{21, 22}), map.blocks());
}

TEST_F(SnapshotTest, UnreadableKeyIsRefused) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  int fd = Started(n_);
  Remark();
  EXPECT_EQ(CGD_ERR_COPY_IN, Snap(fd, reinterpret_cast<AMSessionKey*>(pages.none()), CGD_KEY_SIZE));
  EXPECT_EQ((Lines{"<3>ioctlSnapShot: copy from user space failed"}), NewLog());
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(fd));
  AutoMapState a = QueryAMState(fd);
  EXPECT_TRUE(AllZero(&a, sizeof a));
  // A key of length 0 is never read.
  EXPECT_EQ(CGD_OK, Snap(fd, reinterpret_cast<AMSessionKey*>(pages.none()), 0));
}

TEST_F(SnapshotTest, ResizedDeviceResetsTheSession) {
  const AMSessionKey key = TrackedBackup(n_);
  WriteBlocks({30});
  int fd = Started(n_ - 1);
  Remark();
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  EXPECT_TRUE(Logged("<4>ioctlSnapShot: device resize detected, device has (" + std::to_string(n_ - 1) +
                     ") blocks and automap has (" + std::to_string(n_) + "), resetting automap"));
  AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), a.state);
  EXPECT_EQ(n_ - 1, a.mapLen);
  EXPECT_FALSE(SameKey(key, a.amsKey));
  Bitmap map(n_ - 1);
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_TRUE(Logged(kNoMap));
  EXPECT_EQ(0, Close(fd));
  WriteBlocks({31});
  EXPECT_EQ((std::vector<std::uint32_t>{31}), ChangedSince(a.amsKey, n_ - 1));
}

TEST_F(SnapshotTest, NoLoadFromAutoMapReplacesTheSession) {
  const AMSessionKey key = TrackedBackup(n_);
  WriteBlocks({40});
  int fd = Started(n_);
  ASSERT_EQ(CGD_OK, user::ioctl(fd, CGD_NO_LOAD_FROM_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), a.state);
  EXPECT_FALSE(SameKey(key, a.amsKey));
  Bitmap map(n_);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_EQ(Lines{kNoMap}, NewLog());
  EXPECT_EQ(0, Close(fd));
  WriteBlocks({41});
  EXPECT_EQ((std::vector<std::uint32_t>{41}), ChangedSince(a.amsKey, n_));
}

TEST_F(SnapshotTest, NoStartAutoMapClosesTheSession) {
  const AMSessionKey key = TrackedBackup(n_);
  int fd = Started(n_);
  EXPECT_EQ(1, StatsOf(fd).curAllocAMPages);
  ASSERT_EQ(CGD_OK, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, user::ioctl(fd, CGD_NO_LOAD_FROM_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  AutoMapState a = QueryAMState(fd);
  EXPECT_TRUE(AllZero(&a, sizeof a));
  EXPECT_EQ(0, StatsOf(fd).curAllocAMPages);
  Bitmap map(n_);
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_EQ(0, Close(fd));
  // Nobody tracks the device now: its queue has its own function again,
  // and the next backup starts a new session.
  EXPECT_TRUE(QueueIsReal(disk_));
  WriteBlocks({50});
  fd = Started(n_);
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_FALSE(SameKey(key, KeyOf(fd)));
}

// A session put out of sync by a write past the end of its map is replaced
// at the next snapshot; no map is handed over.
TEST_F(SnapshotTest, OutOfSyncSessionIsReplaced) {
  const std::uint32_t small = n_ - 8;
  const AMSessionKey key = TrackedBackup(small);
  WriteBlocks({4});
  Remark();
  WriteBlocks({n_ - 2});
  EXPECT_EQ(1u, LinesStarting("<4>updateAM: device resize detected").size());
  int fd = Started(small);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_NOT_IN_SYNC), QueryAMState(fd).state);
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), a.state);
  EXPECT_FALSE(SameKey(key, a.amsKey));
  Bitmap map(small);
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_TRUE(Logged(kNoMap));
  EXPECT_EQ(0, Close(fd));
  WriteBlocks({6});
  EXPECT_EQ((std::vector<std::uint32_t>{6}), ChangedSince(a.amsKey, small));
}

// The session was in sync when the snapshot chose to load from it, and a
// write past its end lands before the frozen instant: no map is handed over,
// and the session starts afresh, in sync and empty, at the frozen instant.
TEST_F(SnapshotTest, SessionFallingOutOfSyncDuringTheSnapshotHandsNothingOver) {
  const std::uint32_t small = n_ - 8;
  const AMSessionKey key = TrackedBackup(small);
  WriteBlocks({3});
  int fd = Started(small);
  ASSERT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), QueryAMState(fd).state);
  const int pagesBefore = StatsOf(fd).curAllocPages;

  int hookRuns = 0;
  blk::set_freeze_hook([&](blk::devnum dev, struct super_block*) {
    if (dev != dev_) return;
    hookRuns++;
    std::vector<std::uint8_t> data(kBs, 0x42);
    // Raw I/O does not wait for the thaw.
    EXPECT_EQ(0, blk::rw_sectors(dev_, 1, std::uint64_t(n_ - 2) * (kBs / 512), data.data(), kBs));
  });
  ASSERT_EQ(CGD_OK, Snap(fd, &key));
  blk::set_freeze_hook({});
  EXPECT_EQ(1, hookRuns);

  Bitmap map(small);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_EQ(Lines{kNoMap}, NewLog());
  // The map built for the hand-over is not kept either.
  EXPECT_EQ(pagesBefore, StatsOf(fd).curAllocPages);
  AutoMapState a = QueryAMState(fd);
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), a.state);
  EXPECT_EQ(small, a.mapLen);
  EXPECT_FALSE(SameKey(key, a.amsKey));
  EXPECT_EQ(0, Close(fd));

  WriteBlocks({8});
  EXPECT_EQ((std::vector<std::uint32_t>{8}), ChangedSince(a.amsKey, small));
}

// A snapshot that finds no file system to freeze fails, and its retry
// neither leaks nor double counts the map the failed try built.
TEST_F(SnapshotTest, RetryAfterAFailedFreeze) {
  const AMSessionKey key = TrackedBackup(n_);
  WriteBlocks({60});
  int fd = Started(n_);
  const int pagesBefore = StatsOf(fd).curAllocPages;
  Umount(dev_);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, Snap(fd, &key));
  EXPECT_TRUE(Logged("<3>ioctlSnapShot: freeze_bdev could not freeze the device."));
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(fd));
  Stats st = StatsOf(fd);
  EXPECT_EQ(0, st.eTimeToFreeze.tv_sec + st.eTimeToFreeze.tv_nsec + st.eTimeFrozen.tv_sec + st.eTimeFrozen.tv_nsec);

  // The failed try renewed the key: the old one is refused now.
  const AMSessionKey renewed = KeyOf(fd);
  EXPECT_FALSE(SameKey(key, renewed));
  ASSERT_EQ(0, blk::mount(dev_));
  mounted_.push_back(dev_);
  EXPECT_EQ(CGD_ERR_INVALID, Snap(fd, &key));
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(fd));
  ASSERT_EQ(CGD_OK, Snap(fd, &renewed));
  EXPECT_EQ(pagesBefore + 1, StatsOf(fd).curAllocPages);
  Bitmap map(n_);
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &map));
  EXPECT_EQ((std::vector<std::uint32_t>{60}), map.blocks());
  EXPECT_EQ(pagesBefore, StatsOf(fd).curAllocPages);
}

TEST_F(SnapshotTest, SnapshotOnlyFromTheStartedState) {
  int fd = Open();
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, Snap(fd));  // never started
  int refused = Open();
  int holder = Started(n_);
  EXPECT_EQ(CGD_ERR_BACKUP_OPEN, Start(refused, dev_, n_, n_));
  EXPECT_EQ(CGD_ERR_INVALID, Snap(refused));  // state 12
  ASSERT_EQ(CGD_OK, Snap(holder));
  EXPECT_EQ(CGD_ERR_INVALID, Snap(holder));  // state 4
  ASSERT_EQ(CGD_OK, LoadMap(holder, Bitmap::all(n_)));
  EXPECT_EQ(CGD_ERR_INVALID, Snap(holder));  // state 6
  EXPECT_EQ((Lines{"<3>ioctlSnapShot: Going to freez: 8.2"}), LinesStarting("<3>ioctlSnapShot"));
}

TEST_F(SnapshotTest, SyncFlushesOnlyAStartedDevice) {
  blk::FsInfo fs;
  int fd = Open();
  ASSERT_TRUE(blk::fs_info(dev_, &fs));
  long syncs = fs.sync_calls;
  Remark();
  EXPECT_EQ(CGD_OK, user::ioctl(fd, CGD_SYNC, 0));  // never started: nothing to flush
  EXPECT_EQ(Lines{}, NewLog());
  ASSERT_TRUE(blk::fs_info(dev_, &fs));
  EXPECT_EQ(syncs, fs.sync_calls);
  EXPECT_EQ(unsigned(CGD_STATE_IDLE), StateOf(fd));

  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  for (int step = 0; step < 3; step++) {
    ASSERT_TRUE(blk::fs_info(dev_, &fs));
    syncs = fs.sync_calls;
    EXPECT_EQ(CGD_OK, user::ioctl(fd, CGD_SYNC, 0));
    ASSERT_TRUE(blk::fs_info(dev_, &fs));
    EXPECT_EQ(syncs + 1, fs.sync_calls);
    if (step == 0) {
      ASSERT_EQ(CGD_OK, Snap(fd));
    }
    if (step == 1) {
      ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n_)));
    }
  }
}

// Devices whose major or minor is 256 or more have no tracking slot: they
// are backed up without tracking, with a warning naming the device.
TEST_F(SnapshotTest, DevicesWithoutATrackingSlotSnapshotUntracked) {
  struct Where {
    unsigned major;
    int firstMinor;
  } const where[] = {{259, 0}, {8, 256}};
  for (const auto& w : where) {
    SCOPED_TRACE(w.major);
    blk::DiskConfig cfg;
    cfg.major = w.major;
    cfg.first_minor = w.firstMinor;
    cfg.minors = 16;
    blk::Disk* disk = AddDisk(cfg);
    ASSERT_NE(nullptr, disk);
    blk::devnum dev = disk->part_dev(2);
    MountTestfs(dev, 1024);
    const std::uint32_t n = Blocks(dev, 1024);
    int fd = Open();
    ASSERT_EQ(CGD_OK, Start(fd, dev, n, n));
    Remark();
    ASSERT_EQ(CGD_OK, Snap(fd));
    const std::string names = "major=" + std::to_string(w.major) + " minor=" + std::to_string(blk::minor_of(dev));
    bool warned = false;
    for (const auto& l : LinesStarting("<4>"))
      if (l.find(names) != std::string::npos) warned = true;
    EXPECT_TRUE(warned) << "no warning naming " << names;
    EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
    AutoMapState a = QueryAMState(fd);
    EXPECT_TRUE(AllZero(&a, sizeof a));
    // Copy-before-write works all the same.
    std::vector<std::uint8_t> data(1024, 0x11);
    ASSERT_EQ(0, blk::fs_write(dev, 5 * 1024, data.data(), 1024));
    ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n)));
    std::uint8_t* win = MapWindow(fd, 1);
    ASSERT_NE(nullptr, win);
    ASSERT_EQ(CGD_OK, Read(fd, 4, 4, win));
    EXPECT_TRUE(AllZero(win + 1024, 1024));
    EXPECT_EQ(0, user::munmap(win, 4096));
    EXPECT_EQ(0, Close(fd));
    EXPECT_TRUE(QueueIsReal(disk));
  }
}

}  // namespace
