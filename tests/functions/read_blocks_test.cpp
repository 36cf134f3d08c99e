// The read-blocks command: the checks that refuse a run, where blocks land
// in the window, which blocks come from the disk and which from the store,
// what leaves the wanted map, failed disk reads, a block missing from the
// store, and allocations that are retried.
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "functions/read_fixture.h"

namespace {

using namespace cgread;
using Lines = std::vector<std::string>;

const char kIOError[] =
    "<4>ioctlReadBlocks: Received an IO error while reading sectors for backup.  Some sectors "
    "could not be read";

std::vector<std::uint8_t> Zeros(std::uint32_t n) { return std::vector<std::uint8_t>(n, 0); }

class ReadChecks : public ReadTest {
 protected:
  // Expects a refused command: status 2, exactly the line, nothing read.
  void Refused(std::uint32_t start, std::uint32_t n, const void* w, const std::string& line) {
    Remark();
    disk_->reset_counters();
    int submitted = atomic_read(&b_->totalReadBlocks);
    EXPECT_EQ(CGD_ERR_INVALID, Read(start, n, w)) << line;
    EXPECT_EQ(Lines{line}, NewLog());
    EXPECT_EQ(0, disk_->counters().reads);
    EXPECT_EQ(submitted, atomic_read(&b_->totalReadBlocks));
  }
};

TEST_F(ReadChecks, RunsAreCheckedInOrderBeforeAnythingIsRead) {
  char* w = nullptr;
  Start(false);
  w = Map(2);
  ASSERT_NE(nullptr, w);
  Refused(0, 1, w, "<3>ioctlReadBlocks: state (2) not valid");
  Snap();
  Refused(0xfffffff0u, 0x20, w, "<3>ioctlReadBlocks: invalid block read range (4294967280-16)");
  Refused(kBlocks - 1, 2, w,
          "<3>ioctlReadBlocks: block num (1025) out of range (1024)");
  Refused(0, 1, w + 4096, "<3>ioctlReadBlocks: invalid data pointer");
  Refused(0, 1, nullptr, "<3>ioctlReadBlocks: invalid data pointer");
  Refused(0, 9, w,
          "<3>ioctlReadBlocks: tried to read (9) number of blocks size (1024) and mmap region can "
          "hold (8192) bytes");

  // In state 6 the wanted map bounds the run first.
  LoadAllWanted();
  Remark();
  EXPECT_EQ(0, Read(kBlocks - 8, 8, w));  // ends exactly at the map's size
  Refused(kBlocks - 7, 8, w, "<3>ioctlReadBlocks: end block number out of block map range");
  u32 pages = 0;
  closeBlockMap(&b_->blockMap, &pages);
  Refused(0, 1, w, "<3>ioctlReadBlocks: block map is null");
}

TEST_F(ReadChecks, AnEmptyRunReadsNothingAndACacheMapIsRequired) {
  Start();
  char* w = Map(2);
  ASSERT_NE(nullptr, w);
  EXPECT_EQ(0, Read(kBlocks - 8, 8, w));  // ends exactly at the cache map's size
  disk_->reset_counters();
  Remark();
  EXPECT_EQ(0, Read(5, 0, w));
  EXPECT_EQ(0, disk_->counters().reads);
  EXPECT_EQ(0, atomic_read(&b_->totalAllocBRs) - 8);
  EXPECT_EQ(Lines{}, NewLog());
  closeCacheMap(b_);
  Refused(0, 1, w, "<3>ioctlReadBlocks: cache map is null");
}

TEST_F(ReadTest, BlocksLandInPageOrderAndTheAgentSeesThemAtItsOwnAddress) {
  Start();
  char* w = Map(4);
  ASSERT_NE(nullptr, w);
  ASSERT_EQ(4u, b_->diskInfo.blocksPerPage);
  ASSERT_EQ(0, Read(100, 16, w));
  // Index 5 is in page 1 at offset 1024, both for the module and the agent.
  unsigned char* k = static_cast<unsigned char*>(page_address(b_->vmAreas[0].mmPages[1]));
  EXPECT_EQ(k + 1024, mmPageAddr(b_, 5, &b_->vmAreas[0]));
  EXPECT_EQ(Stamp(105, 0), std::vector<std::uint8_t>(k + 1024, k + 2048));
  EXPECT_EQ(0, std::memcmp(k + 1024, w + 4096 + 1024, 1024));
  for (std::uint32_t i = 0; i < 16; ++i) EXPECT_EQ(GetBlock(100 + i), InWindow(w, i)) << i;
  EXPECT_EQ(16, atomic_read(&b_->totalReadBlocks));
  EXPECT_EQ(16, atomic_read(&b_->totalAllocBRs));
  EXPECT_EQ(0, atomic_read(&b_->curAllocBRs));
  for (std::uint32_t i = 0; i < 16; ++i) EXPECT_EQ(nullptr, b_->mmBIORequests[i]);
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(ReadTest, StoredBlocksComeFromTheStoreAndLeaveItInStateSixOnly) {
  Start();
  char* w = Map(1);
  ASSERT_NE(nullptr, w);
  // Blocks 201 and 202 are overwritten after the snapshot: their old
  // contents go to the store, the disk holds the new ones.
  ASSERT_EQ(0, Write(201, Stamp(201, 1)));
  ASSERT_EQ(0, Write(202, Stamp(202, 1)));
  WaitUntil([&] { return atomic_read(&b_->mrInQueue) == 0; });  // both marked in the cache map
  ASSERT_EQ(2, Stored());

  // State 4: the copies are read, and stay.
  disk_->reset_counters();
  ASSERT_EQ(0, Read(200, 4, w));
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Stamp(200 + i, 0), InWindow(w, i)) << i;
  EXPECT_EQ(2, disk_->counters().reads);
  EXPECT_EQ(2, atomic_read(&b_->totalReadCBs));
  EXPECT_EQ(2, Stored());

  // State 6: 2 disk reads, 2 store copies, all 4 leave the wanted map and
  // the copies are freed.
  LoadAllWanted();
  std::memset(page_address(b_->vmAreas[0].mmPages[0]), 0xee, 4096);
  disk_->reset_counters();
  ASSERT_EQ(0, Read(200, 4, w));
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Stamp(200 + i, 0), InWindow(w, i)) << i;
  EXPECT_EQ(2, disk_->counters().reads);
  EXPECT_EQ(4, atomic_read(&b_->totalReadBlocks));
  EXPECT_EQ(4, atomic_read(&b_->totalReadCBs));
  EXPECT_EQ(0, Stored());
  for (std::uint32_t bn = 200; bn < 204; ++bn) {
    EXPECT_FALSE(blockInMap(&b_->blockMap, bn)) << bn;
    EXPECT_FALSE(blockInMap(&b_->cacheMap, bn)) << bn;
  }
  EXPECT_TRUE(blockInMap(&b_->blockMap, 199));
  EXPECT_TRUE(blockInMap(&b_->blockMap, 204));

  // Read again, the blocks come from the disk: their copies are gone.
  ASSERT_EQ(0, Read(200, 4, w));
  EXPECT_EQ(Stamp(201, 1), InWindow(w, 1));
  // Not wanted any more, a write to them is not held for a capture.
  ASSERT_EQ(0, Write(203, Stamp(203, 2)));
  EXPECT_EQ(0, Stored());
  EXPECT_EQ(Lines{}, NewLog());
}

TEST_F(ReadTest, AFailingDiskReadGivesZerosAndAnIOErrorAfterTheWholeRun) {
  Start();
  LoadAllWanted();
  char* w = Map(2);
  ASSERT_NE(nullptr, w);
  // The window holds other data first, so the zeros are the command's.
  std::memset(page_address(b_->vmAreas[0].mmPages[0]), 0xa5, 4096);
  disk_->add_fault({.first_sector = Sector(303), .sectors = 2, .reads = true, .writes = false});
  EXPECT_EQ(CGD_ERR_IO, Read(300, 8, w));
  for (std::uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(i == 3 ? Zeros(bs_) : Stamp(300 + i, 0), InWindow(w, i)) << i;
    EXPECT_FALSE(blockInMap(&b_->blockMap, 300 + i)) << i;
  }
  Lines log = NewLog();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(0u, log[0].find("<4>cgdBHEndIO: buffer_head I/O error bh="));
  EXPECT_NE(std::string::npos, log[0].find(", major=8, minor=1, block=303"));
  EXPECT_EQ(kIOError, log[1]);
  EXPECT_EQ(0, atomic_read(&b_->curAllocBRs));
  EXPECT_EQ(8, atomic_read(&b_->totalReadBlocks));
  for (std::uint32_t i = 0; i < 8; ++i) EXPECT_EQ(nullptr, b_->mmBIORequests[i]);
  EXPECT_EQ(u32(CGD_STATE_READING), getStateOf(b_));
}

TEST_F(ReadTest, ABlockMissingFromTheStoreRefusesTheRunAndKeepsItsWantedBits) {
  Start();
  LoadAllWanted();
  char* w = Map(1);
  ASSERT_NE(nullptr, w);
  // Marked as preserved, but the store has no copy.
  ASSERT_EQ(0, setBlock(&b_->cacheMap, 402));
  EXPECT_EQ(CGD_ERR_INVALID, Read(400, 4, w));
  EXPECT_EQ((Lines{"<4>readFromCache: expected to read block number (402) from cache and block "
                   "not found in cache",
                   "<3>ioctlReadBlocks: read (3) blocks from disk and (0) blocks from cache and "
                   "expected to read (4) blocks"}),
            NewLog());
  // The disk reads were awaited and freed, and nothing left the wanted map.
  EXPECT_EQ(3, atomic_read(&b_->totalReadBlocks));
  EXPECT_EQ(0, atomic_read(&b_->curAllocBRs));
  EXPECT_EQ(0L, disk_->in_flight());
  for (std::uint32_t bn = 400; bn < 404; ++bn) EXPECT_TRUE(blockInMap(&b_->blockMap, bn)) << bn;
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(nullptr, b_->mmBIORequests[i]);
}

TEST_F(ReadTest, ReadRecordsBufferHeadsAndBiosAreRetriedUntilGiven) {
  namespace fault = standin::fault;
  Start();
  LoadAllWanted();
  char* w = Map(2);
  ASSERT_NE(nullptr, w);
  fault::set(fault::Site::kmalloc, {.interval = 2, .times = 3});
  fault::set(fault::Site::bh_alloc, {.interval = 3, .times = 2});
  fault::set(fault::Site::bio_alloc, {.nth = 5});
  EXPECT_EQ(0, Read(600, 8, w));
  EXPECT_EQ(3, fault::failures(fault::Site::kmalloc));
  EXPECT_EQ(2, fault::failures(fault::Site::bh_alloc));
  EXPECT_EQ(1, fault::failures(fault::Site::bio_alloc));
  fault::clear_all();
  for (std::uint32_t i = 0; i < 8; ++i) EXPECT_EQ(Stamp(600 + i, 0), InWindow(w, i)) << i;
  EXPECT_EQ(8, atomic_read(&b_->totalAllocBRs));
  EXPECT_EQ(0, atomic_read(&b_->curAllocBRs));
  EXPECT_EQ(Lines{}, NewLog());
}

}  // namespace
