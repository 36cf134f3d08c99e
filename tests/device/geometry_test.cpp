// Command 0 (block size and size of a device) through the control device:
// mounted partitions and whole disks of RAM and file-backed disks at every
// usable block size, a block size below a sector, unmounted and unknown
// devices, the answer's length, an unwritable answer, and no block-device
// reference left behind.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin/block.h"
#include "support/kernel_test.h"

#include "cowguard.h"

namespace blk = standin::block;

namespace {

long bdev_refs() { return standin::mem::usage().live(standin::mem::Kind::bdev_ref); }

// The answer buffer: a BlockSize followed by guard bytes.
struct Answer {
  std::uint8_t bytes[32];
  Answer() { std::memset(bytes, 0xee, sizeof bytes); }
  BlockSize get() const {
    BlockSize bs;
    std::memcpy(&bs, bytes, sizeof bs);
    return bs;
  }
  // Bytes written: up to the last one that is not the fill byte.
  std::size_t written() const {
    std::size_t n = sizeof bytes;
    while (n > 0 && bytes[n - 1] == 0xee) n--;
    return n;
  }
};

class GeometryCommandTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    fd_ = standin::user::open(CGD_DEVICE_NODE, O_RDWR);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) standin::user::close(fd_);
    for (auto d : mounted_) blk::umount(d);
    disks_.clear();
    for (auto& p : files_) ::unlink(p.c_str());
    ModuleTest::TearDown();
  }
  int get_block_size(blk::devnum dev, void* bs, unsigned len) {
    GetBlockSize req;
    std::memset(&req, 0, sizeof req);
    req.major = blk::major_of(dev);
    req.minor = blk::minor_of(dev);
    req.bs = static_cast<BlockSize*>(bs);
    req.len = len;
    return standin::user::ioctl(fd_, CGD_GET_BLOCK_SIZE, reinterpret_cast<unsigned long>(&req));
  }
  blk::Disk* add_disk(bool fileBacked, std::uint64_t sectors, const blk::DiskConfig& cfg = {}) {
    std::unique_ptr<blk::Disk> d;
    if (fileBacked) {
      char path[] = "/tmp/cg-geometry-XXXXXX";
      int fd = ::mkstemp(path);
      if (fd < 0) return nullptr;
      ::close(fd);
      files_.push_back(path);
      d = blk::Disk::file(path, sectors, cfg);
    } else {
      d = blk::Disk::ram(sectors, cfg);
    }
    disks_.push_back(std::move(d));
    return disks_.back().get();
  }
  // A disk with partition 1 at 2048 (16384 sectors).
  blk::Disk* partitioned(bool fileBacked) {
    blk::Disk* d = add_disk(fileBacked, 32768);
    if (!d || !blk::write_mbr(*d, {{.start = 2048, .sectors = 16384}}) || d->rescan() != 0)
      return nullptr;
    return d;
  }
  void mount_testfs(blk::devnum dev, std::uint32_t blockSize) {
    ASSERT_TRUE(blk::format_testfs(dev, blockSize));
    ASSERT_EQ(0, blk::mount(dev));
    mounted_.push_back(dev);
  }
  void unmount_all() {
    for (auto d : mounted_) blk::umount(d);
    mounted_.clear();
  }

  int fd_ = -1;
  std::vector<std::unique_ptr<blk::Disk>> disks_;
  std::vector<std::string> files_;
  std::vector<blk::devnum> mounted_;
};

TEST_F(GeometryCommandTest, MountedPartitionsOfBothDiskKinds) {
  for (bool fileBacked : {false, true}) {
    blk::Disk* d = partitioned(fileBacked);
    ASSERT_TRUE(d);
    for (int blockSize : {512, 1024, 2048, 4096}) {
      SCOPED_TRACE(std::string(fileBacked ? "file" : "ram") + " " + std::to_string(blockSize));
      mount_testfs(d->part_dev(1), blockSize);
      Answer a;
      ASSERT_EQ(0, get_block_size(d->part_dev(1), a.bytes, sizeof(BlockSize)));
      BlockSize bs = a.get();
      EXPECT_EQ(8u, bs.major);
      EXPECT_EQ(blk::minor_of(d->part_dev(1)), bs.minor);
      EXPECT_EQ(blockSize, bs.blockSize);
      EXPECT_EQ(8192u, bs.partitionSizeKB);
      EXPECT_EQ(sizeof(BlockSize), a.written());
      unmount_all();
    }
  }
  for (const auto& line : NewLog()) {
    EXPECT_EQ(std::string::npos, line.find("getDiskInfo")) << line;
    EXPECT_EQ(std::string::npos, line.find("ioctlGetBlockSize")) << line;
  }
}

TEST_F(GeometryCommandTest, MountedWholeDisksOfBothDiskKinds) {
  for (bool fileBacked : {false, true}) {
    SCOPED_TRACE(fileBacked ? "file" : "ram");
    blk::DiskConfig cfg;
    cfg.major = fileBacked ? 254 : 253;
    cfg.minors = 4;
    blk::Disk* d = add_disk(fileBacked, 6001, cfg);
    ASSERT_TRUE(d);
    mount_testfs(d->dev(), 1024);
    Answer a;
    ASSERT_EQ(0, get_block_size(d->dev(), a.bytes, sizeof(BlockSize)));
    BlockSize bs = a.get();
    EXPECT_EQ(cfg.major, bs.major);
    EXPECT_EQ(blk::minor_of(d->dev()), bs.minor);
    EXPECT_EQ(1024, bs.blockSize);
    EXPECT_EQ(3000u, bs.partitionSizeKB);  // 6001 sectors
  }
}

TEST_F(GeometryCommandTest, BlockSizeBelowASectorIsRefused) {
  blk::Disk* d = partitioned(false);
  ASSERT_TRUE(d);
  mount_testfs(d->part_dev(1), 256);
  Answer a;
  EXPECT_EQ(CGD_ERR_UNAVAILABLE, get_block_size(d->part_dev(1), a.bytes, sizeof(BlockSize)));
  EXPECT_EQ(0u, a.written());
  EXPECT_EQ(1u, standin::log::count(mark_, "<4>getDiskInfo: device 800001 has bad block size 256"));
}

TEST_F(GeometryCommandTest, UnmountedAndUnknownDevicesLeaveTheAnswerAlone) {
  blk::Disk* d = partitioned(false);
  ASSERT_TRUE(d);
  Answer a;
  EXPECT_EQ(CGD_ERR_NO_DEVICE, get_block_size(d->part_dev(1), a.bytes, sizeof(BlockSize)));
  EXPECT_EQ(CGD_ERR_NO_DEVICE, get_block_size(blk::mkdev(99, 7), a.bytes, sizeof(BlockSize)));
  EXPECT_EQ(0u, a.written());
  EXPECT_EQ(1u, standin::log::count(
                    mark_, "<3>getDiskInfo: device major=8 minor=1 not found, getting super block failed"));
  EXPECT_EQ(1u, standin::log::count(
                    mark_, "<3>getDiskInfo: device major=99 minor=7 not found, getting super block failed"));
}

TEST_F(GeometryCommandTest, AnswerIsCutToTheAcceptedLength) {
  blk::Disk* d = partitioned(false);
  ASSERT_TRUE(d);
  mount_testfs(d->part_dev(1), 4096);
  struct Case {
    unsigned len;
    std::size_t written;
  } cases[] = {{0, 0}, {8, 8}, {12, 12}, {16, 16}, {100, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    Answer a;
    ASSERT_EQ(0, get_block_size(d->part_dev(1), a.bytes, c.len));
    EXPECT_EQ(c.written, a.written());
    if (c.written >= 8) {
      EXPECT_EQ(8u, a.get().major);
      EXPECT_EQ(1u, a.get().minor);
    }
  }
}

TEST_F(GeometryCommandTest, UnwritableAnswerIsReported) {
  blk::Disk* d = partitioned(false);
  ASSERT_TRUE(d);
  mount_testfs(d->part_dev(1), 2048);
  void* ro = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, ro);
  EXPECT_EQ(CGD_ERR_COPY_OUT, get_block_size(d->part_dev(1), ro, sizeof(BlockSize)));
  EXPECT_EQ(1u, standin::log::count(mark_, "<3>ioctlGetBlockSize: copy to user space failed"));
  ::munmap(ro, 4096);
}

TEST_F(GeometryCommandTest, NoDeviceReferenceIsKept) {
  blk::Disk* d = partitioned(true);
  ASSERT_TRUE(d);
  mount_testfs(d->part_dev(1), 1024);
  void* ro = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, ro);
  const long before = bdev_refs();
  Answer a;
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(0, get_block_size(d->part_dev(1), a.bytes, 16));
    EXPECT_EQ(CGD_ERR_COPY_OUT, get_block_size(d->part_dev(1), ro, 16));
    EXPECT_EQ(CGD_ERR_NO_DEVICE, get_block_size(d->dev(), a.bytes, 16));  // nothing mounted there
    EXPECT_EQ(CGD_ERR_NO_DEVICE, get_block_size(blk::mkdev(99, 1), a.bytes, 16));
  }
  EXPECT_EQ(before, bdev_refs());
  ::munmap(ro, 4096);
}

}  // namespace
