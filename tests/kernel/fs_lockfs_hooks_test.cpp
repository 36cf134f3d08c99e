// Lock callbacks of a mounted file system: freeze_bdev and thaw_bdev run
// them at the file system's lockfs and unlockfs, in order with s_frozen and
// the frozen-instant hook; replacing them waits for a call in progress; an
// unmount drops them.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "block_test_util.h"

#include <linux/fs.h>

namespace {

using namespace blocktest;
using standin::block::Disk;
using standin::block::FsInfo;

class LockfsHooksTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    disk_ = Disk::ram(16384);
    ASSERT_TRUE(sb::write_mbr(*disk_, {{2048, 8192}}));
    ASSERT_EQ(0, disk_->rescan());
    dev_ = disk_->part_dev(1);
    ASSERT_TRUE(sb::format_testfs(dev_, 4096));
    ASSERT_EQ(0, sb::mount(dev_));
    bdev_ = bdget(dev_);
  }
  void TearDown() override {
    sb::set_freeze_hook({});
    bdput(bdev_);
    disk_.reset();
    KernelTest::TearDown();
  }
  int Frozen() {
    FsInfo info;
    EXPECT_TRUE(sb::fs_info(dev_, &info));
    return info.frozen;
  }

  std::unique_ptr<Disk> disk_;
  sb::devnum dev_ = 0;
  struct block_device* bdev_ = nullptr;
};

TEST_F(LockfsHooksTest, RunInOrderWithTheFreezeAndTheThaw) {
  std::vector<std::string> seen;
  sb::set_freeze_hook([&](sb::devnum, struct super_block*) {
    seen.push_back("hook frozen=" + std::to_string(Frozen()));
  });
  ASSERT_TRUE(sb::set_lockfs_hooks(
      dev_, {[&](sb::devnum d) {
               EXPECT_EQ(dev_, d);
               seen.push_back("lockfs frozen=" + std::to_string(Frozen()));
             },
             [&](sb::devnum d) {
               EXPECT_EQ(dev_, d);
               seen.push_back("unlockfs frozen=" + std::to_string(Frozen()));
             }}));
  struct super_block* s = freeze_bdev(bdev_);
  ASSERT_NE(nullptr, s);
  // Reads do not wait for the thaw; a callback may do them.
  std::vector<std::uint8_t> buf(4096);
  EXPECT_EQ(0, sb::rw_sectors(dev_, READ, 0, buf.data(), buf.size()));
  thaw_bdev(bdev_, s);
  const std::string trans = std::to_string(SB_FREEZE_TRANS);
  EXPECT_EQ((std::vector<std::string>{"lockfs frozen=" + trans, "hook frozen=" + trans,
                                      "unlockfs frozen=" + trans}),
            seen);
  EXPECT_EQ(SB_UNFROZEN, Frozen());
  FsInfo info;
  ASSERT_TRUE(sb::fs_info(dev_, &info));
  EXPECT_EQ(1, info.lockfs_calls);
  EXPECT_EQ(1, info.unlockfs_calls);

  // Removed, they are not called; the counts go on.
  ASSERT_TRUE(sb::set_lockfs_hooks(dev_, {}));
  seen.clear();
  thaw_bdev(bdev_, freeze_bdev(bdev_));
  EXPECT_EQ((std::vector<std::string>{"hook frozen=" + trans}), seen);
  ASSERT_TRUE(sb::fs_info(dev_, &info));
  EXPECT_EQ(2, info.lockfs_calls);
}

TEST_F(LockfsHooksTest, ReplacingWaitsForACallInProgress) {
  std::promise<void> entered, release;
  std::shared_future<void> go = release.get_future().share();
  ASSERT_TRUE(sb::set_lockfs_hooks(dev_, {[&](sb::devnum) {
                                            entered.set_value();
                                            go.wait();
                                          },
                                          {}}));
  // The freezing task thaws too: on 2.6.18 the mount lock is a mutex.
  std::thread freezer([&] { thaw_bdev(bdev_, freeze_bdev(bdev_)); });
  entered.get_future().wait();
  auto replaced = std::async(std::launch::async, [&] { return sb::set_lockfs_hooks(dev_, {}); });
  EXPECT_EQ(std::future_status::timeout, replaced.wait_for(std::chrono::milliseconds(100)))
      << "returned while the old callback ran";
  release.set_value();
  EXPECT_TRUE(replaced.get());
  freezer.join();
}

TEST_F(LockfsHooksTest, NeedAMountAndGoWithTheUnmount) {
  EXPECT_FALSE(sb::set_lockfs_hooks(disk_->dev(), {}));
  int calls = 0;
  ASSERT_TRUE(sb::set_lockfs_hooks(dev_, {[&](sb::devnum) { calls++; }, {}}));
  ASSERT_EQ(0, sb::umount(dev_));
  EXPECT_FALSE(sb::set_lockfs_hooks(dev_, {}));
  ASSERT_EQ(0, sb::mount(dev_));
  thaw_bdev(bdev_, freeze_bdev(bdev_));
  EXPECT_EQ(0, calls);
}

}  // namespace
