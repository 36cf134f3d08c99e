// The control device seen from user space: load and unload lines, the
// module reference of every open file, and the file operations that carry
// no data.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "standin/fault.h"
#include "standin/module.h"
#include "standin/user.h"
#include "device/user_pages.h"

#include <linux/fs.h>

#include "cowguard.h"

namespace user = standin::user;
namespace modules = standin::modules;

namespace {

const char kLoaded[] = "<6>cgdInit: cowguard version 3.1.0 build 9504 loaded";
const char kLoadFailed[] = "<6>cgdInit: cowguard version 3.1.0 build 9504 load FAILED";
const char kReady[] = "<6>cgdUnload: cowguard version 3.1.0 build 9504 ready to be unloaded";
const char kExiting[] = "<6>cgdExit: cowguard version 3.1.0 build 9504 exiting";

using Lines = std::vector<std::string>;

int OpenDevice() { return user::open(CGD_DEVICE_NODE, O_RDWR); }

class ControlDevice : public ModuleTest {};

TEST_F(ControlDevice, LoadAndUnloadWriteTheirVersionLines) {
  EXPECT_EQ(Lines{kLoaded}, NewLog());

  Remark();
  ASSERT_EQ(0, modules::rmmod("cowguard"));
  EXPECT_FALSE(modules::loaded("cowguard"));
  EXPECT_EQ((Lines{kReady, kExiting}), NewLog());

  // A second load starts from fresh statics: again exactly one load line,
  // and the device works.
  Remark();
  ASSERT_EQ(0, modules::insmod(CG_MODULE_PATH));
  EXPECT_EQ(Lines{kLoaded}, NewLog());
  int fd = OpenDevice();
  ASSERT_GE(fd, 0);
  int v = 0;
  EXPECT_EQ(0, user::ioctl(fd, CGD_GET_VERSION_MAJOR, reinterpret_cast<unsigned long>(&v)));
  EXPECT_EQ(3, v);
  EXPECT_EQ(0, user::close(fd));
}

TEST_F(ControlDevice, ReadWriteAndPollCarryNothing) {
  int fd = OpenDevice();
  ASSERT_GE(fd, 0);
  char buf[32];
  std::memset(buf, 0x5a, sizeof(buf));
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(0, user::read(fd, buf, sizeof(buf)));
    EXPECT_EQ(0, user::write(fd, buf, sizeof(buf)));
  }
  EXPECT_TRUE(std::all_of(buf, buf + sizeof(buf), [](char c) { return c == 0x5a; }));

  struct pollfd p = {fd, POLLIN | POLLOUT | POLLPRI, 0};
  EXPECT_EQ(0, user::poll(&p, 1, 0));
  EXPECT_EQ(0, p.revents);
  EXPECT_EQ(0, user::close(fd));
  EXPECT_EQ(Lines{kLoaded}, NewLog());
}

TEST_F(ControlDevice, OpenFilesKeepTheModuleLoaded) {
  const int idle = modules::refcount("cowguard");
  int a = OpenDevice(), b = OpenDevice();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_GT(modules::refcount("cowguard"), idle);

  EXPECT_EQ(-EBUSY, modules::rmmod("cowguard"));
  EXPECT_TRUE(modules::loaded("cowguard"));
  EXPECT_EQ(0, user::close(a));
  EXPECT_EQ(-EBUSY, modules::rmmod("cowguard"));

  // The remaining file still works after the refused unloads.
  int v = 0;
  EXPECT_EQ(0, user::ioctl(b, CGD_GET_VERSION_MINOR, reinterpret_cast<unsigned long>(&v)));
  EXPECT_EQ(1, v);
  EXPECT_EQ(0, user::close(b));
  EXPECT_EQ(idle, modules::refcount("cowguard"));
  EXPECT_EQ(Lines{kLoaded}, NewLog());
}

TEST_F(ControlDevice, OpenAndCloseCyclesLeaveNothingBehind) {
  const int idle = modules::refcount("cowguard");
  std::vector<int> fds;
  for (int i = 0; i < 8; i++) {
    fds.push_back(OpenDevice());
    ASSERT_GE(fds.back(), 0);
  }
  // Every open file has its own record: closing some leaves the others working.
  for (std::size_t i = 0; i < fds.size(); i += 2) EXPECT_EQ(0, user::close(fds[i]));
  for (std::size_t i = 1; i < fds.size(); i += 2) {
    EXPECT_EQ(3, user::ioctl(fds[i], CGD_CMD_16, 0));
    EXPECT_EQ(0, user::close(fds[i]));
  }
  for (int i = 0; i < 50; i++) {
    int fd = OpenDevice();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, user::close(fd));
  }
  EXPECT_EQ(idle, modules::refcount("cowguard"));
  // A never-started session closes quietly.
  EXPECT_EQ(Lines{kLoaded}, NewLog());
  // ModuleTest checks at unload that nothing leaked.
}

TEST_F(ControlDevice, OpenWithoutMemoryFailsCleanly) {
  const int idle = modules::refcount("cowguard");
  standin::fault::set(standin::fault::Site::kmalloc, {.nth = 1});
  errno = 0;
  EXPECT_EQ(-1, OpenDevice());
  EXPECT_EQ(ENOMEM, errno);
  standin::fault::clear_all();
  EXPECT_EQ(idle, modules::refcount("cowguard"));

  int fd = OpenDevice();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, user::close(fd));
}

TEST_F(ControlDevice, ShutdownWithoutSessionsKeepsTheDeviceUsable) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  int fd = OpenDevice();
  ASSERT_GE(fd, 0);
  Remark();
  // The argument is not read.
  EXPECT_EQ(0, user::ioctl(fd, CGD_SHUTDOWN, 0));
  EXPECT_EQ(0, user::ioctl(fd, CGD_SHUTDOWN, pages.addr(pages.none())));
  EXPECT_EQ(Lines{}, NewLog());

  int v = 0;
  EXPECT_EQ(0, user::ioctl(fd, CGD_GET_VERSION_MAJOR, reinterpret_cast<unsigned long>(&v)));
  EXPECT_EQ(3, v);
  int other = OpenDevice();
  ASSERT_GE(other, 0);
  EXPECT_EQ(0, user::ioctl(other, CGD_SHUTDOWN, 0));
  EXPECT_EQ(0, user::close(other));
  EXPECT_EQ(0, user::close(fd));
}

TEST_F(ControlDevice, ConcurrentOpensAndCommands) {
  const int idle = modules::refcount("cowguard");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&failures] {
      for (int round = 0; round < 20; round++) {
        int fd = OpenDevice();
        if (fd < 0) {
          failures++;
          continue;
        }
        for (int i = 0; i < 10; i++) {
          int major = 0, minor = 0;
          if (user::ioctl(fd, CGD_GET_VERSION_MAJOR, reinterpret_cast<unsigned long>(&major)) != 0 ||
              user::ioctl(fd, CGD_GET_VERSION_MINOR, reinterpret_cast<unsigned long>(&minor)) != 0 ||
              major != 3 || minor != 1 || user::ioctl(fd, CGD_CMD_16, 0) != 3)
            failures++;
        }
        if (user::close(fd) != 0) failures++;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(idle, modules::refcount("cowguard"));
}

// A device that holds the major already makes the load fail.
class ControlLoad : public KernelTest {};

const struct file_operations kSquatterOps = {};

TEST_F(ControlLoad, TakenMajorRefusesTheLoad) {
  ASSERT_EQ(0, register_chrdev(CGD_MAJOR, "squatter", &kSquatterOps));
  EXPECT_NE(0, modules::insmod(CG_MODULE_PATH));
  EXPECT_FALSE(modules::loaded("cowguard"));
  EXPECT_EQ(Lines{kLoadFailed}, NewLog());
  EXPECT_EQ(0, unregister_chrdev(CGD_MAJOR, "squatter"));

  // With the major free again the module loads.
  Remark();
  ASSERT_EQ(0, modules::insmod(CG_MODULE_PATH));
  EXPECT_EQ(Lines{kLoaded}, NewLog());
  EXPECT_EQ(0, modules::rmmod("cowguard"));
  ExpectNoLeaks();
}

}  // namespace
