// The registry of hooked request queues, called directly on real stand-in
// disks: one node per queue whatever the number of partitions hooked, the
// real function kept and restored with the last device, the reader count
// left at rest on every path, the lines of the failure paths, and the hook
// never left on a queue that has no node when installs and removals race.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tracking_fixture.h"

namespace {

using cgtest::DevsOf;
using cgtest::NodeOf;
using cgtest::RegistrySize;
using cgtest::SlotOf;
using cgtest::TrackingTest;
namespace blk = standin::block;

std::atomic<long> hookCalls{0};

int hookA(request_queue_t* q, struct bio* bio) {
  hookCalls++;
  return getRealMRF(q)(q, bio);
}
int hookB(request_queue_t* q, struct bio* bio) {
  hookCalls++;
  return getRealMRF(q)(q, bio);
}

class RegistryTest : public TrackingTest {};

TEST_F(RegistryTest, PartitionsOfOneDiskShareOneNodeThatKeepsTheRealFunction) {
  Backup* p1 = Part(1);
  Backup* p2 = Part(2);
  EXPECT_EQ(realFn_, getRealMRF(q_));  // never hooked: the queue's own

  ASSERT_EQ(0, setMRF(p1, hookA));
  ASSERT_EQ(0, setMRF(p2, hookA));
  EXPECT_EQ(1u, RegistrySize());
  ASSERT_NE(nullptr, NodeOf(q_));
  EXPECT_EQ(realFn_, NodeOf(q_)->realMRF);
  EXPECT_EQ((std::vector<dev_t>{disk_->part_dev(1), disk_->part_dev(2)}), DevsOf(q_));
  EXPECT_EQ(hookA, q_->make_request_fn);
  EXPECT_EQ(realFn_, getRealMRF(q_));

  // The same device again with another hook: only the function changes.
  ASSERT_EQ(0, setMRF(p1, hookB));
  EXPECT_EQ(2u, DevsOf(q_).size());
  EXPECT_EQ(hookB, q_->make_request_fn);
  EXPECT_EQ(realFn_, NodeOf(q_)->realMRF);
  EXPECT_EQ(1, isInQueueList(q_, p2->diskInfo.kdev));
  EXPECT_EQ(0, isInQueueList(q_, disk_->part_dev(3)));

  // Bios pass through the hook to the disk.
  hookCalls = 0;
  EXPECT_EQ(0, WriteBlocks(3, 5, 1));
  EXPECT_EQ(1, hookCalls.load());
  EXPECT_EQ(1, atomic_read(&queueListUsers));
}

TEST_F(RegistryTest, TheLastDeviceToLeaveRestoresTheRealFunction) {
  Backup* p1 = Part(1);
  Backup* p2 = Part(2);
  Backup* p3 = Part(3);
  ASSERT_EQ(0, setMRF(p1, hookA));
  ASSERT_EQ(0, setMRF(p2, hookA));

  unSetMRFDEV(&p3->diskInfo);  // never registered: nothing changes
  EXPECT_EQ(2u, DevsOf(q_).size());
  EXPECT_EQ(hookA, q_->make_request_fn);

  unSetMRFDEV(&p1->diskInfo);
  EXPECT_EQ((std::vector<dev_t>{p2->diskInfo.kdev}), DevsOf(q_));
  EXPECT_EQ(hookA, q_->make_request_fn);

  unSetMRFDEV(&p2->diskInfo);
  EXPECT_EQ(nullptr, NodeOf(q_));
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_EQ(realFn_, getRealMRF(q_));

  // The real function already back on the queue: the removal leaves it.
  ASSERT_EQ(0, setMRF(p1, hookA));
  q_->make_request_fn = realFn_;
  unSetMRFDEV(&p1->diskInfo);
  EXPECT_EQ(nullptr, NodeOf(q_));
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_TRUE(NewLog().empty());
}

TEST_F(RegistryTest, RemovingAQueueStopsItsSessionsAndFreesEveryEntry) {
  Backup* p1 = Part(1);
  Backup* p2 = Part(2);
  Backup* p3 = Part(3);
  AutoMapSession* s1 = Track(p1);
  AutoMapSession* s3 = Track(p3);
  ASSERT_TRUE(s1 && s3);
  for (Backup* b : {p1, p2, p3}) ASSERT_EQ(0, setMRF(b, cgtest::passHook));
  ASSERT_EQ(3u, DevsOf(q_).size());
  EXPECT_EQ(2, countQueueAMS(q_));

  unsetQueueMRFAMS(q_);
  EXPECT_EQ(0u, RegistrySize());
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_EQ(0u, getStateOf(s1));
  EXPECT_EQ(0u, getStateOf(s3));
  EXPECT_EQ(s1, SlotOf(p1->diskInfo.kdev));  // sessions stay in the table
  EXPECT_EQ(0, countQueueAMS(q_));

  unsetQueueMRFAMS(q_);  // a queue without a node: nothing happens
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_TRUE(NewLog().empty());
}

TEST_F(RegistryTest, NullQueuesWriteTheirLinesAndLeaveTheReaderCountAtRest) {
  EXPECT_EQ(nullptr, getRealMRF(nullptr));
  EXPECT_EQ(1, atomic_read(&queueListUsers));
  addQueueToList(nullptr, disk_->part_dev(1));
  unsetQueueMRFAMS(nullptr);
  EXPECT_EQ(0, isInQueueList(nullptr, disk_->part_dev(1)));
  EXPECT_EQ(0, isInDevList(nullptr, disk_->part_dev(1)));
  EXPECT_EQ(0, addDevToList(nullptr, disk_->part_dev(1), nullptr));
  EXPECT_EQ(0, countQueueAMS(nullptr));
  EXPECT_EQ((std::vector<std::string>{
                "<4>getRealMRF: Can't get MRF on NULL queue.",
                "<3>addQueueToList: Could not add queue to list (null).",
                "<3>unsetQueueMRFAMS: Could not unset MRFS for request queue because queue was null.",
                "<3>countQueueAMS: Could not count ams sessions for request queue because queue was null.",
            }),
            NewLog());
  EXPECT_EQ(0u, RegistrySize());

  // A writer after all of them is not blocked by a reader left inside.
  Backup* p1 = Part(1);
  ASSERT_EQ(0, setMRF(p1, hookA));
  unSetMRFDEV(&p1->diskInfo);
  EXPECT_EQ(realFn_, q_->make_request_fn);
}

TEST_F(RegistryTest, ADeviceWithoutAQueueIsRefusedAndItsRemovalOnlyWarns) {
  blk::DiskConfig cfg;
  cfg.major = 254;
  cfg.with_queue = false;
  blk::Disk* d = WholeDisk(cfg);
  ASSERT_NE(nullptr, d);
  Backup* nq = Whole(d);
  ASSERT_EQ(nullptr, getRequestQueue(&nq->diskInfo));

  EXPECT_EQ(1, setMRF(nq, hookA));
  EXPECT_EQ(0u, RegistrySize());
  unSetMRFDEV(&nq->diskInfo);
  printk("<6>end of test\n");  // the warning has no line end of its own
  EXPECT_EQ((std::vector<std::string>{
                "<4>unSetMRFDEV: Unable to get request queue for MAJOR=254, MINOR=0 while "
                "unsetting MRF.",
                "<6>end of test",
            }),
            NewLog());

  // A session's removal reports the same function name.
  AutoMapSession* s = Track(nq);
  ASSERT_NE(nullptr, s);
  Remark();
  EXPECT_EQ(CGD_OK, closeAMS(nq));
  printk("<6>end of test\n");
  EXPECT_EQ(1u, standin::log::count(mark_,
                                    "<4>unSetMRFDEV: Unable to get request queue for MAJOR=254, "
                                    "MINOR=0 while unsetting MRF."));
}

// Installs race with removals of the same device.  Whatever the order, a
// queue that carries the hook has a node (else the hook would be handed
// itself as the real function), and the last removal gives the real
// function back.
TEST_F(RegistryTest, InstallsRacingRemovalsNeverLeaveAHookWithoutANode) {
  Backup* p1 = Part(1);
  std::atomic<bool> stop{false};
  auto remove = [&] {
    while (!stop) unSetMRFDEV(&p1->diskInfo);
  };
  std::thread remover1(remove), remover2(remove);
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(0, setMRF(p1, hookA));
  stop = true;
  remover1.join();
  remover2.join();

  unsigned long flags;
  waitForQueueListUsers(&flags);
  bool hooked = q_->make_request_fn == hookA;
  bool node = NodeOf(q_) != nullptr;
  spin_unlock_irqrestore(&queueListUsersLock, flags);
  EXPECT_EQ(hooked, node);
  if (node) {
    EXPECT_EQ(realFn_, NodeOf(q_)->realMRF);
  }

  unSetMRFDEV(&p1->diskInfo);
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_EQ(0, WriteBlocks(1, 1, 1));
}

}  // namespace
