// The agent's control layer: every status code becomes a named error whose
// message says what it means and the session's state; refusals through the
// real module (unmounted device, window and read before a start, closed
// device); the device and windows give back what they took.
#include <errno.h>

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "control.h"
#include "standin/block.h"
#include "support/kernel_test.h"

namespace blk = standin::block;
using namespace cowguard::agent;

namespace {

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(ControlErrors, EveryStatusHasANameAMeaningAndAnError) {
  struct {
    int status;
    Errc errc;
    const char* name;
  } const cases[] = {
      {CGD_ERR_NOT_READY, Errc::not_ready, "CGD_ERR_NOT_READY"},
      {CGD_ERR_INVALID, Errc::invalid, "CGD_ERR_INVALID"},
      {CGD_ERR_UNAVAILABLE, Errc::unavailable, "CGD_ERR_UNAVAILABLE"},
      {CGD_ERR_BAD_COMMAND, Errc::bad_command, "CGD_ERR_BAD_COMMAND"},
      {CGD_ERR_NO_MEMORY, Errc::no_memory, "CGD_ERR_NO_MEMORY"},
      {CGD_ERR_COPY_IN, Errc::copy_in, "CGD_ERR_COPY_IN"},
      {CGD_ERR_COPY_OUT, Errc::copy_out, "CGD_ERR_COPY_OUT"},
      {CGD_ERR_NO_DEVICE, Errc::no_device, "CGD_ERR_NO_DEVICE"},
      {CGD_ERR_BACKUP_OPEN, Errc::backup_open, "CGD_ERR_BACKUP_OPEN"},
      {CGD_ERR_ALREADY_STARTED, Errc::already_started, "CGD_ERR_ALREADY_STARTED"},
      {CGD_ERR_IO, Errc::io, "CGD_ERR_IO"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.errc, errc_of_status(c.status)) << c.name;
    EXPECT_EQ(c.name, status_name(c.status));
    EXPECT_NE(status_meaning(c.status), status_meaning(999)) << c.name;
    Error e(c.errc, "CGD_SNAPSHOT", c.status, 0, CGD_STATE_CACHE_ERROR);
    std::string m = e.what();
    EXPECT_TRUE(contains(m, "CGD_SNAPSHOT failed")) << m;
    EXPECT_TRUE(contains(m, c.name)) << m;
    EXPECT_TRUE(contains(m, std::string(status_meaning(c.status)))) << m;
    EXPECT_TRUE(contains(m, "session state 10 CGD_STATE_CACHE_ERROR")) << m;
    EXPECT_EQ(c.status, e.status());
    EXPECT_EQ(CGD_STATE_CACHE_ERROR, e.state().value());
  }
  // Codes the module does not define, and success, are no named status.
  for (int s : {0, 10, 13, 99}) EXPECT_EQ(Errc::unknown_status, errc_of_status(s)) << s;
  EXPECT_EQ("CGD_STATE_READING", state_name(CGD_STATE_READING));
  EXPECT_EQ("unknown state", state_name(3));
  // Without a state the message says none.
  Error sys(Errc::system, "mmap", 0, EINVAL, std::nullopt);
  EXPECT_TRUE(contains(sys.what(), std::strerror(EINVAL))) << sys.what();
  EXPECT_FALSE(contains(sys.what(), "session state")) << sys.what();
  Error km(Errc::key_mismatch, "CGD_SNAPSHOT", 0, 0, CGD_STATE_STARTED);
  EXPECT_TRUE(contains(km.what(), "key")) << km.what();
  EXPECT_TRUE(contains(km.what(), "CGD_STATE_STARTED")) << km.what();
}

TEST(ControlOpen, NoModuleIsASystemError) {
  try {
    ControlDevice dev;
    FAIL() << "opened the control device without the module";
  } catch (const Error& e) {
    EXPECT_EQ(Errc::system, e.code());
    EXPECT_NE(0, e.sys_errno());
    EXPECT_TRUE(contains(e.what(), CGD_DEVICE_NODE)) << e.what();
  }
}

class ControlDeviceTest : public ModuleTest {
 protected:
  void TearDown() override {
    disk_.reset();
    ModuleTest::TearDown();
  }
  // A RAM disk of 8 MiB with the test file system on the whole disk.
  blk::devnum mounted_disk(std::uint32_t block_size) {
    blk::DiskConfig cfg;
    cfg.minors = 1;
    disk_ = blk::Disk::ram(16384, cfg);
    if (!disk_) return 0;
    blk::devnum d = disk_->dev();
    if (!blk::format_testfs(d, block_size) || blk::mount(d) != 0) return 0;
    return d;
  }
  std::unique_ptr<blk::Disk> disk_;
};

TEST_F(ControlDeviceTest, AnswersAndRefusalsOfAFreshSession) {
  blk::devnum d = mounted_disk(4096);
  ASSERT_NE(0u, d);
  ControlDevice dev;
  EXPECT_EQ(3u, dev.version_major());
  EXPECT_EQ(1u, dev.version_minor());
  BlockSize bs = dev.get_block_size(blk::major_of(d), blk::minor_of(d));
  EXPECT_EQ(4096, bs.blockSize);
  EXPECT_EQ(8192u, bs.partitionSizeKB);
  EXPECT_EQ(blk::minor_of(d), bs.minor);

  // Nothing mounted on the device.
  blk::umount(d);
  try {
    dev.get_block_size(blk::major_of(d), blk::minor_of(d));
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(Errc::no_device, e.code());
    EXPECT_EQ(CGD_ERR_NO_DEVICE, e.status());
    EXPECT_TRUE(contains(e.what(), "no mounted file system")) << e.what();
  }
  // Windows and reads need a started backup.
  try {
    Window w(dev, 4096);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(Errc::system, e.code());
    EXPECT_EQ(EINVAL, e.sys_errno());
  }
  EXPECT_EQ(0u, standin::user::mappings());
  Window none;
  try {
    dev.read_blocks(0, 1, none);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(Errc::invalid, e.code());
  }
}

TEST_F(ControlDeviceTest, ClosedAndMovedDevicesHoldNothing) {
  ControlDevice a;
  EXPECT_TRUE(a.is_open());
  ControlDevice b(std::move(a));
  EXPECT_FALSE(a.is_open());
  EXPECT_TRUE(b.is_open());
  b.close();
  EXPECT_FALSE(b.is_open());
  try {
    b.version_major();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(Errc::system, e.code());
    EXPECT_EQ(EBADF, e.sys_errno());
  }
  // Nothing left open: the module unloads (teardown checks).
  EXPECT_EQ(0, standin::modules::refcount("cowguard"));
}

}  // namespace
