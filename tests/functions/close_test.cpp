// The release of a session record on a real device: the hand-back of the
// device's request queue to the tracking hook or to the disk, the report
// line of a session that was started, and the tracking sessions that the
// shutdown command and unload close.
#include <errno.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "standin/block.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace blk = standin::block;

namespace {

using Lines = std::vector<std::string>;

// A make-request function of the test, installed the way the backup hook is.
int testHook(request_queue_t* q, struct bio* bio) { return getRealMRF(q)(q, bio); }

class SessionClose : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    disk_ = blk::Disk::ram(8192);
    ASSERT_NE(nullptr, disk_);
    ASSERT_TRUE(blk::write_mbr(*disk_, {{.start = 2048, .sectors = 4096}}));
    ASSERT_EQ(0, disk_->rescan());
    part_ = disk_->part_dev(1);
    ASSERT_TRUE(blk::format_testfs(part_, 1024));
    ASSERT_EQ(0, blk::mount(part_));
    realMRF_ = LoadOnce(disk_->queue()->make_request_fn);
    ASSERT_EQ(0, cgdInit());
    loaded_ = true;
    Remark();
  }
  void TearDown() override {
    if (loaded_) cgdExit();
    EXPECT_EQ(realMRF_, LoadOnce(disk_->queue()->make_request_fn));
    EXPECT_EQ(0, atomic_read(&curAllocAMPages));
    EXPECT_EQ(0, blk::umount(part_));
    disk_.reset();
    ExpectNoLeaks();
    KernelTest::TearDown();
  }

  // An open file whose record is bound to the partition as a start does it.
  Backup* OpenOnPartition(struct file* f) {
    f->private_data = nullptr;
    EXPECT_EQ(0, cgdOpen(&inode_, f));
    Backup* b = static_cast<Backup*>(f->private_data);
    if (b) {
      EXPECT_EQ(0, getDiskInfo(&b->diskInfo, part_));
      b->diskInfo.numBlocks = 2048;
    }
    return b;
  }
  // A tracking session in sync on the record's device, with its hook installed.
  AutoMapSession* Track(Backup* b) {
    AutoMapSession* ams = nullptr;
    EXPECT_EQ(0, newAMS(b, &ams));
    if (!ams) return nullptr;
    setStateOf(ams, u32(CGD_AUTOMAP_IN_SYNC));
    EXPECT_EQ(0, setMRF(b, cgdAMRF));
    return ams;
  }
  bool Tracked() {
    AutoMapSession* ams = getAMS(part_);
    if (ams) putAMS(ams);
    return ams != nullptr;
  }
  make_request_fn* Current() { return LoadOnce(disk_->queue()->make_request_fn); }
  // The close's report: 26 statistics lines (the state closing), then the end line.
  void ExpectReportThenFinished() {
    auto log = NewLog();
    ASSERT_EQ(27u, log.size());
    for (std::size_t i = 0; i < 26; ++i) EXPECT_EQ(0u, log[i].rfind("<6>printStats: ", 0)) << log[i];
    EXPECT_EQ("<6>printStats: state: 7", log[1]);
    EXPECT_EQ(Finished(), log.back());
  }
  std::string Finished() const {
    return "<6>closeBackup: backup finished device major=8 minor=" +
           std::to_string(blk::minor_of(part_));
  }

  std::unique_ptr<blk::Disk> disk_;
  blk::devnum part_ = 0;
  make_request_fn* realMRF_ = nullptr;
  struct inode inode_ = {};
  bool loaded_ = false;
};

TEST_F(SessionClose, StartedSessionGivesTheQueueBackToTheDisk) {
  struct file f = {};
  Backup* b = OpenOnPartition(&f);
  ASSERT_NE(nullptr, b);
  ASSERT_EQ(0, setMRF(b, testHook));
  ASSERT_EQ(&testHook, Current());
  setStateOf(b, u32(CGD_STATE_STARTED));

  EXPECT_EQ(0, cgdRelease(&inode_, &f));
  EXPECT_EQ(realMRF_, Current());
  ExpectReportThenFinished();
}

TEST_F(SessionClose, StartedSessionLeavesTheTrackingHookInstalled) {
  struct file f = {};
  Backup* b = OpenOnPartition(&f);
  ASSERT_NE(nullptr, b);
  ASSERT_NE(nullptr, Track(b));
  ASSERT_EQ(0, setMRF(b, testHook));
  setStateOf(b, u32(CGD_STATE_READING));

  EXPECT_EQ(0, cgdRelease(&inode_, &f));
  EXPECT_EQ(&cgdAMRF, Current());
  EXPECT_TRUE(Tracked());
  ExpectReportThenFinished();
  // Unload closes the session and gives the disk its own function back.
}

TEST_F(SessionClose, NeverStartedRecordTouchesNothing) {
  struct file f = {};
  Backup* b = OpenOnPartition(&f);
  ASSERT_NE(nullptr, b);
  ASSERT_NE(nullptr, Track(b));
  Remark();
  // State 0: the tracking hook stays, nothing is reported, the device
  // reference of the record is dropped (the leak check sees it).
  EXPECT_EQ(0, cgdRelease(&inode_, &f));
  EXPECT_EQ(&cgdAMRF, Current());
  EXPECT_TRUE(Tracked());
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(SessionClose, ShutdownClosesTrackingSessionsAndKeepsTheDevice) {
  struct file f = {};
  Backup* b = OpenOnPartition(&f);
  ASSERT_NE(nullptr, b);
  ASSERT_NE(nullptr, Track(b));
  ASSERT_GT(atomic_read(&curAllocAMPages), 0);

  EXPECT_EQ(0, cgdIOCTL(&inode_, &f, CGD_SHUTDOWN, 0));
  EXPECT_FALSE(Tracked());
  EXPECT_EQ(realMRF_, Current());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));

  // The open file and the device go on working.
  int v = 0;
  EXPECT_EQ(0, cgdIOCTL(&inode_, &f, CGD_GET_VERSION_MAJOR, reinterpret_cast<unsigned long>(&v)));
  EXPECT_EQ(3, v);
  struct file g = {};
  EXPECT_EQ(0, cgdOpen(&inode_, &g));
  EXPECT_EQ(0, cgdRelease(&inode_, &g));
  EXPECT_EQ(0, cgdRelease(&inode_, &f));
}

TEST_F(SessionClose, UnloadClosesTrackingSessionsBeforeItsLines) {
  struct file f = {};
  Backup* b = OpenOnPartition(&f);
  ASSERT_NE(nullptr, b);
  ASSERT_NE(nullptr, Track(b));
  EXPECT_EQ(0, cgdRelease(&inode_, &f));
  Remark();

  cgdExit();
  loaded_ = false;
  EXPECT_FALSE(Tracked());
  EXPECT_EQ(realMRF_, Current());
  Lines log = NewLog();
  ASSERT_LE(std::size_t(2), log.size());
  EXPECT_EQ("<6>cgdUnload: cowguard version 3.1.0 build 9504 ready to be unloaded", log[log.size() - 2]);
  EXPECT_EQ("<6>cgdExit: cowguard version 3.1.0 build 9504 exiting", log.back());
  // The device is unregistered: the major can be taken again.
  static const struct file_operations ops = {};
  EXPECT_EQ(0, register_chrdev(CGD_MAJOR, "again", &ops));
  EXPECT_EQ(0, unregister_chrdev(CGD_MAJOR, "again"));
}

}  // namespace
