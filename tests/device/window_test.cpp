// Transfer windows and block reads seen from user space before a backup has
// started: every mapping of the device is refused without a trace, and a
// read-blocks command is refused by its state check.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "standin/module.h"
#include "standin/user.h"

#include "cowguard.h"

namespace user = standin::user;

namespace {

using Lines = std::vector<std::string>;

class WindowDevice : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
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
  int fd_ = -1;
};

TEST_F(WindowDevice, NoMappingIsAcceptedBeforeABackupStarts) {
  struct {
    int prot, flags;
    off_t offset;
  } const cases[] = {
      {PROT_READ, MAP_PRIVATE, 0},          // what the agent maps once a backup runs
      {PROT_READ, MAP_SHARED, 0},           // shared
      {PROT_READ | PROT_WRITE, MAP_PRIVATE, 0},  // writable
      {PROT_READ, MAP_PRIVATE, 4096},       // offset
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(MAP_FAILED, user::mmap(nullptr, 4096, c.prot, c.flags, fd_, c.offset));
    EXPECT_EQ(EINVAL, errno);
  }
  EXPECT_EQ(0u, user::mappings());
  EXPECT_EQ(Lines{}, NewLog());
  // The refusals kept no reference on the file: its close releases the session.
  EXPECT_EQ(0, user::close(fd_));
  fd_ = -1;
  EXPECT_EQ(0, standin::modules::refcount("cowguard"));
}

TEST_F(WindowDevice, ReadBlocksBeforeABackupStartsIsRefusedByItsState) {
  char buf[4096];
  struct ReadBlocks rb = {0, 1, buf};
  EXPECT_EQ(CGD_ERR_INVALID, user::ioctl(fd_, CGD_READ_BLOCKS, reinterpret_cast<unsigned long>(&rb)));
  rb.numBlocks = 0;
  EXPECT_EQ(CGD_ERR_INVALID, user::ioctl(fd_, CGD_READ_BLOCKS, reinterpret_cast<unsigned long>(&rb)));
  EXPECT_EQ((Lines{"<3>ioctlReadBlocks: state (0) not valid", "<3>ioctlReadBlocks: state (0) not valid"}),
            NewLog());
}

}  // namespace
