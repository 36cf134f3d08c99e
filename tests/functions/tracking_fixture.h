// Shared set-up of the registry, session-table and write-tracking cases: a
// RAM disk with three mounted partitions, hand-made backup records for them
// (geometry read with getDiskInfo, block count set as a started backup has
// it), and views of the registry and the session table.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "standin/block.h"
#include "support/kernel_test.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace cgtest {

namespace blk = standin::block;

// A backup record of one device, as a started backup has it: geometry and
// a referenced block device from getDiskInfo, numBlocks from the agent.
struct BackupDeleter {
  void operator()(Backup* b) const {
    closeDiskInfo(&b->diskInfo);
    delete b;
  }
};
using BackupPtr = std::unique_ptr<Backup, BackupDeleter>;

inline BackupPtr MakeBackup(blk::devnum dev, std::uint64_t numBlocks) {
  BackupPtr b(new Backup());
  EXPECT_EQ(0, getDiskInfo(&b->diskInfo, dev)) << "getDiskInfo " << std::hex << dev;
  b->diskInfo.numBlocks = numBlocks;
  return b;
}

// A hook that stands for the backup's copy-before-write hook: passes every
// bio on to the real function.
inline int passHook(request_queue_t* q, struct bio* bio) { return getRealMRF(q)(q, bio); }

// The registry's node of q, or nullptr; its devices in list order.
inline QueueList* NodeOf(request_queue_t* q) {
  QueueList* ql;
  list_for_each_entry(ql, &queueListHead, list) {
    if (ql->rQueue == q) return ql;
  }
  return nullptr;
}
inline std::vector<dev_t> DevsOf(request_queue_t* q) {
  std::vector<dev_t> devs;
  if (QueueList* ql = NodeOf(q)) {
    DevList* dl;
    list_for_each_entry(dl, &ql->devList, list) devs.push_back(dl->kdev);
  }
  return devs;
}
inline std::size_t RegistrySize() {
  std::size_t n = 0;
  for (list_head* p = queueListHead.next; p != &queueListHead; p = p->next) ++n;
  return n;
}

inline AutoMapSession* SlotOf(blk::devnum dev) { return amList[dev >> 20][dev & 0xfffff]; }

// Blocks set in a session's map, in order.
inline std::vector<std::uint32_t> MarkedBlocks(BlockMap* bm) {
  std::vector<std::uint32_t> set;
  for (std::uint32_t bn = 0; bn < bm->size; ++bn)
    if (blockInMap(bm, bn)) set.push_back(bn);
  return set;
}

// A disk of three partitions with the test file system mounted on each.
// Partition p (1..3) starts at sector 64 + (p - 1) * 2048 and has 2048
// sectors: 1024 blocks of 1024 bytes.
class TrackingTest : public KernelTest {
 protected:
  static constexpr std::uint64_t kPartStart = 64;
  static constexpr std::uint64_t kPartSectors = 2048;
  static constexpr std::uint32_t kBlockSize = 1024;
  static constexpr std::uint32_t kPartBlocks = kPartSectors * 512 / kBlockSize;

  void SetUp() override {
    KernelTest::SetUp();
    disk_ = MakeDisk(blk::DiskConfig{});
    ASSERT_TRUE(disk_);
    q_ = disk_->queue();
    realFn_ = q_->make_request_fn;
    Remark();  // the disk's own lines (partition scan)
  }

  void TearDown() override {
    closeAllAMS();
    // Devices a case left registered without a session.
    while (!list_empty(&queueListHead))
      unsetQueueMRFAMS(list_entry(queueListHead.next, QueueList, list)->rQueue);
    EXPECT_EQ(0, atomic_read(&curAllocAMPages));
    EXPECT_EQ(1, atomic_read(&queueListUsers));
    EXPECT_EQ(1, atomic_read(&amListUsers));
    backups_.clear();
    for (auto& d : extra_) Unmount(*d);
    extra_.clear();
    if (disk_) {
      EXPECT_EQ(realFn_, q_->make_request_fn);
      Unmount(*disk_);
      disk_.reset();
    }
    ExpectNoLeaks();
    KernelTest::TearDown();
  }

  static std::unique_ptr<blk::Disk> MakeDisk(const blk::DiskConfig& cfg, int parts = 3) {
    auto d = blk::Disk::ram(kPartStart + 3 * kPartSectors + 64, cfg);
    if (!d) return d;
    std::vector<blk::MbrEntry> mbr;
    for (int p = 0; p < parts; ++p) {
      blk::MbrEntry e;
      e.start = kPartStart + p * kPartSectors;
      e.sectors = kPartSectors;
      mbr.push_back(e);
    }
    EXPECT_TRUE(blk::write_mbr(*d, mbr));
    EXPECT_EQ(0, d->rescan());
    for (int p = 1; p <= parts; ++p) {
      EXPECT_TRUE(blk::format_testfs(d->part_dev(p), kBlockSize));
      EXPECT_EQ(0, blk::mount(d->part_dev(p)));
    }
    return d;
  }

  // A disk without partitions whose whole device carries the test file
  // system; kept until the test ends.
  blk::Disk* WholeDisk(blk::DiskConfig cfg) {
    cfg.minors = 1;
    auto d = blk::Disk::ram(kPartSectors, cfg);
    if (!d) return nullptr;
    EXPECT_TRUE(blk::format_testfs(d->dev(), kBlockSize));
    EXPECT_EQ(0, blk::mount(d->dev()));
    extra_.push_back(std::move(d));
    Remark();
    return extra_.back().get();
  }
  // A record for a whole disk made by WholeDisk.
  Backup* Whole(blk::Disk* d, std::uint64_t numBlocks = kPartBlocks) {
    backups_.push_back(MakeBackup(d->dev(), numBlocks));
    return backups_.back().get();
  }

  static void Unmount(blk::Disk& d) {
    if (blk::mounted(d.dev())) blk::umount(d.dev());
    for (const auto& p : d.partitions())
      if (blk::mounted(d.part_dev(p.number))) blk::umount(d.part_dev(p.number));
  }

  // A record for partition p of the disk, kept until the test ends.
  Backup* Part(int p, std::uint64_t numBlocks = kPartBlocks, blk::Disk* d = nullptr) {
    backups_.push_back(MakeBackup((d ? d : disk_.get())->part_dev(p), numBlocks));
    return backups_.back().get();
  }

  // A session on the record's device, in sync as the snapshot leaves it.
  AutoMapSession* Track(Backup* b) {
    AutoMapSession* ams = nullptr;
    EXPECT_EQ(CGD_OK, newAMS(b, &ams));
    if (ams) setStateOf(ams, (u32)CGD_AUTOMAP_IN_SYNC);
    return ams;
  }

  // Writes `blocks` file-system blocks at block bn of partition p through
  // the block layer and waits for them.
  int WriteBlocks(int p, std::uint32_t bn, std::uint32_t blocks, blk::Disk* d = nullptr) {
    std::vector<std::uint8_t> buf(blocks * kBlockSize, static_cast<std::uint8_t>(0xA0 + bn));
    return blk::rw_sectors((d ? d : disk_.get())->part_dev(p), 1, std::uint64_t(bn) * 2,
                           buf.data(), buf.size());
  }
  int ReadBlocks(int p, std::uint32_t bn, std::uint32_t blocks) {
    std::vector<std::uint8_t> buf(blocks * kBlockSize);
    return blk::rw_sectors(disk_->part_dev(p), 0, std::uint64_t(bn) * 2, buf.data(),
                           buf.size());
  }

  std::unique_ptr<blk::Disk> disk_;
  std::vector<std::unique_ptr<blk::Disk>> extra_;
  request_queue_t* q_ = nullptr;
  make_request_fn* realFn_ = nullptr;
  std::vector<BackupPtr> backups_;
};

}  // namespace cgtest
