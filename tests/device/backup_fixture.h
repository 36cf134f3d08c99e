// A backup session driven from user space: a RAM disk with two partitions
// carrying the test file system, the control device opened as often as a
// case needs, and one helper per command.  Shared by the module's black-box
// suites and the end-to-end suite.
#pragma once
#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "standin/block.h"
#include "standin/module.h"
#include "standin/task.h"
#include "standin/user.h"

#include <linux/blkdev.h>

#include "cowguard.h"
#include "stats.h"

namespace cgtest {

namespace blk = standin::block;
namespace user = standin::user;
using Lines = std::vector<std::string>;

inline unsigned long Arg(const void* p) { return reinterpret_cast<unsigned long>(p); }

// A changed- or wanted-block bitmap in the module's layout.
struct Bitmap {
  std::uint32_t len = 0;  // blocks
  std::vector<std::uint8_t> bytes;
  explicit Bitmap(std::uint32_t blocks = 0) : len(blocks), bytes((blocks + 7) / 8, 0) {}
  void set(std::uint32_t n) { bytes[n / 8] |= std::uint8_t(1u << (n % 8)); }
  bool test(std::uint32_t n) const { return n < len && (bytes[n / 8] >> (n % 8)) & 1; }
  std::vector<std::uint32_t> blocks() const {
    std::vector<std::uint32_t> out;
    for (std::uint32_t n = 0; n < len; n++)
      if (test(n)) out.push_back(n);
    return out;
  }
  static Bitmap all(std::uint32_t blocks) {
    Bitmap m(blocks);
    for (std::uint32_t n = 0; n < blocks; n++) m.set(n);
    return m;
  }
};

class BackupTest : public ModuleTest {
 protected:
  // Partition 1: sectors 2048..4095; partition 2: 4096..(4096 + kPart2Sectors).
  static constexpr std::uint64_t kPart1Start = 2048;
  static constexpr std::uint64_t kPart1Sectors = 2048;
  static constexpr std::uint64_t kPart2Start = 4096;
  static constexpr std::uint64_t kPart2Sectors = 8192;
  static constexpr std::uint64_t kDiskSectors = kPart2Start + kPart2Sectors;

  void TearDown() override {
    blk::set_freeze_hook({});
    for (int fd : fds_) {
      EXPECT_EQ(0, user::close(fd));
    }
    fds_.clear();
    // Unload first: tracking sessions hold their devices until then.
    if (standin::modules::loaded("cowguard")) {
      EXPECT_EQ(0, standin::modules::rmmod("cowguard"));
    }
    for (auto d : mounted_) blk::umount(d);
    mounted_.clear();
    disks_.clear();
    ModuleTest::TearDown();
  }

  // A RAM disk with the two partitions above; each partition's queue is the disk's.
  blk::Disk* AddDisk(const blk::DiskConfig& cfg = {}) {
    auto d = blk::Disk::ram(kDiskSectors, cfg);
    if (!d) return nullptr;
    if (!blk::write_mbr(*d, {{.start = kPart1Start, .sectors = kPart1Sectors},
                             {.start = kPart2Start, .sectors = kPart2Sectors}}) ||
        d->rescan() != 0)
      return nullptr;
    realMRF_.push_back(d->queue()->make_request_fn);
    disks_.push_back(std::move(d));
    return disks_.back().get();
  }
  // The disk's queue has its own make-request function again.
  bool QueueIsReal(blk::Disk* d) const {
    for (std::size_t i = 0; i < disks_.size(); i++)
      if (disks_[i].get() == d) return d->queue()->make_request_fn == realMRF_[i];
    return false;
  }
  void MountTestfs(blk::devnum dev, std::uint32_t blockSize) {
    ASSERT_TRUE(blk::format_testfs(dev, blockSize));
    ASSERT_EQ(0, blk::mount(dev));
    mounted_.push_back(dev);
  }
  void Umount(blk::devnum dev) {
    EXPECT_EQ(0, blk::umount(dev));
    mounted_.erase(std::remove(mounted_.begin(), mounted_.end(), dev), mounted_.end());
  }
  // Adds a disk and mounts the test file system on its second partition.
  blk::devnum MountedPart2(std::uint32_t blockSize, blk::Disk** disk = nullptr) {
    blk::Disk* d = AddDisk();
    EXPECT_NE(nullptr, d);
    if (!d) return 0;
    if (disk) *disk = d;
    blk::devnum dev = d->part_dev(2);
    MountTestfs(dev, blockSize);
    return dev;
  }
  static std::uint32_t Blocks(blk::devnum dev, std::uint32_t blockSize) {
    return std::uint32_t(blk::device_sectors(dev) * 512 / blockSize);
  }

  int Open() {
    int fd = user::open(CGD_DEVICE_NODE, O_RDWR);
    EXPECT_GE(fd, 0);
    fds_.push_back(fd);
    return fd;
  }
  int Close(int fd) {
    fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
    return user::close(fd);
  }

  static int Start(int fd, blk::devnum dev, std::uint32_t totalBlocks, std::uint32_t maxCache) {
    struct StartBackup sb = {blk::major_of(dev), blk::minor_of(dev), totalBlocks, maxCache};
    return user::ioctl(fd, CGD_START_BACKUP, Arg(&sb));
  }
  static int Snap(int fd, const AMSessionKey* key, unsigned len = CGD_KEY_SIZE) {
    struct SnapShot ss = {const_cast<AMSessionKey*>(key), len};
    return user::ioctl(fd, CGD_SNAPSHOT, Arg(&ss));
  }
  static int Snap(int fd) {
    AMSessionKey zero = {};
    return Snap(fd, &zero);
  }
  static State QueryState(int fd) {
    State s;
    std::memset(&s, 0xee, sizeof s);
    struct GetState gs = {&s, sizeof s};
    EXPECT_EQ(CGD_OK, user::ioctl(fd, CGD_GET_STATE, Arg(&gs)));
    return s;
  }
  static unsigned StateOf(int fd) { return QueryState(fd).state; }
  static AutoMapState QueryAMState(int fd) {
    AutoMapState a;
    std::memset(&a, 0xee, sizeof a);
    struct GetAutoMapState g = {&a, sizeof a};
    EXPECT_EQ(CGD_OK, user::ioctl(fd, CGD_GET_AUTOMAP_STATE, Arg(&g)));
    return a;
  }
  static AMSessionKey KeyOf(int fd) { return QueryAMState(fd).amsKey; }
  static int FetchAutoMap(int fd, Bitmap* map) {
    UserBlockMap ubm = {map->bytes.data(), map->len};
    struct GetAutoMap g = {&ubm, sizeof ubm};
    return user::ioctl(fd, CGD_GET_AUTOMAP, Arg(&g));
  }
  static int LoadMap(int fd, const Bitmap& map) {
    UserBlockMap ubm = {const_cast<std::uint8_t*>(map.bytes.data()), map.len};
    struct LoadBlockMap l = {&ubm, sizeof ubm};
    return user::ioctl(fd, CGD_LOAD_BLOCK_MAP, Arg(&l));
  }
  static int QueryStats(int fd, Stats* st, unsigned len = sizeof(Stats)) {
    struct GetStats g = {st, len};
    return user::ioctl(fd, CGD_GET_STATS, Arg(&g));
  }
  static Stats StatsOf(int fd) {
    Stats st;
    std::memset(&st, 0xee, sizeof st);
    EXPECT_EQ(CGD_OK, QueryStats(fd, &st));
    return st;
  }
  static int Read(int fd, std::uint32_t start, std::uint32_t n, void* window) {
    struct ReadBlocks rb = {start, n, window};
    return user::ioctl(fd, CGD_READ_BLOCKS, Arg(&rb));
  }
  static int Dirty(int fd, std::uint32_t* out) {
    struct DirtyBlock db = {out};
    return user::ioctl(fd, CGD_GET_DIRTY_BLOCK, Arg(&db));
  }
  // A transfer window of `pages` pages, or nullptr.
  static std::uint8_t* MapWindow(int fd, std::size_t pages) {
    void* p = user::mmap(nullptr, pages * 4096, PROT_READ, MAP_PRIVATE, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
  }

  // Lines since the last Remark() that start with prefix.
  std::vector<std::string> LinesStarting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : NewLog())
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
  bool Logged(const std::string& line) const {
    auto log = NewLog();
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  std::vector<std::unique_ptr<blk::Disk>> disks_;
  std::vector<::make_request_fn*> realMRF_;
  std::vector<blk::devnum> mounted_;
  std::vector<int> fds_;
};

}  // namespace cgtest
