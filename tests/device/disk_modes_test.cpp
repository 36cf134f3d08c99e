// The module on disks that complete I/O as 2.6's drivers do: later from a
// completion interrupt, at once in the submitting task (the RAM disk
// driver), or in parts (a request ended piece by piece), on a disk without
// barriers, and with the kernel's bio pool short of memory.  The image the
// agent reads is the pre-snapshot device in every case, and a failure
// anywhere in a read fails that read.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernel/block_test_util.h"
#include "device/backup_fixture.h"

namespace {

using namespace cgtest;
using Completion = blk::DiskConfig::Completion;

struct Mode {
  const char* name;
  Completion completion;
  unsigned partial_sectors;
};

class DiskModesTest : public BackupTest {
 protected:
  static constexpr std::uint32_t kBs = 1024;
  static constexpr std::uint32_t kRun = 64;  // blocks written, preserved and read

  void SetUp() override { BackupTest::SetUp(); }
  void TearDown() override {
    blk::set_bio_reserve(-1);
    BackupTest::TearDown();
  }
  // A disk completing as cfg says, the test file system on partition 2,
  // blocks 0..kRun-1 holding pattern `seed`.
  void Prepare(const blk::DiskConfig& cfg, std::uint32_t seed = 1) {
    disk_ = AddDisk(cfg);
    ASSERT_NE(nullptr, disk_);
    dev_ = disk_->part_dev(2);
    MountTestfs(dev_, kBs);
    n_ = Blocks(dev_, kBs);
    for (std::uint32_t b = 4; b < kRun; b++) ASSERT_EQ(0, Put(b, Block(b, seed)));
  }
  static std::vector<std::uint8_t> Block(std::uint32_t b, std::uint32_t seed) {
    return blocktest::Pattern(kBs, b * 131 + seed);
  }
  int Put(std::uint32_t b, std::vector<std::uint8_t> data) {
    return blk::rw_sectors(dev_, WRITE, std::uint64_t(b) * 2, data.data(), data.size());
  }
  // Starts a backup, takes the snapshot and loads a map of every block.
  int Backup() {
    int fd = Open();
    EXPECT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
    EXPECT_EQ(CGD_OK, Snap(fd));
    return fd;
  }
  // Blocks 4..kRun-1 of the image hold the pattern of `seed`.
  void ExpectImage(int fd, std::uint32_t seed) {
    ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n_)));
    std::size_t bytes = QueryState(fd).mmapSize;
    std::uint8_t* w = MapWindow(fd, bytes / 4096);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(CGD_OK, Read(fd, 0, kRun, w));
    for (std::uint32_t b = 4; b < kRun; b++) {
      std::vector<std::uint8_t> got(w + std::size_t(b) * kBs, w + std::size_t(b + 1) * kBs);
      EXPECT_EQ(Block(b, seed), got) << "block " << b;
    }
    EXPECT_EQ(0, user::munmap(w, bytes));
  }

  blk::Disk* disk_ = nullptr;
  blk::devnum dev_ = 0;
  std::uint32_t n_ = 0;
};

class CompletionModeTest : public DiskModesTest, public ::testing::WithParamInterface<Mode> {
 protected:
  blk::DiskConfig Config() const {
    blk::DiskConfig cfg;
    cfg.completion = GetParam().completion;
    cfg.partial_sectors = GetParam().partial_sectors;
    return cfg;
  }
};

TEST_P(CompletionModeTest, TheImageIsThePreSnapshotDevice) {
  Prepare(Config(), 1);
  int fd = Backup();
  for (std::uint32_t b = 4; b < kRun; b += 2) ASSERT_EQ(0, Put(b, Block(b, 2)));  // held
  EXPECT_EQ(int(kRun - 4) / 2, StatsOf(fd).totalCBs);
  ExpectImage(fd, 1);
  EXPECT_EQ(unsigned(CGD_STATE_READING), StateOf(fd));
  EXPECT_EQ(0, Close(fd));
}

// A read whose later part fails: the read-blocks command reports the error
// and leaves the block zero; the capture of a held write fails the session.
TEST_P(CompletionModeTest, AFailedPartFailsTheWholeRead) {
  Prepare(Config(), 1);
  int fd = Backup();
  ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n_)));
  std::size_t bytes = QueryState(fd).mmapSize;
  std::uint8_t* w = MapWindow(fd, bytes / 4096);
  ASSERT_NE(nullptr, w);
  const std::uint64_t block10 = kPart2Start + 20;
  disk_->add_fault({block10 + 1, 1, true, false});  // the second sector of block 10
  EXPECT_EQ(CGD_ERR_IO, Read(fd, 8, 4, w));
  EXPECT_EQ(Block(8, 1), std::vector<std::uint8_t>(w, w + kBs));
  EXPECT_TRUE(std::all_of(w + 2 * kBs, w + 3 * kBs, [](std::uint8_t c) { return c == 0; }));
  EXPECT_EQ(Block(11, 1), std::vector<std::uint8_t>(w + 3 * kBs, w + 4 * kBs));

  const std::uint64_t block20 = kPart2Start + 40;
  disk_->add_fault({block20 + 1, 1, true, false});
  ASSERT_EQ(0, Put(20, Block(20, 2)));  // held; its old contents cannot be read
  EXPECT_EQ(unsigned(CGD_STATE_READ_ERROR), StateOf(fd));
  disk_->clear_faults();
  EXPECT_EQ(0, user::munmap(w, bytes));
  EXPECT_EQ(0, Close(fd));
}

INSTANTIATE_TEST_SUITE_P(
    Disks, CompletionModeTest,
    ::testing::Values(Mode{"Interrupt", Completion::async, 1},
                      Mode{"Submitter", Completion::submitter, 1},
                      Mode{"PartsOfOneSector", Completion::partial, 1},
                      Mode{"PartsOfThreeSectors", Completion::partial, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// With the bio pool down to a handful of bios, a read of a whole window and
// the preserving of held writes still finish: neither keeps a bio once it
// has completed.
TEST_F(DiskModesTest, ReadsAndCapturesFinishWhenTheBioPoolIsShort) {
  Prepare({}, 1);
  int fd = Backup();
  blk::set_bio_reserve(3);
  for (std::uint32_t b = 4; b < kRun; b++) ASSERT_EQ(0, Put(b, Block(b, 2)));
  ExpectImage(fd, 1);
  blk::set_bio_reserve(-1);
  EXPECT_EQ(0, Close(fd));
}

// A barrier write the hook holds is preserved first, then released to a disk
// that cannot order writes: it fails to its submitter with -EOPNOTSUPP (a
// file system then writes again without the barrier), and the session goes on.
TEST_F(DiskModesTest, AHeldBarrierWriteFailsToItsSubmitterAndTheBackupGoesOn) {
  blk::DiskConfig cfg;
  cfg.barriers = false;
  Prepare(cfg, 1);
  int fd = Backup();
  struct block_device* part = blocktest::OpenBdev(dev_);
  ASSERT_NE(nullptr, part);
  blocktest::TestBio w(part, 5 * 2, kBs);
  w.Fill(Block(5, 2));
  w.bio->bi_rw |= 1UL << BIO_RW_BARRIER;
  submit_bio(WRITE, w.bio);
  ASSERT_TRUE(w.Wait());
  EXPECT_EQ(-EOPNOTSUPP, w.error);
  EXPECT_EQ(1, StatsOf(fd).totalCBs) << "the old block was preserved before the write went on";
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
  blkdev_put(part);
  ExpectImage(fd, 1);
  EXPECT_EQ(0, Close(fd));
}

}  // namespace
