// White-box tests of the preserved-block store: bucket lists, capture and
// consumption, the record limit, the clean-up at map load, teardown of whole
// and partly built stores, failures of the object caches, and a capture
// running beside reads and clean-up of other buckets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/kernel_test.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace {

using standin::fault::Attr;
using standin::fault::Site;
using standin::mem::Kind;

constexpr int kBlockSize = 1024;
constexpr u32 kNumBlocks = 3 * CGD_BLOCK_TABLE_SIZE + 100;

// The bytes a block held at the snapshot: its number, then a running pattern.
std::vector<unsigned char> OldContents(u32 n) {
  std::vector<unsigned char> v(kBlockSize);
  for (int i = 0; i < kBlockSize; i++) v[i] = static_cast<unsigned char>(n * 31 + i);
  std::memcpy(v.data(), &n, sizeof n);
  return v;
}

class StoreTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    b_ = static_cast<Backup*>(std::calloc(1, sizeof(Backup)));
    sema_init(&b_->bSem, 1);
    init_rwsem(&b_->writers);
    init_rwsem(&b_->cacheUsers);
    b_->diskInfo.kdev = MKDEV(8, 1);
    b_->diskInfo.blockSize = kBlockSize;
    b_->diskInfo.blocksPerPage = 4096 / kBlockSize;
    b_->diskInfo.numBlocks = kNumBlocks;
    b_->maxCacheBlocks = 100000;
    setStateOf(b_, CGD_STATE_STARTING);
  }
  void TearDown() override {
    standin::fault::clear_all();
    CloseStore();
    std::free(b_);
    KernelTest::TearDown();
  }

  void BuildStore() {
    ASSERT_EQ(CGD_OK, newBlockTable(b_));
    ASSERT_EQ(CGD_OK, newStoreCaches(b_));
    ASSERT_EQ(CGD_OK, newCacheMap(b_));
  }
  // What the session close does with the store, and the wanted map.
  void CloseStore() {
    closeCache(b_);
    closeCacheMap(b_);
    closeBlockTable(b_);
    u32 freed = 0;
    closeBlockMap(&b_->blockMap, &freed);
  }
  void SetState(u32 s) { setStateOf(b_, s); }

  // A capture as the cache thread makes it: saveBlock under cacheUsers, then
  // the block is marked captured.
  int Capture(u32 n) {
    auto data = OldContents(n);
    down_read(&b_->cacheUsers);
    int r = saveBlock(b_, data.data(), n);
    up_read(&b_->cacheUsers);
    if (r == 0) setBlock(&b_->cacheMap, n);
    return r;
  }
  // Loads a wanted-block map of exactly these blocks and enters state 6.
  void LoadWanted(const std::vector<u32>& wanted) {
    u32 pages = 0;
    ASSERT_EQ(CGD_OK, newBlockMap(&b_->blockMap, kNumBlocks, nullptr, 1, &pages));
    for (u32 n : wanted) ASSERT_EQ(0, setBlock(&b_->blockMap, n));
    SetState(CGD_STATE_READING);
  }
  std::vector<u32> Bucket(u32 i) const {
    std::vector<u32> v;
    for (CachePage* cp = b_->blockTable[i]->busy; cp; cp = cp->next) v.push_back(cp->blockNum);
    return v;
  }
  // Reads n from the store; checks the bytes when it was there.
  int Read(u32 n) {
    std::vector<unsigned char> out(kBlockSize, 0xee);
    int r = cacheRead(b_, out.data(), n);
    if (r == kBlockSize)
      EXPECT_EQ(OldContents(n), out) << "block " << n;
    else
      EXPECT_EQ(std::vector<unsigned char>(kBlockSize, 0xee), out) << "block " << n;
    return r;
  }
  bool Captured(u32 n) { return blockInMap(&b_->cacheMap, n) != 0; }
  bool Wanted(u32 n) { return blockInMap(&b_->blockMap, n) != 0; }
  int Cur() { return atomic_read(&b_->curCBs); }

  Backup* b_ = nullptr;
};

TEST_F(StoreTest, CacheNamesCarryMajorAndMinorInHex) {
  struct { dev_t kdev; const char* suffix; } cases[] = {
      {MKDEV(8, 1), "0801"}, {MKDEV(8, 300), "0812c"}, {MKDEV(253, 16), "fd10"}};
  for (const auto& c : cases) {
    b_->diskInfo.kdev = c.kdev;
    BuildStore();
    std::string s = c.suffix;
    EXPECT_EQ("cgdHT" + s, b_->htCacheName);
    EXPECT_EQ("cgdCP" + s, b_->cpCacheName);
    EXPECT_EQ("cgdDC" + s, b_->dataCacheName);
    EXPECT_EQ("cgdHT" + s, standin::mem::cache_name(b_->htCache));
    EXPECT_EQ("cgdCP" + s, standin::mem::cache_name(b_->cpCache));
    EXPECT_EQ("cgdDC" + s, standin::mem::cache_name(b_->dataCache));
    EXPECT_GE(kmem_cache_size(b_->dataCache), static_cast<unsigned>(kBlockSize));
    EXPECT_GE(kmem_cache_size(b_->htCache), sizeof(HashTable));
    CloseStore();
    EXPECT_EQ(nullptr, b_->htCache);
    EXPECT_EQ(nullptr, b_->cpCache);
    EXPECT_EQ(nullptr, b_->dataCache);
  }
  ExpectNoLeaks();
}

TEST_F(StoreTest, SharedBucketListsNewestFirstAndReadInStateSixConsumes) {
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  for (u32 n : {5u, 4101u, 8197u}) ASSERT_EQ(0, Capture(n));
  EXPECT_EQ((std::vector<u32>{8197, 4101, 5}), Bucket(5));

  LoadWanted({5, 4101, 8197});
  ASSERT_EQ(CGD_OK, cleanUpCache(b_));
  EXPECT_EQ(kBlockSize, Read(4101));
  EXPECT_EQ((std::vector<u32>{8197, 5}), Bucket(5));
  EXPECT_FALSE(Wanted(4101));
  EXPECT_FALSE(Captured(4101));
  EXPECT_TRUE(Captured(5) && Captured(8197) && Wanted(5) && Wanted(8197));
  EXPECT_EQ(2, Cur());

  // The second read finds nothing: the block reader goes to the disk then.
  EXPECT_EQ(0, Read(4101));
  EXPECT_EQ(kBlockSize, Read(8197));  // the head
  EXPECT_EQ((std::vector<u32>{5}), Bucket(5));
  EXPECT_EQ(kBlockSize, Read(5));
  EXPECT_TRUE(Bucket(5).empty());
  EXPECT_EQ(0, Cur());
  EXPECT_EQ(0, atomic_read(&b_->curAllocCPs));
  EXPECT_EQ(3, atomic_read(&b_->totalReadCBs));
  EXPECT_EQ(3, atomic_read(&b_->totalCBs));
}

TEST_F(StoreTest, ReadBeforeTheMapLoadKeepsTheCopyAndLaterStatesReadNothing) {
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  ASSERT_EQ(0, Capture(9));
  EXPECT_EQ(kBlockSize, Read(9));
  EXPECT_EQ(kBlockSize, Read(9));
  EXPECT_EQ((std::vector<u32>{9}), Bucket(9));
  EXPECT_TRUE(Captured(9));
  EXPECT_EQ(1, Cur());
  EXPECT_EQ(2, atomic_read(&b_->totalReadCBs));
  EXPECT_EQ(0, Read(10));

  for (u32 s : {CGD_STATE_CLOSING, CGD_STATE_CACHE_ERROR}) {
    SetState(s);
    EXPECT_EQ(0, Read(9)) << "state " << s;
  }
  EXPECT_EQ(1, Cur());
  EXPECT_EQ(2, atomic_read(&b_->totalReadCBs));
}

TEST_F(StoreTest, CaptureSkipsBlocksAlreadyHeldOrNotWanted) {
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  ASSERT_EQ(0, Capture(12));
  auto other = OldContents(99);
  EXPECT_EQ(0, saveBlock(b_, other.data(), 12));
  EXPECT_EQ((std::vector<u32>{12}), Bucket(12));
  EXPECT_EQ(kBlockSize, Read(12));  // still the first copy

  LoadWanted({12, 13});
  EXPECT_EQ(0, saveBlock(b_, other.data(), 14));
  EXPECT_TRUE(Bucket(14).empty());
  EXPECT_EQ(0, Capture(13));
  EXPECT_EQ((std::vector<u32>{13}), Bucket(13));
  EXPECT_EQ(2, atomic_read(&b_->totalCBs));
}

TEST_F(StoreTest, LimitReachedFailsTheCaptureWithStateTen) {
  b_->maxCacheBlocks = 2;
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  ASSERT_EQ(0, Capture(1));
  ASSERT_EQ(0, Capture(2));
  Remark();
  EXPECT_EQ(1, Capture(3));
  EXPECT_EQ((std::vector<std::string>{"<3>getCacheBlock: configured max cache memory reached "
                                      "(2 blocks) failed to allocate cache object"}),
            NewLog());
  EXPECT_EQ(CGD_STATE_CACHE_ERROR, getStateOf(b_));
  EXPECT_TRUE(Bucket(3).empty());
  EXPECT_FALSE(Captured(3));
  EXPECT_EQ(2, atomic_read(&b_->curAllocCPs));
  EXPECT_EQ(2, atomic_read(&b_->totalAllocCPs));
}

TEST_F(StoreTest, LimitZeroFailsTheFirstCaptureAndKeepsALaterFailureState) {
  b_->maxCacheBlocks = 0;
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  EXPECT_EQ(1, Capture(1));
  EXPECT_EQ(CGD_STATE_CACHE_ERROR, getStateOf(b_));

  // A session that already failed or is closing keeps its state.
  for (u32 s : {CGD_STATE_CLOSING, CGD_STATE_READ_ERROR, CGD_STATE_REFUSED}) {
    SetState(s);
    Remark();
    EXPECT_EQ(1, Capture(1));
    EXPECT_EQ(1u, NewLog().size());
    EXPECT_EQ(s, getStateOf(b_));
  }
  EXPECT_EQ(0, atomic_read(&b_->totalAllocCPs));
}

TEST_F(StoreTest, CountersFollowRecordsAndPeakKeepsTheHighest) {
  b_->maxCacheBlocks = 10;
  BuildStore();
  EXPECT_EQ(1, atomic_read(&b_->totalAllocPages));
  EXPECT_EQ(1, atomic_read(&b_->curAllocPages));
  SetState(CGD_STATE_SNAPPED);
  for (u32 n : {1u, 2u, 3u}) ASSERT_EQ(0, Capture(n));
  EXPECT_EQ(3, atomic_read(&b_->peakAllocCPs));
  LoadWanted({1, 2, 3, 4});
  EXPECT_EQ(kBlockSize, Read(1));
  EXPECT_EQ(kBlockSize, Read(2));
  ASSERT_EQ(0, Capture(4));
  EXPECT_EQ(2, atomic_read(&b_->curAllocCPs));
  EXPECT_EQ(2, atomic_read(&b_->curCBs));
  EXPECT_EQ(4, atomic_read(&b_->totalAllocCPs));
  EXPECT_EQ(4, atomic_read(&b_->totalCBs));
  EXPECT_EQ(3, atomic_read(&b_->peakAllocCPs));
  EXPECT_EQ(2, atomic_read(&b_->totalReadCBs));

  closeCache(b_);
  closeCacheMap(b_);
  EXPECT_EQ(0, atomic_read(&b_->curAllocCPs));
  EXPECT_EQ(0, atomic_read(&b_->curCBs));
  EXPECT_EQ(0, atomic_read(&b_->curAllocPages));
  EXPECT_EQ(1, atomic_read(&b_->totalAllocPages));
}

TEST_F(StoreTest, MapLoadCleanUpDropsOnlyUnwantedCopies) {
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  for (u32 n : {7u, 9u, 4103u, 8199u}) ASSERT_EQ(0, Capture(n));
  LoadWanted({7, 8199});
  EXPECT_EQ(CGD_OK, cleanUpCache(b_));
  // 4103 sat between two wanted copies of the same bucket.
  EXPECT_EQ((std::vector<u32>{8199, 7}), Bucket(7));
  EXPECT_TRUE(Bucket(9).empty());
  EXPECT_TRUE(Captured(7) && Captured(8199));
  EXPECT_FALSE(Captured(9));
  EXPECT_FALSE(Captured(4103));
  EXPECT_EQ(2, atomic_read(&b_->totalCleanedCBs));
  EXPECT_EQ(2, Cur());
  EXPECT_EQ(kBlockSize, Read(7));
}

TEST_F(StoreTest, CleanUpOutsideStateSixDoesNothing) {
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  ASSERT_EQ(0, Capture(7));
  ASSERT_EQ(0, Capture(9));
  LoadWanted({7});
  struct { u32 state; int result; } cases[] = {{CGD_STATE_SNAPPED, CGD_ERR_UNAVAILABLE},
                                               {CGD_STATE_LOADING_MAP, CGD_ERR_UNAVAILABLE},
                                               {CGD_STATE_CLOSING, CGD_OK},
                                               {CGD_STATE_READ_ERROR, CGD_OK}};
  for (const auto& c : cases) {
    SetState(c.state);
    EXPECT_EQ(c.result, cleanUpCache(b_)) << "state " << c.state;
  }
  EXPECT_EQ((std::vector<u32>{9}), Bucket(9));
  EXPECT_EQ(2, Cur());
  EXPECT_EQ(0, atomic_read(&b_->totalCleanedCBs));
}

TEST_F(StoreTest, CloseFreesEveryCopyAndTheCaches) {
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  int stored = 0;
  for (u32 n = 0; n < kNumBlocks; n += 37, stored++) ASSERT_EQ(0, Capture(n));
  EXPECT_EQ(CGD_BLOCK_TABLE_SIZE + 2 * stored,
            standin::mem::usage().live(Kind::slab_object) - before_.live(Kind::slab_object));
  CloseStore();
  EXPECT_EQ(0, Cur());
  EXPECT_EQ(nullptr, b_->blockTable);
  EXPECT_EQ(nullptr, b_->cacheMap.map);
  CloseStore();  // a second close finds nothing to free
  ExpectNoLeaks();
}

TEST_F(StoreTest, CloseOfAStoreWithOnlySomeBucketsFreesExactlyThose) {
  auto before = standin::mem::usage();
  standin::fault::set(Site::slab_alloc, Attr{.nth = 100, .name_prefix = "cgdHT"});
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newBlockTable(b_));
  EXPECT_TRUE(NewLog().empty());
  standin::fault::clear_all();
  int made = 0;
  for (int i = 0; i < CGD_BLOCK_TABLE_SIZE; i++) made += b_->blockTable[i] != nullptr;
  EXPECT_EQ(99, made);
  EXPECT_EQ(nullptr, b_->blockTable[99]);
  auto now = standin::mem::usage();
  EXPECT_EQ(99, now.live(Kind::slab_object) - before.live(Kind::slab_object));
  EXPECT_EQ(1, now.live(Kind::slab_cache) - before.live(Kind::slab_cache));

  // Readers of a store that was never finished find nothing.
  std::vector<unsigned char> out(kBlockSize);
  EXPECT_EQ(0, cacheRead(b_, out.data(), 5));
  EXPECT_EQ(0, cacheRead(b_, out.data(), 200));
  closeCache(b_);  // no record cache: nothing to do
  EXPECT_TRUE(NewLog().empty());
  EXPECT_NE(nullptr, b_->blockTable);
  CloseStore();
  ExpectNoLeaks();
}

TEST_F(StoreTest, TeardownReportsABusyBucketAndWaitsForIt) {
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  ASSERT_EQ(0, Capture(300));
  HashTable* ht = b_->blockTable[300];
  down(&ht->sem);
  SetState(CGD_STATE_CLOSING);
  std::thread closer([&] { closeCache(b_); });
  const std::string line = "<3>closeCache: ht->sem contended";
  // Wait (with a generous bound, so a missing report fails instead of hanging).
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (standin::log::count(mark_, line) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_NE(nullptr, ht->busy);  // still waiting: the list is untouched
  up(&ht->sem);
  closer.join();
  EXPECT_EQ(1u, standin::log::count(mark_, line));
  EXPECT_EQ(nullptr, b_->cpCache);
  EXPECT_EQ(0, Cur());
  CloseStore();
  ExpectNoLeaks();
}

TEST_F(StoreTest, ObjectCacheCreationFailuresAreLoggedAndUnwound) {
  standin::fault::set(Site::slab_create, Attr{.nth = 1, .name_prefix = "cgdHT"});
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newBlockTable(b_));
  EXPECT_EQ((std::vector<std::string>{"<3>newBlockTable: kmem_cache_create failed for HashTable "
                                      "structs during backup start major=8 minor=1"}),
            NewLog());
  EXPECT_EQ(nullptr, b_->blockTable);
  CloseStore();

  standin::fault::set(Site::vmalloc, Attr{.nth = 1});
  Remark();
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newBlockTable(b_));
  EXPECT_TRUE(NewLog().empty());
  EXPECT_NE(nullptr, b_->htCache);
  CloseStore();
  standin::fault::clear_all();

  const std::vector<std::string> startLine{
      "<3>ioctlStartBackup: kmem_cache_create failed during backup start major=8 minor=1"};
  ASSERT_EQ(CGD_OK, newBlockTable(b_));
  standin::fault::set(Site::slab_create, Attr{.nth = 1, .name_prefix = "cgdDC"});
  Remark();
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newStoreCaches(b_));
  EXPECT_EQ(startLine, NewLog());
  EXPECT_NE(nullptr, b_->cpCache);
  EXPECT_EQ(nullptr, b_->dataCache);
  closeCache(b_);
  EXPECT_EQ(nullptr, b_->cpCache);

  standin::fault::set(Site::slab_create, Attr{.nth = 1, .name_prefix = "cgdCP"});
  Remark();
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newStoreCaches(b_));
  EXPECT_EQ(startLine, NewLog());
  EXPECT_EQ(nullptr, b_->cpCache);
  EXPECT_EQ(nullptr, b_->dataCache);
  CloseStore();
  ExpectNoLeaks();
}

TEST_F(StoreTest, CacheMapFailureReturnsTheMapsStatus) {
  ASSERT_EQ(CGD_OK, newBlockTable(b_));
  ASSERT_EQ(CGD_OK, newStoreCaches(b_));
  standin::fault::set(Site::page_alloc, Attr{.nth = 1});
  Remark();
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newCacheMap(b_));
  auto log = NewLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("<3>newCacheMap: error creating cache map of size=12388", log.back());
  EXPECT_EQ(0, atomic_read(&b_->totalAllocPages));
  EXPECT_EQ(nullptr, b_->cacheMap.map);
  standin::fault::clear_all();

  b_->diskInfo.numBlocks = 0;
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, newCacheMap(b_));
  log = NewLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("<3>newCacheMap: error creating cache map of size=0", log.back());
  EXPECT_EQ(0, atomic_read(&b_->curAllocPages));
  CloseStore();
  ExpectNoLeaks();
}

TEST_F(StoreTest, RecordOrCopyAllocationFailureFailsTheCapture) {
  BuildStore();
  struct { const char* cache; const char* line; } cases[] = {
      {"cgdCP", "<3>getCacheBlock: system out of memory, failed to allocate cache object."},
      {"cgdDC", "<3>getCacheBlock: system out of memory failed to allocate block for write cache"}};
  for (const auto& c : cases) {
    SetState(CGD_STATE_SNAPPED);
    long objects = standin::mem::usage().live(Kind::slab_object);
    standin::fault::set(Site::slab_alloc, Attr{.nth = 1, .name_prefix = c.cache});
    Remark();
    EXPECT_EQ(1, Capture(21));
    EXPECT_EQ(std::vector<std::string>{c.line}, NewLog());
    EXPECT_EQ(CGD_STATE_CACHE_ERROR, getStateOf(b_));
    EXPECT_TRUE(Bucket(21).empty());
    EXPECT_EQ(objects, standin::mem::usage().live(Kind::slab_object)) << c.cache;
    EXPECT_EQ(0, atomic_read(&b_->totalAllocCPs));
    EXPECT_EQ(0, atomic_read(&b_->peakAllocCPs));
  }
  standin::fault::clear_all();
  SetState(CGD_STATE_SNAPPED);
  EXPECT_EQ(0, Capture(21));
}

TEST_F(StoreTest, CaptureAfterTheRecordCacheIsGoneStopsTheKernel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  kmem_cache_t* cp = b_->cpCache;
  b_->cpCache = nullptr;
  EXPECT_DEATH(
      {
        standin::log::set_echo(true);
        Capture(1);
      },
      "b->cpCache was destroyed before kmem_cache_alloc!");
  b_->cpCache = cp;
}

// The cache thread stores into the lower half of the buckets while the
// agent cleans the store and consumes copies held in the upper half.
TEST_F(StoreTest, CaptureRunsBesideReadsAndCleanUpOfOtherBuckets) {
  constexpr u32 kHalf = CGD_BLOCK_TABLE_SIZE / 2;
  BuildStore();
  SetState(CGD_STATE_SNAPPED);
  std::vector<u32> wanted;
  for (u32 k = kHalf; k < CGD_BLOCK_TABLE_SIZE; k++) {
    ASSERT_EQ(0, Capture(k));
    ASSERT_EQ(0, Capture(k + CGD_BLOCK_TABLE_SIZE));  // not wanted
    wanted.push_back(k);
  }
  for (u32 k = 0; k < kHalf; k++) {
    wanted.push_back(k);
    wanted.push_back(k + CGD_BLOCK_TABLE_SIZE);
  }
  LoadWanted(wanted);

  std::thread capture([&] {
    for (u32 k = 0; k < kHalf; k++) {
      EXPECT_EQ(0, Capture(k));
      EXPECT_EQ(0, Capture(k + CGD_BLOCK_TABLE_SIZE));
    }
  });
  std::thread agent([&] {
    EXPECT_EQ(CGD_OK, cleanUpCache(b_));
    for (u32 k = kHalf; k < CGD_BLOCK_TABLE_SIZE; k++) EXPECT_EQ(kBlockSize, Read(k));
  });
  capture.join();
  agent.join();

  EXPECT_EQ(static_cast<int>(kHalf), atomic_read(&b_->totalCleanedCBs));
  EXPECT_EQ(static_cast<int>(2 * kHalf), Cur());
  for (u32 k = 0; k < CGD_BLOCK_TABLE_SIZE; k++) {
    if (k < kHalf)
      ASSERT_EQ((std::vector<u32>{k + CGD_BLOCK_TABLE_SIZE, k}), Bucket(k));
    else
      ASSERT_TRUE(Bucket(k).empty()) << k;
  }
  for (u32 k = 0; k < kHalf; k++) {
    EXPECT_EQ(kBlockSize, Read(k));
    EXPECT_EQ(kBlockSize, Read(k + CGD_BLOCK_TABLE_SIZE));
  }
  EXPECT_EQ(0, Cur());
  CloseStore();
  ExpectNoLeaks();
}

}  // namespace
