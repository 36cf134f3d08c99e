// The paged block bitmap, called directly: sizes and page counts, the bit
// layout against the byte string the agent exchanges, out-of-range results,
// closed maps, the failure paths (page array, a page, the user copy) and the
// drain that lets a writer exchange page arrays under concurrent readers.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/kernel_test.h"

#include "cgdlib.h"
#include "functions/module_access.h"

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::uint32_t kBitsPerPage = 32768;

// User memory of exactly len bytes followed by an inaccessible page, so a
// copy of one byte more than asked for fails.  Any of its pages can be made
// inaccessible as well.
class UserBuffer {
 public:
  // at_end: the buffer ends at the inaccessible page; otherwise it starts on
  // a page boundary.
  explicit UserBuffer(std::size_t len, bool at_end = true) : len_(len) {
    pages_ = (len + kPage - 1) / kPage;
    total_ = (pages_ + 1) * kPage;
    base_ = static_cast<std::uint8_t*>(
        ::mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(MAP_FAILED, base_);
    ::mprotect(base_ + pages_ * kPage, kPage, PROT_NONE);
    data_ = at_end ? base_ + pages_ * kPage - len : base_;
  }
  ~UserBuffer() { ::munmap(base_, total_); }
  std::uint8_t* data() const { return data_; }
  // Makes the page that holds byte off of the buffer inaccessible.
  void protect_at(std::size_t off) {
    auto addr = reinterpret_cast<std::uintptr_t>(data_ + off) & ~(kPage - 1);
    ::mprotect(reinterpret_cast<void*>(addr), kPage, PROT_NONE);
  }

 private:
  std::size_t len_, pages_, total_;
  std::uint8_t* base_;
  std::uint8_t* data_;
};

std::string pointer_text(const void* p) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// The map's bitmap bytes, pages end to end, numBytes of them.
std::vector<std::uint8_t> map_bytes(BlockMap* bm) {
  std::vector<std::uint8_t> out(bm->numBytes);
  for (std::size_t off = 0; off < out.size(); off += kPage) {
    auto* src = static_cast<std::uint8_t*>(page_address(bm->map[off / kPage]));
    std::memcpy(out.data() + off, src, std::min(kPage, out.size() - off));
  }
  return out;
}

class BlockMapTest : public KernelTest {
 protected:
  void TearDown() override {
    u32 freed = 0;
    closeBlockMap(&bm_, &freed);
    ExpectNoLeaks();
    KernelTest::TearDown();
  }
  BlockMap bm_{};
};

// ---- sizes, pages and fills ------------------------------------------------

TEST_F(BlockMapTest, PageCountsAtPageBoundaries) {
  struct Case {
    u32 size, bytes, pages;
  } cases[] = {{1, 1, 1}, {8, 1, 1}, {9, 2, 1}, {32768, 4096, 1}, {32769, 4097, 2},
               {3 * 32768 + 5, 3 * 4096 + 1, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    u32 alloc = 0, freed = 0;
    auto pagesBefore = standin::mem::usage().live(standin::mem::Kind::page);
    ASSERT_EQ(CGD_OK, newBlockMap(&bm_, c.size, nullptr, 1, &alloc));
    EXPECT_EQ(c.size, bm_.size);
    EXPECT_EQ(c.bytes, bm_.numBytes);
    EXPECT_EQ(c.pages, alloc);
    EXPECT_EQ(c.pages, numPagesInBlockMap(&bm_));
    EXPECT_EQ(pagesBefore + c.pages, standin::mem::usage().live(standin::mem::Kind::page));
    EXPECT_EQ(1, atomic_read(&bm_.users));
    closeBlockMap(&bm_, &freed);
    EXPECT_EQ(c.pages, freed);
    EXPECT_EQ(nullptr, bm_.map);
    EXPECT_EQ(0u, bm_.size);
    EXPECT_EQ(c.bytes, bm_.numBytes);  // kept by the release
  }
}

TEST_F(BlockMapTest, FillsClearOrSetIncludingSpareBits) {
  u32 alloc = 0;
  ASSERT_EQ(CGD_OK, newBlockMap(&bm_, 32769, nullptr, 1, &alloc));
  for (u32 n : {0u, 1u, 32767u, 32768u}) EXPECT_EQ(0, blockInMap(&bm_, n)) << n;
  for (auto b : map_bytes(&bm_)) ASSERT_EQ(0x00, b);
  u32 freed;
  closeBlockMap(&bm_, &freed);

  // Any zeroFill other than 1 sets every bit, the spare ones of the last byte too.
  for (int zeroFill : {0, 2, -1}) {
    SCOPED_TRACE(zeroFill);
    ASSERT_EQ(CGD_OK, newBlockMap(&bm_, 32770, nullptr, zeroFill, &alloc));
    for (u32 n : {0u, 32767u, 32768u, 32769u}) EXPECT_EQ(-1, blockInMap(&bm_, n)) << n;
    auto bytes = map_bytes(&bm_);
    ASSERT_EQ(4097u, bytes.size());
    for (auto b : bytes) ASSERT_EQ(0xff, b);
    closeBlockMap(&bm_, &freed);
  }
}

TEST_F(BlockMapTest, CopiesExactlyTheMapBytesOfEachPage) {
  // Each buffer ends at an inaccessible page: reading one byte more fails.
  for (u32 size : {1u, 8u, 32768u, 32769u, 65536u + 12u}) {
    SCOPED_TRACE(size);
    std::size_t len = (size + 7) / 8;
    UserBuffer buf(len);
    std::mt19937 rng(size);
    for (std::size_t i = 0; i < len; i++) buf.data()[i] = static_cast<std::uint8_t>(rng());
    u32 alloc = 0, freed = 0;
    ASSERT_EQ(CGD_OK, newBlockMap(&bm_, size, buf.data(), 1, &alloc));
    EXPECT_EQ((len + kPage - 1) / kPage, alloc);
    EXPECT_EQ(std::vector<std::uint8_t>(buf.data(), buf.data() + len), map_bytes(&bm_));
    closeBlockMap(&bm_, &freed);
  }
}

// ---- bit layout ----------------------------------------------------------------

TEST_F(BlockMapTest, BitsFollowTheByteStringLayout) {
  const u32 size = 2 * kBitsPerPage + 800;
  const std::size_t len = (size + 7) / 8;
  UserBuffer buf(len);
  std::mt19937 rng(42);
  for (std::size_t i = 0; i < len; i++) buf.data()[i] = static_cast<std::uint8_t>(rng());
  u32 alloc = 0;
  ASSERT_EQ(CGD_OK, newBlockMap(&bm_, size, buf.data(), 1, &alloc));
  for (u32 n = 0; n < size; n++) {
    int expected = (buf.data()[n / 8] >> (n % 8)) & 1 ? -1 : 0;
    ASSERT_EQ(expected, blockInMap(&bm_, n)) << "block " << n;
  }
}

TEST_F(BlockMapTest, SetAndClearChangeOnlyTheirOwnBit) {
  const u32 size = kBitsPerPage + 100;
  u32 alloc = 0;
  ASSERT_EQ(CGD_OK, newBlockMap(&bm_, size, nullptr, 1, &alloc));
  std::vector<std::uint8_t> expected(bm_.numBytes, 0);
  // Bits on both sides of byte, 32- and 64-bit word and page boundaries.
  const u32 blocks[] = {0, 7, 8, 31, 32, 63, 64, 100, 32767, 32768, 32769, size - 1};
  for (u32 n : blocks) {
    ASSERT_EQ(0, setBlock(&bm_, n));
    expected[n / 8] |= std::uint8_t(1u << (n % 8));
    ASSERT_EQ(expected, map_bytes(&bm_)) << "after setting " << n;
  }
  ASSERT_EQ(0, setBlock(&bm_, 64));  // setting a set bit keeps it set
  ASSERT_EQ(expected, map_bytes(&bm_));
  for (u32 n : {7u, 32768u, size - 1}) {
    ASSERT_EQ(0, unSetBlock(&bm_, n));
    expected[n / 8] &= std::uint8_t(~(1u << (n % 8)));
    ASSERT_EQ(expected, map_bytes(&bm_)) << "after clearing " << n;
    EXPECT_EQ(0, blockInMap(&bm_, n));
  }
  ASSERT_EQ(0, unSetBlock(&bm_, 7));  // clearing a clear bit keeps it clear
  EXPECT_EQ(expected, map_bytes(&bm_));
  EXPECT_EQ(-1, blockInMap(&bm_, 32769));
  EXPECT_EQ(1, atomic_read(&bm_.users));
}

// ---- out of range and closed maps ---------------------------------------------

TEST_F(BlockMapTest, OutOfRangeBlocksChangeNothing) {
  const u32 size = 1000;
  u32 alloc = 0;
  ASSERT_EQ(CGD_OK, newBlockMap(&bm_, size, nullptr, 0, &alloc));
  auto before = map_bytes(&bm_);
  EXPECT_EQ(0, blockInMap(&bm_, size));
  EXPECT_EQ(int(size), setBlock(&bm_, size));
  EXPECT_EQ(1, unSetBlock(&bm_, size));
  EXPECT_EQ(0, blockInMap(&bm_, 0xffffffffu));
  EXPECT_EQ(int(0xfffffffeu), setBlock(&bm_, 0xfffffffeu));
  EXPECT_EQ(1, unSetBlock(&bm_, 0xffffffffu));
  EXPECT_EQ(before, map_bytes(&bm_));
  EXPECT_EQ(-1, blockInMap(&bm_, size - 1));
  EXPECT_EQ(1, atomic_read(&bm_.users));
}

TEST_F(BlockMapTest, ClosedMapAnswersOutOfRangeAndClosesOnce) {
  u32 alloc = 0, freed = 0;
  ASSERT_EQ(CGD_OK, newBlockMap(&bm_, 100, nullptr, 0, &alloc));
  closeBlockMap(&bm_, &freed);
  ASSERT_EQ(1u, freed);

  EXPECT_EQ(0, setBlock(&bm_, 0));  // block 0 is out of range of size 0
  EXPECT_EQ(0, blockInMap(&bm_, 0));
  EXPECT_EQ(1, unSetBlock(&bm_, 0));
  EXPECT_EQ(nullptr, bm_.map);

  freed = 77;
  closeBlockMap(&bm_, &freed);
  EXPECT_EQ(77u, freed);  // not written
}

TEST_F(BlockMapTest, InvalidSizesLeaveTheRecordAlone) {
  for (u32 size : {0u, 0xfffffff9u, 0xfffffffcu, 0xffffffffu}) {
    SCOPED_TRACE(size);
    Remark();
    BlockMap bm;
    std::memset(&bm, 0x5a, sizeof bm);
    u32 alloc = 99;
    EXPECT_EQ(CGD_ERR_INVALID, newBlockMap(&bm, size, nullptr, 1, &alloc));
    EXPECT_EQ(99u, alloc);
    BlockMap pattern;
    std::memset(&pattern, 0x5a, sizeof pattern);
    EXPECT_EQ(0, std::memcmp(&pattern, &bm, sizeof bm));
    EXPECT_EQ(std::vector<std::string>{"<3>newBlockMap: block size size=" + std::to_string(size) +
                                       " invalid"},
              NewLog());
  }
}

// ---- failures while building ---------------------------------------------------

TEST_F(BlockMapTest, PageArrayFailureLeavesAClosedRecord) {
  standin::fault::set(standin::fault::Site::vmalloc, {.nth = 1});
  u32 alloc = 55;
  EXPECT_EQ(CGD_ERR_NO_MEMORY, newBlockMap(&bm_, 3 * kBitsPerPage + 1, nullptr, 1, &alloc));
  standin::fault::clear_all();
  EXPECT_EQ(55u, alloc);
  EXPECT_EQ(nullptr, bm_.map);
  EXPECT_EQ(0u, bm_.size);
  EXPECT_EQ(std::vector<std::string>{"<3>newBlockMap: failed allocating (32) bytes of memory "
                                     "for block map page array"},
            NewLog());
  // The failed record is still a usable closed map.
  EXPECT_EQ(1, unSetBlock(&bm_, 0));
  unsigned long flags;
  waitForBlockMapUsers(&bm_, &flags);
  spin_unlock_irqrestore(&bm_.usersLock, flags);
}

TEST_F(BlockMapTest, PageFailureReleasesEveryPageAlreadyTaken) {
  for (long nth : {1L, 2L, 3L}) {
    SCOPED_TRACE(nth);
    Remark();
    auto before = standin::mem::usage();
    standin::fault::set(standin::fault::Site::page_alloc, {.nth = nth});
    u32 alloc = 55;
    EXPECT_EQ(CGD_ERR_NO_MEMORY, newBlockMap(&bm_, 3 * kBitsPerPage, nullptr, 0, &alloc));
    standin::fault::clear_all();
    EXPECT_EQ(55u, alloc);
    EXPECT_EQ(nullptr, bm_.map);
    EXPECT_EQ(0u, bm_.size);
    EXPECT_EQ("", standin::mem::leak_report(before));
    EXPECT_EQ((std::vector<std::string>{
                  "<3>newBlockMap: failed allocating page number (" + std::to_string(nth - 1) +
                      ") for block map",
                  "<3>newBlockMap: Out of Memory Error."}),
              NewLog());
  }
}

TEST_F(BlockMapTest, UnreadableUserPageReleasesEverything) {
  const u32 size = 3 * kBitsPerPage - 8;  // last page holds 4095 bytes
  const std::size_t len = size / 8;
  for (std::size_t k : {0u, 1u, 2u}) {
    SCOPED_TRACE(k);
    Remark();
    UserBuffer buf(len, false);
    std::memset(buf.data(), 0xab, len);
    buf.protect_at(k * kPage);
    auto before = standin::mem::usage();
    u32 alloc = 55;
    EXPECT_EQ(CGD_ERR_COPY_IN, newBlockMap(&bm_, size, buf.data(), 1, &alloc));
    EXPECT_EQ(55u, alloc);
    EXPECT_EQ(nullptr, bm_.map);
    EXPECT_EQ("", standin::mem::leak_report(before));
    std::size_t count = k == 2 ? len - 2 * kPage : kPage;
    EXPECT_EQ((std::vector<std::string>{
                  "<3>newBlockMap: copy to user space failed data=" +
                      pointer_text(buf.data() + k * kPage) + " bytesCopied=" +
                      std::to_string(count) + " bytesInMap=" + std::to_string(len),
                  "<3>newBlockMap: Out of Memory Error."}),
              NewLog());
  }
}

// ---- counted users -------------------------------------------------------------

// Readers test and set bits while a writer repeatedly drains the map and
// exchanges its page array with another map's, as the snapshot does.  While
// the writer holds the drained lock nobody may be inside, and every reader
// must see one of the two arrays whole.
TEST_F(BlockMapTest, DrainExchangesPageArraysUnderConcurrentReaders) {
  const u32 size = 2 * kBitsPerPage;
  BlockMap other{};
  u32 alloc = 0, freed = 0;
  ASSERT_EQ(CGD_OK, newBlockMap(&bm_, size, nullptr, 0, &alloc));    // all set
  ASSERT_EQ(CGD_OK, newBlockMap(&other, size, nullptr, 0, &alloc));  // all set

  std::atomic<bool> stop{false};
  std::atomic<long> ops{0}, wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; t++) {
    readers.emplace_back([&, t] {
      u32 n = static_cast<u32>(t) * 9973u;
      while (!stop.load()) {
        n = (n + 7919u) % size;
        if (blockInMap(&bm_, n) != -1) wrong++;
        if (setBlock(&bm_, n) != 0) wrong++;
        ops++;
      }
    });
  }
  long insideWhileDrained = 0;
  for (int i = 0; i < 300; i++) {
    unsigned long flags;
    waitForBlockMapUsers(&bm_, &flags);
    if (atomic_read(&bm_.users) != 1) insideWhileDrained++;
    std::swap(bm_.map, other.map);
    spin_unlock_irqrestore(&bm_.usersLock, flags);
    while (ops.load() < i) std::this_thread::yield();  // let the readers in between
  }
  stop = true;
  for (auto& r : readers) r.join();

  EXPECT_EQ(0, insideWhileDrained);
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(1, atomic_read(&bm_.users));
  closeBlockMap(&other, &freed);
  EXPECT_EQ(2u, freed);
}

// A drain waits for an operation that is inside the map.
TEST_F(BlockMapTest, DrainWaitsForAnOperationInside) {
  u32 alloc = 0;
  ASSERT_EQ(CGD_OK, newBlockMap(&bm_, 64, nullptr, 1, &alloc));
  down(&bm_.sem);  // a bit operation that enters now blocks inside the map
  std::thread reader([&] { EXPECT_EQ(0, setBlock(&bm_, 5)); });
  while (atomic_read(&bm_.users) != 2) std::this_thread::yield();

  std::atomic<bool> drained{false};
  std::thread writer([&] {
    unsigned long flags;
    waitForBlockMapUsers(&bm_, &flags);
    drained = true;
    EXPECT_TRUE(test_bit(5, static_cast<unsigned long*>(page_address(bm_.map[0]))));
    spin_unlock_irqrestore(&bm_.usersLock, flags);
  });
  for (int i = 0; i < 50; i++) {
    std::this_thread::yield();
    EXPECT_FALSE(drained.load());
  }
  up(&bm_.sem);
  reader.join();
  writer.join();
  EXPECT_TRUE(drained.load());
  EXPECT_EQ(-1, blockInMap(&bm_, 5));
}

}  // namespace
