// Shared set-up of the transfer-window and block-read cases: a RAM disk with
// one mounted partition of 1024 blocks, every block after the file system's
// header stamped with its number and a generation, the control device opened
// through the syscalls (so windows are real mappings of this process that
// share the module's pages), and a backup session on the partition started
// by the module's own start and snapshotted the way the snapshot does it.
#pragma once
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin/block.h"
#include "standin/fault.h"
#include "standin/task.h"
#include "standin/user.h"
#include "support/kernel_test.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace cgread {

namespace blk = standin::block;
namespace user = standin::user;

constexpr std::uint64_t kPartStart = 64;
constexpr std::uint32_t kBlocks = 1024;

// The record the last open of the control device made.
inline Backup* g_opened = nullptr;
inline int captureOpen(struct inode* inode, struct file* file) {
  int ret = cgdOpen(inode, file);
  if (ret == 0) g_opened = static_cast<Backup*>(file->private_data);
  return ret;
}

// Spins (yielding) until pred holds; the suite's time limit catches a hang.
template <class Pred>
void WaitUntil(Pred pred) {
  while (!pred()) sched_yield();
}

class ReadTest : public KernelTest {
 protected:
  virtual std::uint32_t BlockSize() const { return 1024; }

  void SetUp() override {
    KernelTest::SetUp();
    bs_ = BlockSize();
    std::uint64_t sectors = std::uint64_t(kBlocks) * bs_ / 512;
    disk_ = blk::Disk::ram(kPartStart + sectors + 64);
    ASSERT_NE(nullptr, disk_);
    ASSERT_TRUE(blk::write_mbr(*disk_, {{.start = kPartStart, .sectors = sectors}}));
    ASSERT_EQ(0, disk_->rescan());
    p1_ = disk_->part_dev(1);
    ASSERT_TRUE(blk::format_testfs(p1_, bs_));
    ASSERT_EQ(0, blk::mount(p1_));
    for (std::uint32_t bn = FirstStamped(); bn < kBlocks; ++bn)
      ASSERT_TRUE(PutBlock(bn, Stamp(bn, 0)));
    q_ = disk_->queue();
    real_ = LoadOnce(q_->make_request_fn);
    ASSERT_EQ(0, cgdInit());
    savedOpen_ = cgdFileOps.open;
    cgdFileOps.open = captureOpen;
    fd_ = user::open(CGD_DEVICE_NODE, O_RDWR);
    ASSERT_GE(fd_, 0);
    b_ = g_opened;
    ASSERT_NE(nullptr, b_);
    Remark();
  }

  void TearDown() override {
    standin::fault::clear_all();
    disk_->hold(false);
    disk_->clear_faults();
    user::munmap_all();
    if (b_) DropWantedMap();
    if (fd_ >= 0) {
      EXPECT_EQ(0, user::close(fd_));
    }
    cgdFileOps.open = savedOpen_;
    cgdExit();
    EXPECT_TRUE(standin::task::wait_kernel_threads(10000));
    EXPECT_EQ(real_, LoadOnce(q_->make_request_fn));
    EXPECT_EQ(nullptr, ActiveSession());
    if (blk::mounted(p1_)) {
      EXPECT_EQ(0, blk::umount(p1_));
    }
    disk_.reset();
    ExpectNoLeaks();
    KernelTest::TearDown();
  }

  // The first block after the file system's header (which ends inside byte 2048).
  std::uint32_t FirstStamped() const { return std::max<std::uint32_t>(1, 2048 / bs_); }

  // The stamp of block bn in generation gen: every 32-bit word holds both.
  std::vector<std::uint8_t> Stamp(std::uint32_t bn, std::uint32_t gen) const {
    std::vector<std::uint8_t> buf(bs_);
    std::uint32_t word = (gen << 16) | bn;
    for (std::size_t i = 0; i < buf.size(); i += 4) std::memcpy(&buf[i], &word, 4);
    return buf;
  }

  // Block bn of the partition, straight from storage.
  std::vector<std::uint8_t> GetBlock(std::uint32_t bn) const {
    std::vector<std::uint8_t> buf(bs_);
    EXPECT_TRUE(disk_->read_bytes(kPartStart * 512 + std::uint64_t(bn) * bs_, buf.data(), bs_));
    return buf;
  }
  bool PutBlock(std::uint32_t bn, const std::vector<std::uint8_t>& d) {
    return disk_->write_bytes(kPartStart * 512 + std::uint64_t(bn) * bs_, d.data(), d.size());
  }
  // The first whole-disk sector of block bn.
  std::uint64_t Sector(std::uint32_t bn) const { return kPartStart + std::uint64_t(bn) * bs_ / 512; }

  // Writes one block through the block layer (and so through the hook) and waits.
  int Write(std::uint32_t bn, const std::vector<std::uint8_t>& d) const {
    std::vector<std::uint8_t> buf = d;
    return blk::rw_sectors(p1_, 1, std::uint64_t(bn) * bs_ / 512, buf.data(), buf.size());
  }

  // Starts the session with the module's own start (state 2), then (snap)
  // takes it to state 4 the way the snapshot does.
  void Start(bool snap = true) {
    ASSERT_EQ(0, StartOnOwnTask(b_, p1_, kBlocks, kBlocks));
    if (snap) Snap();
    Remark();
  }
  void Snap() {
    down(&b_->bSem);
    ASSERT_EQ(0, setMRF(b_, cgdMRF));
    down_write(&b_->writers);
    setStateOf(b_, u32(CGD_STATE_SNAPPED));
    up_write(&b_->writers);
    up(&b_->bSem);
  }
  // Loads a wanted-block map (every block of wanted) and enters state 6,
  // dropping preserved blocks that are not wanted, as the map load does.
  void LoadWanted(const std::vector<std::uint32_t>& wanted) {
    u32 pages = 0;
    down(&b_->bSem);
    ASSERT_EQ(0, newBlockMap(&b_->blockMap, kBlocks, nullptr, 1, &pages));
    for (std::uint32_t bn : wanted) ASSERT_EQ(0, setBlock(&b_->blockMap, bn));
    down_write(&b_->writers);
    setStateOf(b_, u32(CGD_STATE_READING));
    up_write(&b_->writers);
    ASSERT_EQ(0, cleanUpCache(b_));
    up(&b_->bSem);
  }
  void LoadAllWanted() {
    std::vector<std::uint32_t> all(kBlocks);
    for (std::uint32_t bn = 0; bn < kBlocks; ++bn) all[bn] = bn;
    LoadWanted(all);
  }
  // The close does not free the wanted map yet: the case gives it back,
  // first leaving state 6 so that nothing consults it any more.
  void DropWantedMap() {
    if (!b_->blockMap.map) return;
    u32 pages = 0;
    down(&b_->bSem);
    down_write(&b_->writers);
    if (getStateOf(b_) == CGD_STATE_READING) setStateOf(b_, u32(CGD_STATE_SNAPPED));
    up_write(&b_->writers);
    closeBlockMap(&b_->blockMap, &pages);
    up(&b_->bSem);
  }

  // A read-only private window of pages pages; nullptr when refused.
  char* Map(int pages, int prot = PROT_READ, int flags = MAP_PRIVATE, off_t off = 0) {
    void* p = user::mmap(nullptr, std::size_t(pages) * 4096, prot, flags, fd_, off);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
  }
  // The read-blocks command through the control device.
  int Read(std::uint32_t start, std::uint32_t n, const void* window) const {
    struct ReadBlocks rb = {start, n, const_cast<void*>(window)};
    return user::ioctl(fd_, CGD_READ_BLOCKS, reinterpret_cast<unsigned long>(&rb));
  }
  // Block i of the last command, as the agent sees it in the window.
  std::vector<std::uint8_t> InWindow(const char* window, std::uint32_t i) const {
    const char* at = window + std::size_t(i) * bs_;
    return std::vector<std::uint8_t>(at, at + bs_);
  }
  // Blocks the store holds now.
  int Stored() const { return atomic_read(&b_->curAllocCPs); }

  std::uint32_t bs_ = 0;
  std::unique_ptr<blk::Disk> disk_;
  blk::devnum p1_ = 0;
  request_queue_t* q_ = nullptr;
  make_request_fn* real_ = nullptr;
  int (*savedOpen_)(struct inode*, struct file*) = nullptr;
  int fd_ = -1;
  Backup* b_ = nullptr;
};

class ReadTest4K : public ReadTest {
 protected:
  std::uint32_t BlockSize() const override { return 4096; }
};

}  // namespace cgread
