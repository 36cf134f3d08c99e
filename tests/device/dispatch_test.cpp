// The command dispatcher through the device node: decoding of whole
// command numbers, the copy-in of each record, the version commands and
// the commands the dispatcher answers itself.
#include <errno.h>
#include <fcntl.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "standin/block.h"
#include "standin/log.h"
#include "standin/user.h"
#include "device/user_pages.h"

#include "cowguard.h"

namespace user = standin::user;

namespace {

const char kNotFound[] = "<3>cgdIOCTL: ioctl command not found";
const char kCopyOutFailed[] = "<3>cgdIOCTL: copy to user space failed";

using Lines = std::vector<std::string>;

struct Command {
  const char* name;
  unsigned int number;
  std::size_t record;  // bytes the dispatcher copies in
};

// Every command that carries a record, with the record's size.
const Command kRecordCommands[] = {
    {"GET_BLOCK_SIZE", CGD_GET_BLOCK_SIZE, 24},  {"START_BACKUP", CGD_START_BACKUP, 16},
    {"SNAPSHOT", CGD_SNAPSHOT, 16},              {"GET_STATE", CGD_GET_STATE, 16},
    {"GET_AUTOMAP_STATE", CGD_GET_AUTOMAP_STATE, 16}, {"LOAD_BLOCK_MAP", CGD_LOAD_BLOCK_MAP, 16},
    {"GET_AUTOMAP", CGD_GET_AUTOMAP, 16},        {"GET_DIRTY_BLOCK", CGD_GET_DIRTY_BLOCK, 8},
    {"READ_BLOCKS", CGD_READ_BLOCKS, 16},        {"GET_STATS", CGD_GET_STATS, 16},
};

class Dispatcher : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_TRUE(pages_.ok());
    fd_ = user::open(CGD_DEVICE_NODE, O_RDWR);
    ASSERT_GE(fd_, 0);
    Remark();
  }
  void TearDown() override {
    if (fd_ >= 0) {
      EXPECT_EQ(0, user::close(fd_));
    }
    ModuleTest::TearDown();
  }
  int Ioctl(unsigned int cmd, const void* arg) {
    return user::ioctl(fd_, cmd, reinterpret_cast<unsigned long>(arg));
  }
  std::size_t Count(const std::string& line) const { return standin::log::count(mark_, line); }

  UserPages pages_;
  int fd_ = -1;
};

TEST_F(Dispatcher, VersionCommandsWriteExactlyFourBytes) {
  struct {
    unsigned int cmd;
    int value;
  } const cases[] = {{CGD_GET_VERSION_MAJOR, 3}, {CGD_GET_VERSION_MINOR, 1}};
  for (const auto& c : cases) {
    unsigned char buf[12];
    std::memset(buf, 0xaa, sizeof(buf));
    ASSERT_EQ(0, Ioctl(c.cmd, buf + 4));
    int got;
    std::memcpy(&got, buf + 4, 4);
    EXPECT_EQ(c.value, got);
    for (int i : {0, 1, 2, 3, 8, 9, 10, 11}) EXPECT_EQ(0xaa, buf[i]) << "byte " << i;
  }
  // Four bytes right before an inaccessible page are enough.
  EXPECT_EQ(0, Ioctl(CGD_GET_VERSION_MAJOR, pages_.readOnly() - 4));
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(Dispatcher, VersionToUnwritableAddressFailsWithOneLine) {
  const void* targets[] = {pages_.readOnly(), pages_.none(), pages_.readOnly() - 2, nullptr};
  int calls = 0;
  for (unsigned int cmd : {CGD_GET_VERSION_MAJOR, CGD_GET_VERSION_MINOR}) {
    for (const void* t : targets) {
      EXPECT_EQ(CGD_ERR_COPY_OUT, Ioctl(cmd, t));
      calls++;
      EXPECT_EQ(std::size_t(calls), Count(kCopyOutFailed));
    }
  }
  EXPECT_EQ(std::size_t(calls), NewLog().size());
  // The read-only page was not changed.
  for (std::size_t i = 0; i < UserPages::kPage; i++) ASSERT_EQ(0, pages_.readOnly()[i]);
}

TEST_F(Dispatcher, UnknownNumbersAreRefusedWithOneLineEach) {
  const unsigned int numbers[] = {
      CGD_IOW(11, 4),     CGD_IOW(11, 16),    CGD_IO(11),          // sequence 11 has no command
      CGD_IOW(12, 8),     CGD_IOW(13, 0),     CGD_IOW(0, 16),      // mis-sized
      CGD_IOW(1, 24),     CGD_IOW(10, 8),     CGD_IOW(16, 8),
      CGD_IOW(15, 0),     CGD_IOW(9, 16),
      CGD_IOC(2U, 12, 4U), CGD_IOC(3U, 13, 4U), CGD_IO(12),        // mis-directed
      CGD_IOW(5, 0),      CGD_IOW(6, 0),      CGD_IOC(2U, 1, 16U),
      CGD_IOC(2U, 16, 4U), CGD_IOC(0U, 15, 4U),
      CGD_GET_VERSION_MAJOR ^ 0x0100u,  // another ioctl type
      CGD_IOW(18, 16),    0u,                 0xffffffffu,
  };
  unsigned char buf[64];
  std::memset(buf, 0xaa, sizeof(buf));
  std::size_t calls = 0;
  for (unsigned int n : numbers) {
    EXPECT_EQ(CGD_ERR_BAD_COMMAND, Ioctl(n, buf)) << std::hex << n;
    calls++;
    EXPECT_EQ(calls, Count(kNotFound)) << std::hex << n;
  }
  EXPECT_EQ(calls, NewLog().size());
  for (unsigned char c : buf) ASSERT_EQ(0xaa, c);
}

TEST_F(Dispatcher, Command16AnswersUnavailableWhateverItsArgument) {
  unsigned char buf[8];
  std::memset(buf, 0xaa, sizeof(buf));
  const unsigned long args[] = {0, reinterpret_cast<unsigned long>(buf), pages_.addr(pages_.none()),
                                0xdeadbeefUL, ~0UL};
  for (unsigned long a : args) EXPECT_EQ(CGD_ERR_UNAVAILABLE, user::ioctl(fd_, CGD_CMD_16, a));
  for (unsigned char c : buf) EXPECT_EQ(0xaa, c);
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(Dispatcher, UnreadableRecordIsRefusedWithoutALine) {
  for (const Command& c : kRecordCommands) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(c.number, pages_.none()));
    EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(c.number, nullptr));
    // A record whose last byte lies on the inaccessible page.
    EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(c.number, pages_.none() - c.record + 1));
  }
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(Dispatcher, EachRecordIsCopiedWithExactlyItsSize) {
  // A zeroed record that ends right at the inaccessible page is read whole;
  // whatever its handler answers, it is not a failed copy-in.
  for (const Command& c : kRecordCommands) {
    if (c.number == CGD_LOAD_BLOCK_MAP || c.number == CGD_GET_AUTOMAP) continue;
    SCOPED_TRACE(c.name);
    EXPECT_NE(CGD_ERR_COPY_IN, Ioctl(c.number, pages_.none() - c.record));
  }
}

TEST_F(Dispatcher, BlockMapCommandsReadTheMapDescriptorToo) {
  // The record (16 bytes) points to a UserBlockMap (16 bytes more); the
  // record's len is not used.
  struct LoadBlockMap* rec = reinterpret_cast<struct LoadBlockMap*>(pages_.rw());
  for (unsigned int cmd : {CGD_LOAD_BLOCK_MAP, CGD_GET_AUTOMAP}) {
    rec->len = 0;
    rec->bm = reinterpret_cast<struct UserBlockMap*>(pages_.none());
    EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(cmd, rec));
    rec->bm = nullptr;
    rec->len = 16;
    EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(cmd, rec));
    rec->bm = reinterpret_cast<struct UserBlockMap*>(pages_.none() - 15);
    EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(cmd, rec));
    // Exactly 16 bytes at bm: a descriptor that ends at the inaccessible
    // page is read whole, whatever len says.
    rec->bm = reinterpret_cast<struct UserBlockMap*>(pages_.none() - 16);
    rec->len = 4096;
    EXPECT_NE(CGD_ERR_COPY_IN, Ioctl(cmd, rec));
  }
  EXPECT_EQ(std::size_t(0), Count(kCopyOutFailed));
}

TEST_F(Dispatcher, DeviceNumbersAreFormedWithoutMaskingTheMinor) {
  namespace blk = standin::block;
  blk::DiskConfig cfg;
  cfg.major = 9;
  cfg.minors = 1;
  cfg.first_minor = 0;
  auto disk = blk::Disk::ram(4096, cfg);
  ASSERT_NE(nullptr, disk);
  ASSERT_TRUE(blk::format_testfs(disk->dev(), 2048));
  ASSERT_EQ(0, blk::mount(disk->dev()));

  // Major 8 with a minor of 2^20 names device 9:0: the minor's high bit
  // lands in the major.
  struct BlockSize bs = {};
  struct GetBlockSize gbs = {8, 1u << 20, &bs, sizeof(bs)};
  ASSERT_EQ(CGD_OK, Ioctl(CGD_GET_BLOCK_SIZE, &gbs));
  EXPECT_EQ(9u, bs.major);
  EXPECT_EQ(0u, bs.minor);
  EXPECT_EQ(2048, bs.blockSize);
  EXPECT_EQ(2048u, bs.partitionSizeKB);

  // Major bits above the twelfth are lost.
  bs = {};
  gbs = {9 | (1u << 12), 0, &bs, sizeof(bs)};
  ASSERT_EQ(CGD_OK, Ioctl(CGD_GET_BLOCK_SIZE, &gbs));
  EXPECT_EQ(9u, bs.major);
  EXPECT_EQ(2048, bs.blockSize);

  EXPECT_EQ(0, blk::umount(disk->dev()));
}

}  // namespace
