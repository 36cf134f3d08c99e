// A full and an incremental backup of a mounted file system on the second
// partition of a RAM disk, with writers going through the file system the
// whole time.  The images read through the control device are compared byte
// for byte with the device as it stood at each frozen instant; the
// changed-block map is checked against the blocks written between the two.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "device/backup_fixture.h"

namespace {

using namespace cgtest;

// One write of a writer: the freeze count read before it began and after it
// returned.  It landed after frozen instant `before` and before frozen
// instant `after` + 1 (instants counted from 1).
struct WriteRecord {
  std::uint32_t block;
  int before, after;
};

class BackupE2E : public BackupTest, public ::testing::WithParamInterface<std::uint32_t> {
 protected:
  void SetUp() override {
    BackupTest::SetUp();
    bs_ = GetParam();
    dev_ = MountedPart2(bs_, &disk_);
    n_ = Blocks(dev_, bs_);
    blk::set_freeze_hook([this](blk::devnum dev, struct super_block*) {
      if (dev != dev_) return;
      std::lock_guard lk(truthLock_);
      truth_.push_back(blk::device_bytes(dev_));
      freezes_.fetch_add(1);
    });
  }
  void TearDown() override {
    StopWriters();
    BackupTest::TearDown();
  }

  // Each writer writes runs of 1 to 3 blocks' worth of sectors at sector
  // offsets, so that writes cover parts of blocks and several blocks.
  void StartWriters(int count, unsigned seed) {
    const std::uint64_t sectors = std::uint64_t(n_) * bs_ / 512;
    const std::uint64_t first = 4096 / 512;  // leave the file system's header alone
    const std::uint64_t maxLen = 3 * bs_ / 512;
    for (int t = 0; t < count; t++) {
      writers_.emplace_back([this, t, seed, sectors, first, maxLen] {
        std::mt19937 rng(seed + t);
        std::vector<std::uint8_t> data(maxLen * 512);
        std::vector<WriteRecord> mine;
        for (std::uint32_t seq = 0; !stop_.load(); seq++) {
          const std::uint64_t len = 1 + rng() % maxLen;
          const std::uint64_t sector = first + rng() % (sectors - first - len + 1);
          for (std::size_t i = 0; i < len * 512; i += 4) {
            const std::uint32_t stamp = std::uint32_t(sector * 2654435761u) ^ (seq << 8) ^ std::uint32_t(t) ^ std::uint32_t(i);
            std::memcpy(&data[i], &stamp, 4);
          }
          const int before = freezes_.load();
          if (blk::fs_write(dev_, sector * 512, data.data(), len * 512) != 0) {
            writeErrors_++;
            break;
          }
          const int after = freezes_.load();
          for (std::uint64_t b = sector * 512 / bs_; b <= ((sector + len) * 512 - 1) / bs_; b++)
            mine.push_back(WriteRecord{std::uint32_t(b), before, after});
          std::this_thread::sleep_for(std::chrono::microseconds(100 + rng() % 200));
        }
        std::lock_guard lk(recordsLock_);
        records_.insert(records_.end(), mine.begin(), mine.end());
      });
    }
  }
  void StopWriters() {
    stop_ = true;
    for (auto& t : writers_) t.join();
    writers_.clear();
  }
  // Gives the writers time to write a few dozen blocks.
  void LetWritersRun() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

  // Reads `map`'s blocks through both windows in turn, in runs of at most
  // 256 consecutive wanted blocks, into `image` (n_ × bs_ bytes).
  void ReadWanted(int fd, const Bitmap& map, std::vector<std::uint8_t>* image) {
    const int pages = QueryState(fd).mmapSize / 4096;
    std::uint8_t* win[2] = {MapWindow(fd, pages), MapWindow(fd, pages)};
    ASSERT_NE(nullptr, win[0]);
    ASSERT_NE(nullptr, win[1]);
    const std::uint32_t runMax = std::uint32_t(pages) * 4096 / bs_;
    ASSERT_EQ(256u, runMax);
    int which = 0;
    for (std::uint32_t b = 0; b < n_;) {
      if (!map.test(b)) {
        b++;
        continue;
      }
      std::uint32_t len = 1;
      while (len < runMax && b + len < n_ && map.test(b + len)) len++;
      ASSERT_EQ(CGD_OK, Read(fd, b, len, win[which])) << b << "+" << len;
      std::memcpy(image->data() + std::size_t(b) * bs_, win[which], std::size_t(len) * bs_);
      which ^= 1;
      b += len;
    }
    EXPECT_EQ(0, user::munmap(win[0], std::size_t(pages) * 4096));
    EXPECT_EQ(0, user::munmap(win[1], std::size_t(pages) * 4096));
  }

  // The blocks where two images differ.
  std::vector<std::uint32_t> Differing(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) const {
    std::vector<std::uint32_t> out;
    for (std::uint32_t n = 0; n < n_; n++)
      if (std::memcmp(&a[std::size_t(n) * bs_], &b[std::size_t(n) * bs_], bs_) != 0) out.push_back(n);
    return out;
  }

  std::uint32_t bs_ = 0, n_ = 0;
  blk::Disk* disk_ = nullptr;
  blk::devnum dev_ = 0;

  std::mutex truthLock_;
  std::vector<std::vector<std::uint8_t>> truth_;  // device bytes at each frozen instant
  std::atomic<int> freezes_{0};

  std::vector<std::thread> writers_;
  std::atomic<bool> stop_{false};
  std::atomic<int> writeErrors_{0};
  std::mutex recordsLock_;
  std::vector<WriteRecord> records_;
};

TEST_P(BackupE2E, FullThenIncrementalUnderConcurrentWrites) {
  const unsigned seed = std::random_device{}();
  std::printf("seed %u, block size %u\n", seed, bs_);
  StartWriters(2, seed);
  LetWritersRun();

  // Full backup.
  int fd = Open();
  BlockSize geo = {};
  struct GetBlockSize gbs = {blk::major_of(dev_), blk::minor_of(dev_), &geo, sizeof geo};
  ASSERT_EQ(CGD_OK, user::ioctl(fd, CGD_GET_BLOCK_SIZE, Arg(&gbs)));
  ASSERT_EQ(int(bs_), geo.blockSize);
  ASSERT_EQ(n_, std::uint32_t(std::uint64_t(geo.partitionSizeKB) * 1024 / bs_));
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_OK, Snap(fd));
  const AMSessionKey key1 = KeyOf(fd);
  LetWritersRun();  // writes held and preserved before the map is in
  ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n_)));
  std::vector<std::uint8_t> image1(std::size_t(n_) * bs_, 0xee);
  ReadWanted(fd, Bitmap::all(n_), &image1);
  const Stats st1 = StatsOf(fd);
  EXPECT_EQ(unsigned(CGD_STATE_READING), st1.state);
  EXPECT_GT(st1.totalAllocCPs, 0);  // copy-before-write did preserve blocks
  // A block preserved while its disk read was in flight counts in both.
  EXPECT_GE(st1.totalReadBlocks + st1.totalReadCBs, int(n_));
  EXPECT_EQ(0, Close(fd));
  EXPECT_FALSE(QueueIsReal(disk_));  // tracked between backups
  LetWritersRun();

  // Incremental backup.
  fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_OK, Snap(fd, &key1));
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), QueryAMState(fd).state);
  Bitmap changed(n_);
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &changed));
  LetWritersRun();
  ASSERT_EQ(CGD_OK, LoadMap(fd, changed));
  std::vector<std::uint8_t> image2 = image1;
  ReadWanted(fd, changed, &image2);
  EXPECT_EQ(0, Close(fd));

  StopWriters();
  ASSERT_EQ(0, writeErrors_.load());
  ASSERT_EQ(2u, truth_.size());

  // The images are the device at the two frozen instants, byte for byte.
  EXPECT_TRUE(image1 == truth_[0]) << Differing(image1, truth_[0]).size() << " blocks differ in the full image";
  EXPECT_TRUE(image2 == truth_[1]) << Differing(image2, truth_[1]).size()
                                   << " blocks differ in the full image plus the increment";

  // The changed-block map: every block that differs is in it, every block
  // written for certain between the instants is in it, and only blocks that
  // may have been written between them are.
  Bitmap maybe(n_), surely(n_);
  for (const auto& w : records_) {
    if (w.before <= 1 && w.after >= 1) maybe.set(w.block);
    if (w.before == 1 && w.after == 1) surely.set(w.block);
  }
  for (std::uint32_t b : Differing(truth_[0], truth_[1])) EXPECT_TRUE(changed.test(b)) << "differs, not in map: " << b;
  for (std::uint32_t b : surely.blocks()) EXPECT_TRUE(changed.test(b)) << "written between, not in map: " << b;
  for (std::uint32_t b : changed.blocks()) EXPECT_TRUE(maybe.test(b)) << "in map, not written between: " << b;
  EXPECT_FALSE(surely.blocks().empty());
  std::printf("%zu writes, %zu blocks changed, %zu differ\n", records_.size(), changed.blocks().size(),
              Differing(truth_[0], truth_[1]).size());
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, BackupE2E, ::testing::Values(1024u, 4096u),
                         [](const auto& info) { return "bs" + std::to_string(info.param); });

}  // namespace
