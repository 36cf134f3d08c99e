// Transfer windows: which mappings become windows, their size limits and
// slots, the faults that hand their pages to the agent, and the freeing of
// their pages when they are unmapped or the session closes.
#include <errno.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "functions/read_fixture.h"

namespace {

using namespace cgread;
using Lines = std::vector<std::string>;

const char kBadAddress[] = "<4>cgdVMnopage: Bad vm address";

TEST_F(ReadTest, MappingsBeforeAStartedBackupAreRefused) {
  EXPECT_EQ(nullptr, Map(1));
  EXPECT_EQ(EINVAL, errno);
  Start(false);
  int total = atomic_read(&b_->totalAllocPages);
  setStateOf(b_, u32(CGD_STATE_STARTING));
  EXPECT_EQ(nullptr, Map(1));
  EXPECT_EQ(0u, user::mappings());
  EXPECT_EQ(total, atomic_read(&b_->totalAllocPages));
  setStateOf(b_, u32(CGD_STATE_STARTED));
  // From the start on (before the snapshot) a window may be mapped.
  char* w = Map(1);
  ASSERT_NE(nullptr, w);
  EXPECT_EQ(w, reinterpret_cast<char*>(b_->vmAreas[0].vma->vm_start));
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(ReadTest, SharedWritableOffsetAndUnreadableMappingsAreRefused) {
  Start();
  int pages = atomic_read(&b_->curAllocPages);
  EXPECT_EQ(nullptr, Map(1, PROT_READ, MAP_SHARED));  // the device is open read-write
  EXPECT_EQ(nullptr, Map(1, PROT_READ | PROT_WRITE));
  EXPECT_EQ(nullptr, Map(1, PROT_NONE));
  EXPECT_EQ(nullptr, Map(1, PROT_READ, MAP_PRIVATE, 4096));
  EXPECT_EQ(0u, user::mappings());
  EXPECT_EQ(pages, atomic_read(&b_->curAllocPages));
  for (const BackupVMA& s : b_->vmAreas) {
    EXPECT_EQ(nullptr, s.vma);
    EXPECT_EQ(0, s.vmPages);
  }
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(ReadTest, TwoWindowsAtMostAndAnUnmappedSlotIsTakenNext) {
  Start();
  int base = atomic_read(&b_->curAllocPages);
  char* w0 = Map(3);
  char* w1 = Map(5);
  ASSERT_NE(nullptr, w0);
  ASSERT_NE(nullptr, w1);
  EXPECT_EQ(nullptr, Map(1));
  EXPECT_EQ(base + 8, atomic_read(&b_->curAllocPages));
  EXPECT_EQ(3, b_->vmAreas[0].vmPages);
  EXPECT_EQ(5, b_->vmAreas[1].vmPages);

  ASSERT_EQ(0, user::munmap(w0, 3 * 4096));
  EXPECT_EQ(nullptr, b_->vmAreas[0].vma);
  EXPECT_EQ(0, b_->vmAreas[0].vmPages);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(nullptr, b_->vmAreas[0].mmPages[i]);
  EXPECT_EQ(base + 5, atomic_read(&b_->curAllocPages));
  EXPECT_EQ(base + 8, atomic_read(&b_->totalAllocPages));

  char* w2 = Map(2);
  ASSERT_NE(nullptr, w2);
  ASSERT_NE(nullptr, b_->vmAreas[0].vma);
  EXPECT_EQ(reinterpret_cast<unsigned long>(w2), b_->vmAreas[0].vma->vm_start);
  EXPECT_EQ(2, b_->vmAreas[0].vmPages);
  EXPECT_EQ(reinterpret_cast<unsigned long>(w1), b_->vmAreas[1].vma->vm_start);
  EXPECT_EQ(base + 7, atomic_read(&b_->curAllocPages));
}

TEST_F(ReadTest, OneKilobyteBlocksGiveSixtyFourPageWindows) {
  Start();
  EXPECT_EQ(64, b_->maxVMPages);
  EXPECT_EQ(nullptr, Map(65));
  char* w = Map(64);
  ASSERT_NE(nullptr, w);
  EXPECT_EQ(64, b_->vmAreas[0].vmPages);
  // 256 blocks fill it: the last one lands at the end of page 63.
  ASSERT_EQ(0, Read(kBlocks - 256, 256, w));
  EXPECT_EQ(GetBlock(kBlocks - 1), InWindow(w, 255));
  EXPECT_EQ(CGD_ERR_INVALID, Read(0, 257, w));
}

TEST_F(ReadTest4K, FourKilobyteBlocksGiveTwoHundredFiftySixPageWindows) {
  Start();
  EXPECT_EQ(256, b_->maxVMPages);
  EXPECT_EQ(nullptr, Map(257));
  char* w = Map(256);
  ASSERT_NE(nullptr, w);
  EXPECT_EQ(256, b_->vmAreas[0].vmPages);
  // All 256 reads of one command are in flight together.
  disk_->hold(true);
  std::thread reader([&] { EXPECT_EQ(0, Read(500, 256, w)); });
  WaitUntil([&] { return disk_->in_flight() == 256; });
  disk_->hold(false);
  reader.join();
  for (std::uint32_t i = 0; i < 256; ++i) ASSERT_EQ(GetBlock(500 + i), InWindow(w, i)) << i;
}

TEST_F(ReadTest, FaultsHandOutTheWindowsOwnPagesAndRefuseWhatLiesBeyond) {
  Start();
  char* w = Map(3);
  ASSERT_NE(nullptr, w);
  BackupVMA* s = &b_->vmAreas[0];
  struct vm_area_struct* vma = s->vma;

  // The last page: the module's page, shared with the agent (zero copy both ways).
  int before = page_count(s->mmPages[2]);
  EXPECT_EQ(0, user::fault(w + 2 * 4096));
  EXPECT_EQ(before, page_count(s->mmPages[2]));  // the old mapping's reference was dropped
  std::memset(page_address(s->mmPages[2]), 0x5a, 4096);
  EXPECT_EQ(0x5a, static_cast<unsigned char>(w[2 * 4096 + 4095]));
  int unused = -7;
  struct page* p = cgdVMnopage(vma, vma->vm_start + 2 * 4096 + 17, &unused);
  EXPECT_EQ(s->mmPages[2], p);
  EXPECT_EQ(-7, unused);
  put_page(p);
  EXPECT_EQ(Lines{}, NewLog());

  // One page past the window.
  EXPECT_EQ(nullptr, cgdVMnopage(vma, vma->vm_start + 3 * 4096, &unused));
  EXPECT_EQ(nullptr, cgdVMnopage(vma, vma->vm_start - 4096, &unused));
  EXPECT_EQ((Lines{kBadAddress, kBadAddress}), NewLog());

  // A window smaller than the mapping it serves: the agent gets SIGBUS.
  Remark();
  down(&b_->bSem);
  s->vmPages = 2;
  up(&b_->bSem);
  EXPECT_EQ(SIGBUS, user::fault(w + 2 * 4096));
  EXPECT_EQ(Lines{kBadAddress}, NewLog());
  down(&b_->bSem);
  s->vmPages = 3;
  up(&b_->bSem);
  EXPECT_EQ(0, user::fault(w + 2 * 4096));
}

TEST_F(ReadTest, FaultsOnMappingsThatAreNotWindows) {
  Start();
  int unused = 0;
  struct file other = {};
  other.private_data = b_;

  // No file: nothing to serve.
  struct vm_area_struct bare = {};
  bare.vm_start = 0x100000;
  bare.vm_end = 0x104000;
  EXPECT_EQ(nullptr, cgdVMnopage(&bare, bare.vm_start, &unused));
  // A mapping of the device that is no window while slot 0 is free.
  struct vm_area_struct copy = bare;
  copy.vm_file = &other;
  EXPECT_EQ(nullptr, cgdVMnopage(&copy, copy.vm_start, &unused));
  EXPECT_EQ((Lines{"<4>cgdVMnopage: vma does not have associated backup",
                   "<3>cgdVMnopage: vma is not found in associated backup"}),
            NewLog());

  // With window 0 (2 pages) and window 1 (4 pages), a copy of window 1's
  // mapping (as a fork makes) is served from window 0, as far as it reaches.
  char* w0 = Map(2);
  char* w1 = Map(4);
  ASSERT_NE(nullptr, w0);
  ASSERT_NE(nullptr, w1);
  Remark();
  copy = *b_->vmAreas[1].vma;
  EXPECT_EQ(reinterpret_cast<unsigned long>(w1), copy.vm_start);
  for (int i = 0; i < 2; ++i) {
    struct page* p = cgdVMnopage(&copy, copy.vm_start + i * 4096, &unused);
    EXPECT_EQ(b_->vmAreas[0].mmPages[i], p);
    if (p) put_page(p);
  }
  EXPECT_EQ(nullptr, cgdVMnopage(&copy, copy.vm_start + 2 * 4096, &unused));
  EXPECT_EQ(Lines{kBadAddress}, NewLog());
  // Closing the copy frees no window.
  cgdVMclose(&copy);
  EXPECT_EQ(2, b_->vmAreas[0].vmPages);
  EXPECT_EQ(4, b_->vmAreas[1].vmPages);
}

TEST_F(ReadTest, WindowOutOfMemoryFreesTheAttemptAndLeavesTheSlotFree) {
  Start();
  int base = atomic_read(&b_->curAllocPages);
  standin::fault::set(standin::fault::Site::page_alloc, {.nth = 4});
  EXPECT_EQ(nullptr, Map(6));
  standin::fault::clear(standin::fault::Site::page_alloc);
  EXPECT_EQ(nullptr, b_->vmAreas[0].vma);
  EXPECT_EQ(0, b_->vmAreas[0].vmPages);
  EXPECT_EQ(base, atomic_read(&b_->curAllocPages));
  EXPECT_EQ(base + 3, atomic_read(&b_->totalAllocPages));
  EXPECT_EQ(Lines{}, NewLog());
  ASSERT_NE(nullptr, Map(6));
  EXPECT_EQ(6, b_->vmAreas[0].vmPages);
}

TEST_F(ReadTest, SessionCloseFreesWindowsAndReadSlots) {
  Start();
  // Windows that the agent's mappings no longer hold (the mappings keep
  // the file open, so a close normally finds the slots empty).
  struct file f = {};
  f.private_data = b_;
  struct vm_area_struct a = {}, c = {};
  for (auto* v : {&a, &c}) {
    v->vm_start = 0x200000;
    v->vm_end = 0x200000 + 4 * 4096;
    v->vm_flags = VM_READ | VM_MAYREAD;
    v->vm_file = &f;
  }
  ASSERT_EQ(CGD_OK, cgdMMAP(&f, &a));
  ASSERT_EQ(CGD_OK, cgdMMAP(&f, &c));
  EXPECT_EQ(&cgdVMOps, a.vm_ops);
  EXPECT_EQ(4, b_->vmAreas[0].vmPages);
  EXPECT_EQ(4, b_->vmAreas[1].vmPages);
  ASSERT_EQ(0, user::close(fd_));
  fd_ = -1;
  b_ = nullptr;
  // The leak check of the tear-down covers the pages and the slot array.
}

}  // namespace
