// The tracking session table, driven through its functions on real stand-in
// disks: creation and its failures, closing one or all sessions with the
// queue's real function back after the last, failing a device with and
// without other sessions on its queue, counting, devices that have no slot,
// and the block-device references a session holds.
#include <cstdint>
#include <string>
#include <vector>

#include "tracking_fixture.h"

namespace {

using cgtest::DevsOf;
using cgtest::NodeOf;
using cgtest::RegistrySize;
using cgtest::SlotOf;
using cgtest::TrackingTest;
namespace blk = standin::block;
using standin::mem::Kind;

class AutoMapTest : public TrackingTest {
 protected:
  long BdevRefs() { return standin::mem::usage().live(Kind::bdev_ref); }
};

TEST_F(AutoMapTest, NewSessionIsEmptyOutOfSyncAndAccounted) {
  Backup* p1 = Part(1, 40000);  // two map pages
  AutoMapSession* ams = nullptr;
  ASSERT_EQ(CGD_OK, newAMS(p1, &ams));
  ASSERT_NE(nullptr, ams);
  EXPECT_EQ(ams, SlotOf(p1->diskInfo.kdev));
  EXPECT_EQ(0u, getStateOf(ams));
  EXPECT_EQ(40000u, ams->map.size);
  EXPECT_TRUE(cgtest::MarkedBlocks(&ams->map).empty());
  EXPECT_EQ(2, atomic_read(&curAllocAMPages));
  EXPECT_EQ(1, atomic_read(&ams->users));
  EXPECT_EQ(std::vector<std::uint8_t>(56, 0),
            std::vector<std::uint8_t>(reinterpret_cast<std::uint8_t*>(&ams->sessionKey),
                                      reinterpret_cast<std::uint8_t*>(&ams->sessionKey) + 56));
  EXPECT_EQ(p1->diskInfo.kdev, ams->diskInfo.kdev);
  EXPECT_EQ(p1->diskInfo.partitionStart, ams->diskInfo.partitionStart);
  EXPECT_EQ(p1->diskInfo.sectorsPerBlockShift, ams->diskInfo.sectorsPerBlockShift);
  EXPECT_EQ(p1->diskInfo.bdev, ams->diskInfo.bdev);
  // Creating does not hook the device: the snapshot does that.
  EXPECT_EQ(0u, RegistrySize());

  // The slot is taken: a second session is refused and the first stays.
  AutoMapSession* other = nullptr;
  EXPECT_EQ(CGD_ERR_INVALID, newAMS(p1, &other));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(ams, SlotOf(p1->diskInfo.kdev));
  EXPECT_EQ(2, atomic_read(&curAllocAMPages));

  EXPECT_EQ(CGD_OK, closeAMS(p1));
  EXPECT_EQ(nullptr, SlotOf(p1->diskInfo.kdev));
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(CGD_ERR_INVALID, closeAMS(p1));  // no session any more
}

TEST_F(AutoMapTest, FailedCreationLeavesNothingBehind) {
  Backup* p1 = Part(1);
  AutoMapSession* ams = nullptr;
  long refs = BdevRefs();

  standin::fault::set(standin::fault::Site::kmalloc, {.nth = 1});
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newAMS(p1, &ams));
  standin::fault::clear_all();
  EXPECT_TRUE(NewLog().empty());

  standin::fault::set(standin::fault::Site::vmalloc, {.nth = 1});
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newAMS(p1, &ams));
  standin::fault::clear_all();
  EXPECT_EQ(1u, standin::log::count(mark_, "<3>newAMS: failed to create new device map"));

  Remark();
  p1->diskInfo.numBlocks = 0;  // no map can hold 0 blocks
  EXPECT_EQ(CGD_ERR_INVALID, newAMS(p1, &ams));
  EXPECT_EQ(1u, standin::log::count(mark_, "<3>newAMS: failed to create new device map"));

  EXPECT_EQ(nullptr, ams);
  EXPECT_EQ(nullptr, SlotOf(p1->diskInfo.kdev));
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(refs, BdevRefs());
}

TEST_F(AutoMapTest, CloseAllClosesEverySessionAndRestoresTheQueue) {
  closeAllAMS();  // empty table: nothing happens
  EXPECT_TRUE(NewLog().empty());

  Backup* p1 = Part(1);
  Backup* p2 = Part(2);
  AutoMapSession* s1 = Track(p1);
  AutoMapSession* s2 = Track(p2);
  ASSERT_TRUE(s1 && s2);
  ASSERT_EQ(0, setMRF(p1, cgdAMRF));
  ASSERT_EQ(0, setMRF(p2, cgdAMRF));
  ASSERT_EQ(2u, DevsOf(q_).size());

  // The first partition's session leaves: the queue stays hooked for the other.
  ASSERT_EQ(CGD_OK, closeAMS(p1));
  EXPECT_EQ((std::vector<dev_t>{p2->diskInfo.kdev}), DevsOf(q_));
  EXPECT_EQ(cgdAMRF, q_->make_request_fn);

  ASSERT_EQ(0, setMRF(p1, cgdAMRF));
  ASSERT_NE(nullptr, Track(p1));
  closeAllAMS();
  EXPECT_EQ(nullptr, SlotOf(p1->diskInfo.kdev));
  EXPECT_EQ(nullptr, SlotOf(p2->diskInfo.kdev));
  EXPECT_EQ(nullptr, NodeOf(q_));
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(0, WriteBlocks(1, 3, 1));  // the disk still takes writes
}

TEST_F(AutoMapTest, FailingADeviceKeepsTrackingTheOthersOnItsQueue) {
  Backup* p1 = Part(1);
  Backup* p2 = Part(2);
  AutoMapSession* s1 = Track(p1);
  AutoMapSession* s2 = Track(p2);
  ASSERT_TRUE(s1 && s2);
  ASSERT_EQ(0, setMRF(p1, cgtest::passHook));  // the backup's hook, as after a snapshot
  ASSERT_EQ(0, setMRF(p2, cgdAMRF));
  ASSERT_EQ(0, setMRF(p1, cgtest::passHook));
  ASSERT_EQ(2, countQueueAMS(q_));

  errorAMS(p1);
  EXPECT_EQ(0u, getStateOf(s1));
  EXPECT_EQ(1u, getStateOf(s2));
  EXPECT_EQ(cgdAMRF, q_->make_request_fn);
  EXPECT_EQ(2u, DevsOf(q_).size());

  // Writes on the other partition go on being recorded.
  ASSERT_EQ(0, WriteBlocks(2, 7, 1));
  EXPECT_EQ((std::vector<std::uint32_t>{7}), cgtest::MarkedBlocks(&s2->map));
  EXPECT_TRUE(cgtest::MarkedBlocks(&s1->map).empty());
}

TEST_F(AutoMapTest, FailingTheOnlyTrackedDeviceRemovesTheQueuesHooks) {
  Backup* p1 = Part(1);
  Backup* p2 = Part(2);  // registered, without a session
  AutoMapSession* s1 = Track(p1);
  ASSERT_NE(nullptr, s1);
  ASSERT_EQ(0, setMRF(p2, cgtest::passHook));
  ASSERT_EQ(0, setMRF(p1, cgtest::passHook));

  errorAMS(p1);
  EXPECT_EQ(0u, getStateOf(s1));
  EXPECT_EQ(nullptr, NodeOf(q_));
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_EQ(s1, SlotOf(p1->diskInfo.kdev));

  // A backup device without any session: its queue loses the hook as well.
  Backup* p3 = Part(3);
  ASSERT_EQ(0, setMRF(p3, cgtest::passHook));
  errorAMS(p3);
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_EQ(0u, RegistrySize());
  EXPECT_TRUE(NewLog().empty());
}

TEST_F(AutoMapTest, FailingAQueueMarksEverySessionOnIt) {
  Backup* p1 = Part(1);
  Backup* p2 = Part(2);
  AutoMapSession* s1 = Track(p1);
  AutoMapSession* s2 = Track(p2);
  ASSERT_TRUE(s1 && s2);
  ASSERT_EQ(0, setMRF(p1, cgdAMRF));

  errorAMSDEV(p2->diskInfo.kdev);  // p2 is not registered: nothing changes
  EXPECT_EQ(1u, getStateOf(s1));
  EXPECT_EQ(1u, getStateOf(s2));

  ASSERT_EQ(0, setMRF(p2, cgdAMRF));
  errorAMSDEV(p2->diskInfo.kdev);
  EXPECT_EQ(0u, getStateOf(s1));
  EXPECT_EQ(0u, getStateOf(s2));
  EXPECT_EQ(cgdAMRF, q_->make_request_fn);  // the hook itself stays
}

TEST_F(AutoMapTest, CountingSeesOnlyRegisteredDevicesOfTheQueue) {
  blk::Disk* other = WholeDisk(blk::DiskConfig{});
  ASSERT_NE(nullptr, other);
  Backup* w = Whole(other);
  ASSERT_NE(nullptr, Track(w));
  ASSERT_EQ(0, setMRF(w, cgdAMRF));
  EXPECT_EQ(1, countQueueAMS(other->queue()));
  EXPECT_EQ(0, countQueueAMS(q_));  // never registered, though another queue is

  Backup* p1 = Part(1);
  Backup* p2 = Part(2);
  ASSERT_NE(nullptr, Track(p1));
  EXPECT_EQ(0, countQueueAMS(q_));  // a session, but its device is not registered
  ASSERT_EQ(0, setMRF(p1, cgdAMRF));
  ASSERT_EQ(0, setMRF(p2, cgdAMRF));
  EXPECT_EQ(1, countQueueAMS(q_));
  closeAllAMS();
  EXPECT_EQ(other->queue()->make_request_fn, getRealMRF(other->queue()));
  // p2 is still registered without a session: the queue keeps its node.
  EXPECT_EQ(0, countQueueAMS(q_));
  unSetMRFDEV(&p2->diskInfo);
}

// Device numbers whose major or minor is 256 or more have no slot.  Without
// the check (253, 256) would address the slot of (254, 0).
TEST_F(AutoMapTest, DevicesBeyondTheTableAreRefusedEverywhere) {
  blk::DiskConfig cfgA;
  cfgA.major = 254;
  cfgA.first_minor = 0;
  blk::Disk* a = WholeDisk(cfgA);
  blk::DiskConfig cfgB;
  cfgB.major = 253;
  cfgB.first_minor = 256;
  blk::Disk* bd = WholeDisk(cfgB);
  blk::DiskConfig cfgC;
  cfgC.major = 300;
  cfgC.first_minor = 0;
  blk::Disk* c = WholeDisk(cfgC);
  ASSERT_TRUE(a && bd && c);
  Backup* ba = Whole(a);
  Backup* bb = Whole(bd);
  Backup* bc = Whole(c);
  AutoMapSession* sa = Track(ba);
  ASSERT_NE(nullptr, sa);
  long refs = BdevRefs();

  AutoMapSession* ams = nullptr;
  EXPECT_EQ(CGD_ERR_INVALID, newAMS(bb, &ams));
  EXPECT_EQ(CGD_ERR_INVALID, newAMS(bc, &ams));
  EXPECT_EQ(nullptr, ams);
  EXPECT_EQ((std::vector<std::string>{
                "<3>newAMS: device major=253 minor=256 has no automap slot",
                "<3>newAMS: device major=300 minor=0 has no automap slot",
            }),
            NewLog());
  EXPECT_EQ(sa, SlotOf(ba->diskInfo.kdev));
  EXPECT_EQ(refs, BdevRefs());
  EXPECT_EQ(CGD_ERR_INVALID, closeAMS(bb));
  EXPECT_EQ(sa, SlotOf(ba->diskInfo.kdev));

  // Tracked writes and failures on the slotless device leave (254, 0) alone.
  ASSERT_EQ(0, setMRF(bb, cgdAMRF));
  EXPECT_EQ(0, countQueueAMS(bd->queue()));
  std::vector<std::uint8_t> buf(kBlockSize, 0x5a);
  ASSERT_EQ(0, blk::rw_sectors(bb->diskInfo.kdev, 1, 8, buf.data(), buf.size()));
  EXPECT_TRUE(cgtest::MarkedBlocks(&sa->map).empty());
  errorAMSDEV(bb->diskInfo.kdev);
  EXPECT_EQ(1u, getStateOf(sa));
  errorAMS(bb);
  EXPECT_EQ(1u, getStateOf(sa));
  EXPECT_EQ(nullptr, NodeOf(bd->queue()));
  ASSERT_EQ(0, setMRF(bb, cgdAMRF));
  unsetQueueMRFAMS(bd->queue());
  EXPECT_EQ(1u, getStateOf(sa));
}

TEST_F(AutoMapTest, ASessionHoldsItsOwnBlockDeviceReference) {
  long before = BdevRefs();
  Backup* p1 = Part(1);
  EXPECT_EQ(before + 1, BdevRefs());  // the backup record's own
  AutoMapSession* s1 = Track(p1);
  ASSERT_NE(nullptr, s1);
  EXPECT_EQ(before + 2, BdevRefs());
  EXPECT_EQ(nullptr, s1->diskInfo.superBlock);  // the backup's, not the session's

  // The backup goes away first, as it does when the session outlives it.
  ASSERT_EQ(0, setMRF(p1, cgdAMRF));
  closeDiskInfo(&p1->diskInfo);
  EXPECT_EQ(before + 1, BdevRefs());
  ASSERT_EQ(0, WriteBlocks(1, 100, 2));
  EXPECT_EQ((std::vector<std::uint32_t>{100, 101}), cgtest::MarkedBlocks(&s1->map));

  // Closing finds the queue through the session's own handle.
  closeAllAMS();
  EXPECT_EQ(realFn_, q_->make_request_fn);
  EXPECT_EQ(0u, RegistrySize());
  EXPECT_EQ(before, BdevRefs());
}

}  // namespace
