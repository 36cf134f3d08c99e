// Transfer windows and the process's mmap semaphore.  mmap and munmap hold
// it while they call the module's mmap and window close, which take the
// session's bSem; a user copy may fault a page in and take it too.  So no
// command may copy user memory while it holds bSem, and a refused mapping
// must come back as an errno: the kernel hands a driver's positive result
// back to the program as the mapping's address.
#include <errno.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "device/backup_fixture.h"
#include "standin/fault.h"

namespace {

using namespace cgtest;
namespace fault = standin::fault;

class WindowLockTest : public BackupTest {
 protected:
  static constexpr std::uint32_t kBs = 1024;
  void SetUp() override {
    BackupTest::SetUp();
    dev_ = MountedPart2(kBs);
    n_ = Blocks(dev_, kBs);
  }
  blk::devnum dev_ = 0;
  std::uint32_t n_ = 0;
};

// One thread maps and unmaps windows without pause while another takes
// snapshots, fetches the changed map and loads the wanted one on the same
// open file, round after round.  The lock checker sees every order taken
// (the case fails on an inversion between bSem and the mmap semaphore),
// and a deadlock would leave the rounds unfinished.
TEST_F(WindowLockTest, MappingWhileAnotherThreadCopiesMapsNeitherDeadlocksNorInverts) {
  auto rounds = std::async(std::launch::async, [&] {
    for (int round = 0; round < 8; round++) {
      int fd = Open();
      EXPECT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
      std::atomic<bool> stop{false};
      std::atomic<int> maps{0};
      std::thread mapper([&] {
        while (!stop.load()) {
          std::uint8_t* w = MapWindow(fd, 1);
          if (w) {
            maps++;
            EXPECT_EQ(0, user::munmap(w, 4096));
          }
        }
      });
      AMSessionKey key = KeyOf(fd);
      EXPECT_EQ(CGD_OK, Snap(fd, &key));
      Bitmap changed(n_);
      int fetched = FetchAutoMap(fd, &changed);
      EXPECT_TRUE(fetched == CGD_OK || (round == 0 && fetched == CGD_ERR_INVALID)) << fetched;
      EXPECT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n_)));
      while (maps.load() < 3) std::this_thread::yield();
      stop = true;
      mapper.join();
      EXPECT_EQ(0, Close(fd));
    }
  });
  if (rounds.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the rounds did not finish: deadlock";
    std::fflush(nullptr);
    std::_Exit(3);  // the threads cannot be joined
  }
  rounds.get();
}

// A window whose pages cannot be had is refused with ENOMEM, and one that
// may not be a window with EINVAL; either way no mapping exists.
TEST_F(WindowLockTest, RefusedWindowsFailWithAnErrnoNotAnAddress) {
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  fault::set(fault::Site::page_alloc, {.nth = 1});
  errno = 0;
  EXPECT_EQ(MAP_FAILED, user::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0));
  EXPECT_EQ(ENOMEM, errno);
  fault::clear_all();
  errno = 0;
  EXPECT_EQ(MAP_FAILED, user::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(0u, user::mappings());
  std::uint8_t* w = MapWindow(fd, 1);
  ASSERT_NE(nullptr, w) << "the slots stayed free";
  EXPECT_EQ(0, user::munmap(w, 4096));
  EXPECT_EQ(0, Close(fd));
}

}  // namespace
