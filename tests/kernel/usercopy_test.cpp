// User copies: faults are detected, never taken, and partial copies stop at
// the first bad page.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "support/kernel_test.h"

#include <linux/errno.h>
#include <linux/uaccess.h>

namespace {

// Two pages of user memory; the second may be given other protections.
class UserCopyTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, p);
    mem_ = static_cast<char*>(p);
    for (std::size_t i = 0; i < 2 * page_; ++i) mem_[i] = static_cast<char>(i & 0x7f);
  }
  void TearDown() override {
    munmap(mem_, 2 * page_);
    KernelTest::TearDown();
  }
  void Protect(int page, int prot) { ASSERT_EQ(0, mprotect(mem_ + page * page_, page_, prot)); }
  char* boundary() { return mem_ + page_; }

  std::size_t page_ = 0;
  char* mem_ = nullptr;
};

}  // namespace

TEST_F(UserCopyTest, GoodAddressesCopyBothWays) {
  char buf[100];
  EXPECT_EQ(0ul, copy_from_user(buf, boundary() - 50, sizeof buf));
  EXPECT_EQ(0, std::memcmp(buf, boundary() - 50, sizeof buf));
  std::memset(buf, 'k', sizeof buf);
  EXPECT_EQ(0ul, copy_to_user(boundary() - 50, buf, sizeof buf));
  EXPECT_EQ('k', boundary()[-50]);
  EXPECT_EQ('k', boundary()[49]);
  EXPECT_EQ(0ul, copy_from_user(buf, mem_, 0));

  int x = 0;
  int value = 1234;
  std::memcpy(mem_, &value, sizeof value);
  EXPECT_EQ(0, get_user(x, reinterpret_cast<int*>(mem_)));
  EXPECT_EQ(1234, x);
  EXPECT_EQ(0, put_user(77, reinterpret_cast<int*>(mem_ + 8)));
  std::memcpy(&value, mem_ + 8, sizeof value);
  EXPECT_EQ(77, value);
}

TEST_F(UserCopyTest, UnmappedAndProtNoneAreFaultsWithTheDestinationZeroed) {
  Protect(1, PROT_NONE);
  char buf[64];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(sizeof buf, copy_from_user(buf, boundary(), sizeof buf));
  for (char c : buf) ASSERT_EQ(0, c) << "the uncopied tail must be zeroed";
  EXPECT_EQ(sizeof buf, copy_to_user(boundary(), buf, sizeof buf));

  char* gone = static_cast<char*>(
      mmap(nullptr, page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, gone);
  munmap(gone, page_);
  EXPECT_EQ(16ul, copy_from_user(buf, gone, 16));
  EXPECT_EQ(16ul, copy_to_user(gone, buf, 16));
  EXPECT_EQ(8ul, copy_from_user(buf, nullptr, 8));

  int x = 5;
  EXPECT_EQ(-EFAULT, get_user(x, reinterpret_cast<int*>(gone)));
  EXPECT_EQ(0, x) << "a failed get_user yields zero";
  EXPECT_EQ(-EFAULT, put_user(1, reinterpret_cast<int*>(boundary())));
}

TEST_F(UserCopyTest, ReadOnlyMemoryRefusesWritesButReads) {
  Protect(0, PROT_READ);
  char buf[32];
  std::memset(buf, 'w', sizeof buf);
  char before = mem_[10];
  EXPECT_EQ(sizeof buf, copy_to_user(mem_ + 10, buf, sizeof buf));
  EXPECT_EQ(before, mem_[10]) << "read-only memory was written";
  EXPECT_EQ(0ul, copy_from_user(buf, mem_ + 10, sizeof buf));
  EXPECT_EQ(before, buf[0]);
}

TEST_F(UserCopyTest, PartialCopiesStopAtThePageBoundary) {
  Protect(1, PROT_NONE);
  char buf[24];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(16ul, copy_from_user(buf, boundary() - 8, sizeof buf));
  EXPECT_EQ(0, std::memcmp(buf, boundary() - 8, 8)) << "the readable prefix is copied";
  for (int i = 8; i < 24; ++i) ASSERT_EQ(0, buf[i]);

  Protect(1, PROT_READ);
  std::memset(buf, 'q', sizeof buf);
  EXPECT_EQ(16ul, copy_to_user(boundary() - 8, buf, sizeof buf));
  EXPECT_EQ('q', boundary()[-1]);
  EXPECT_EQ('q', boundary()[-8]);
  EXPECT_NE('q', boundary()[0]);
}

TEST_F(UserCopyTest, AccessOkChecksTheUserRangeOnly) {
  EXPECT_TRUE(access_ok(VERIFY_READ, mem_, 2 * page_));
  EXPECT_TRUE(access_ok(VERIFY_WRITE, reinterpret_cast<void*>(0x1000), 10));
  EXPECT_FALSE(access_ok(VERIFY_READ, reinterpret_cast<void*>(uintptr_t{1} << 47), 1));
  EXPECT_FALSE(access_ok(VERIFY_READ, reinterpret_cast<void*>(~uintptr_t{0} - 4), 16));
  char buf[8];
  EXPECT_EQ(8ul, copy_from_user(buf, reinterpret_cast<void*>(~uintptr_t{0} - 4), 8));
}
