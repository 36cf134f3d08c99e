// The control device's entry points called directly, with a struct file
// built by the test: the session record of open, the failure paths of open,
// the command counter, and the release of records that do and do not hold
// the module-wide backup state.
#include <errno.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "standin/fault.h"
#include "standin/memory.h"
#include "device/user_pages.h"

#include <linux/module.h>

#include "cgdlib.h"
#include "functions/module_access.h"

namespace {

using Lines = std::vector<std::string>;

class ControlEntry : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_TRUE(pages_.ok());
    ASSERT_EQ(0, cgdInit());
    Remark();
  }
  void TearDown() override {
    cgdExit();
    standin::fault::clear_all();
    ExpectNoLeaks();
    KernelTest::TearDown();
  }
  // Opens a file of the device; the record is in its private data.
  Backup* Open(struct file* f) {
    f->private_data = nullptr;
    int ret = cgdOpen(&inode_, f);
    EXPECT_EQ(0, ret);
    return static_cast<Backup*>(f->private_data);
  }
  int Ioctl(struct file* f, unsigned int cmd, const void* arg) {
    return cgdIOCTL(&inode_, f, cmd, reinterpret_cast<unsigned long>(arg));
  }
  long Kmallocs() const { return standin::mem::usage().live(standin::mem::Kind::kmalloc); }

  struct inode inode_ = {};
  UserPages pages_;
};

TEST_F(ControlEntry, OpenGivesAZeroedIdleRecordAndReleaseFreesIt) {
  const int refs = atomic_read(&__this_module.refcnt);
  struct file f = {};
  Backup* b = Open(&f);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(refs + 1, atomic_read(&__this_module.refcnt));

  EXPECT_EQ(u32(CGD_STATE_IDLE), getStateOf(b));
  EXPECT_EQ(0, atomic_read(&b->ioctlCount));
  EXPECT_EQ(0, atomic_read(&b->mrInQueue));
  EXPECT_EQ(0, atomic_read(&b->hookUsers));
  EXPECT_EQ(0, b->holdsModule);
  EXPECT_EQ(0u, b->diskInfo.kdev);
  EXPECT_EQ(nullptr, b->diskInfo.bdev);
  EXPECT_EQ(nullptr, b->blockTable);
  EXPECT_EQ(nullptr, b->cacheMap.map);
  EXPECT_EQ(nullptr, b->vmAreas[0].vma);
  EXPECT_EQ(nullptr, b->mrHead);
  EXPECT_EQ(0, b->startedCacheThread);
  // The record's locks are ready for use.
  EXPECT_EQ(0, down_trylock(&b->bSem));
  up(&b->bSem);
  EXPECT_EQ(1, down_write_trylock(&b->writers));
  up_write(&b->writers);

  // Two opens get two records.
  struct file g = {};
  Backup* c = Open(&g);
  EXPECT_NE(b, c);
  EXPECT_EQ(0, cgdRelease(&inode_, &g));

  EXPECT_EQ(0, cgdRelease(&inode_, &f));
  EXPECT_EQ(nullptr, f.private_data);
  EXPECT_EQ(refs, atomic_read(&__this_module.refcnt));
  // A never-started record closes without a word.
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(ControlEntry, FailedOpensLeaveNoRecordAndGiveAnErrno) {
  const int refs = atomic_read(&__this_module.refcnt);
  const long kmallocs = Kmallocs();
  struct file f = {};

  // Module being unloaded: the record is freed, not left in private data.
  __this_module.state = MODULE_STATE_GOING;
  EXPECT_EQ(-ENXIO, cgdOpen(&inode_, &f));
  __this_module.state = MODULE_STATE_LIVE;
  EXPECT_EQ(nullptr, f.private_data);
  EXPECT_EQ(kmallocs, Kmallocs());

  // Out of memory.
  standin::fault::set(standin::fault::Site::kmalloc, {.nth = 1});
  EXPECT_EQ(-ENOMEM, cgdOpen(&inode_, &f));
  standin::fault::clear_all();
  EXPECT_EQ(nullptr, f.private_data);

  // Not initialised.
  atomic_set(&initDone, 0);
  EXPECT_EQ(-EAGAIN, cgdOpen(&inode_, &f));
  atomic_set(&initDone, 1);
  EXPECT_EQ(nullptr, f.private_data);

  EXPECT_EQ(refs, atomic_read(&__this_module.refcnt));
  EXPECT_EQ(kmallocs, Kmallocs());
  EXPECT_EQ(Lines{}, NewLog());

  // The errnos are the ones the agent's header documents.
  EXPECT_EQ(CGD_OPEN_ERRNO_UNAVAILABLE, ENXIO);
  EXPECT_EQ(CGD_OPEN_ERRNO_NO_MEMORY, ENOMEM);
  EXPECT_EQ(CGD_OPEN_ERRNO_NOT_READY, EAGAIN);
}

TEST_F(ControlEntry, CommandCounterCountsEveryCommand) {
  struct file f = {};
  Backup* b = Open(&f);
  ASSERT_NE(nullptr, b);
  int v = 0;
  struct LoadBlockMap lbm = {reinterpret_cast<struct UserBlockMap*>(pages_.none()), 16};

  EXPECT_EQ(CGD_OK, Ioctl(&f, CGD_GET_VERSION_MAJOR, &v));
  EXPECT_EQ(CGD_ERR_BAD_COMMAND, Ioctl(&f, CGD_IOW(11, 4), &v));
  EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(&f, CGD_START_BACKUP, pages_.none()));
  EXPECT_EQ(CGD_ERR_COPY_IN, Ioctl(&f, CGD_LOAD_BLOCK_MAP, &lbm));
  EXPECT_EQ(CGD_ERR_COPY_OUT, Ioctl(&f, CGD_GET_VERSION_MINOR, pages_.readOnly()));
  EXPECT_EQ(CGD_ERR_UNAVAILABLE, Ioctl(&f, CGD_CMD_16, nullptr));
  EXPECT_EQ(CGD_OK, Ioctl(&f, CGD_SHUTDOWN, nullptr));
  EXPECT_EQ(7, atomic_read(&b->ioctlCount));

  // Commands on one file are not counted on another.
  struct file g = {};
  Backup* c = Open(&g);
  EXPECT_EQ(CGD_OK, Ioctl(&g, CGD_GET_VERSION_MAJOR, &v));
  EXPECT_EQ(1, atomic_read(&c->ioctlCount));
  EXPECT_EQ(7, atomic_read(&b->ioctlCount));

  // Before the module is ready nothing is counted.
  atomic_set(&initDone, 0);
  EXPECT_EQ(CGD_ERR_NOT_READY, Ioctl(&f, CGD_GET_VERSION_MAJOR, &v));
  atomic_set(&initDone, 1);
  EXPECT_EQ(7, atomic_read(&b->ioctlCount));

  EXPECT_EQ(0, cgdRelease(&inode_, &g));
  EXPECT_EQ(0, cgdRelease(&inode_, &f));
}

TEST_F(ControlEntry, FileWithoutRecordIsRefused) {
  struct file f = {};
  int v = 0;
  EXPECT_EQ(CGD_ERR_INVALID, Ioctl(&f, CGD_GET_VERSION_MAJOR, &v));
  EXPECT_EQ(0, v);
  EXPECT_EQ(CGD_ERR_INVALID, Ioctl(&f, CGD_IOW(11, 4), &v));
  EXPECT_EQ(CGD_ERR_INVALID, cgdRelease(&inode_, &f));
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(ControlEntry, OnlyTheHolderGivesBackBusyAndTheActiveSession) {
  struct file holderFile = {}, otherFile = {};
  Backup* holder = Open(&holderFile);
  Backup* other = Open(&otherFile);
  ASSERT_NE(nullptr, holder);
  ASSERT_NE(nullptr, other);

  // The holder's backup is running as far as the module-wide state goes.
  unsigned long flags;
  spin_lock_irqsave(&busyLock, flags);
  atomic_set(&busy, 1);
  holder->holdsModule = 1;
  spin_unlock_irqrestore(&busyLock, flags);
  PublishSession(holder);

  // Closing a file that never started leaves the running backup alone.
  EXPECT_EQ(0, cgdRelease(&inode_, &otherFile));
  EXPECT_EQ(holder, ActiveSession());
  EXPECT_EQ(1, atomic_read(&busy));

  EXPECT_EQ(0, cgdRelease(&inode_, &holderFile));
  EXPECT_EQ(nullptr, ActiveSession());
  EXPECT_EQ(0, atomic_read(&busy));
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(ControlEntry, ClosingARefusedRecordReportsItsDeviceAndLeavesBusy) {
  struct file f = {};
  Backup* b = Open(&f);
  ASSERT_NE(nullptr, b);
  atomic_set(&busy, 1);  // held by some other session
  setStateOf(b, u32(CGD_STATE_REFUSED));

  EXPECT_EQ(0, cgdRelease(&inode_, &f));
  Lines log = NewLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("<6>closeBackup: backup finished device major=0 minor=0", log.back());
  EXPECT_EQ(std::size_t(1), standin::log::count(mark_, log.back()));
  EXPECT_EQ(1, atomic_read(&busy));
  atomic_set(&busy, 0);
}

TEST_F(ControlEntry, ReleaseWaitsForHooksThatStillUseTheRecord) {
  struct file f = {};
  Backup* b = Open(&f);
  ASSERT_NE(nullptr, b);
  atomic_set(&b->hookUsers, 1);
  std::atomic<bool> released{false};
  std::thread closer([&] {
    cgdRelease(&inode_, &f);
    released = true;
  });
  // The closer cannot free the record while a hook holds it; the hook is
  // done once it drops its count.
  EXPECT_FALSE(released.load());
  atomic_dec(&b->hookUsers);
  closer.join();
  EXPECT_TRUE(released.load());
  EXPECT_EQ(nullptr, f.private_data);
}

}  // namespace
