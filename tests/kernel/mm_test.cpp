// Memory: page frames, kmalloc/vmalloc, slab caches and the leak report.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>
#include <cstdlib>

#include "support/kernel_test.h"

#include <linux/gfp.h>
#include <linux/highmem.h>
#include <linux/mm.h>
#include <linux/slab.h>
#include <linux/version.h>
#include <linux/vmalloc.h>

using standin::mem::Kind;

namespace {

class MemoryTest : public KernelTest {
 protected:
  long live(Kind k) { return standin::mem::usage().live(k) - before_.live(k); }
};

bool all_bytes(const void* p, unsigned char v, size_t n) {
  auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i] != v) return false;
  return true;
}

extern "C" __attribute__((__noinline__)) void* cg_leaky_helper(size_t n) {
  void* p = kmalloc(n, GFP_KERNEL);
  __asm__ __volatile__("" ::: "memory");  // a real call, not a tail jump
  return p;
}

int ctor_calls = 0;
void counting_ctor(void* obj, kmem_cache_t*, unsigned long flags) {
  if (flags & SLAB_CTOR_CONSTRUCTOR) ctor_calls++;
  std::memset(obj, 0x5a, 8);
}

}  // namespace

TEST_F(MemoryTest, PageReferencesFreeAtZeroAndPoisonTheFrame) {
  struct page* pg = alloc_page(GFP_KERNEL);
  ASSERT_NE(nullptr, pg);
  EXPECT_EQ(1, page_count(pg));
  EXPECT_EQ(1, live(Kind::page));
  char* addr = static_cast<char*>(page_address(pg));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(addr) % PAGE_SIZE);
  EXPECT_EQ(pg, virt_to_page(addr + 100));
  std::memset(addr, 1, PAGE_SIZE);

  get_page(pg);
  EXPECT_EQ(2, page_count(pg));
  put_page(pg);
  EXPECT_EQ(1, live(Kind::page)) << "freed while a reference was left";
  EXPECT_TRUE(all_bytes(addr, 1, PAGE_SIZE));
  put_page(pg);
  EXPECT_EQ(0, live(Kind::page));
  // The frame stays mapped in the direct map; its bytes are poisoned.
  EXPECT_TRUE(all_bytes(addr, 0x6b, PAGE_SIZE));

  // A zeroed allocation of (likely) the same frame is zero, not poison.
  unsigned long z = get_zeroed_page(GFP_KERNEL);
  ASSERT_NE(0ul, z);
  EXPECT_TRUE(all_bytes(reinterpret_cast<void*>(z), 0, PAGE_SIZE));
  free_page(z);
  ExpectNoLeaks();
}

TEST_F(MemoryTest, HigherOrderBlocksAreContiguousAndCountEveryFrame) {
  struct page* pg = alloc_pages(GFP_KERNEL, 3);
  ASSERT_NE(nullptr, pg);
  EXPECT_EQ(8, live(Kind::page));
  EXPECT_EQ(8 * static_cast<long>(PAGE_SIZE),
            standin::mem::usage().bytes[static_cast<int>(Kind::page)] -
                before_.bytes[static_cast<int>(Kind::page)]);
  char* base = static_cast<char*>(page_address(pg));
  EXPECT_EQ(0u, (reinterpret_cast<uintptr_t>(base) / PAGE_SIZE) % 8) << "block not aligned to its order";
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(base + i * PAGE_SIZE, page_address(pg + i));
    EXPECT_EQ(pg + i, virt_to_page(base + i * PAGE_SIZE));
  }
  std::memset(base, 7, 8 * PAGE_SIZE);  // the whole block is usable

  unsigned long two = __get_free_pages(GFP_KERNEL | __GFP_ZERO, 1);
  ASSERT_NE(0ul, two);
  EXPECT_TRUE(all_bytes(reinterpret_cast<void*>(two), 0, 2 * PAGE_SIZE));
  EXPECT_TRUE(two + 2 * PAGE_SIZE <= reinterpret_cast<uintptr_t>(base) ||
              two >= reinterpret_cast<uintptr_t>(base) + 8 * PAGE_SIZE)
      << "blocks overlap";
  free_pages(two, 1);
  __free_pages(pg, 3);
  EXPECT_EQ(nullptr, alloc_pages(GFP_KERNEL, 11)) << "orders above the largest block fail";
  ExpectNoLeaks();
}

TEST_F(MemoryTest, FreedBlocksMergeBackIntoLargeOnes) {
  // Split one 4 MiB block into single frames and give them back: a 4 MiB
  // block must be available again afterwards (buddies merged).
  std::vector<struct page*> pages;
  for (int i = 0; i < 1024; ++i) pages.push_back(alloc_page(GFP_KERNEL));
  for (auto* p : pages) ASSERT_NE(nullptr, p);
  for (auto* p : pages) __free_page(p);
  std::vector<struct page*> big;
  struct page* b;
  while ((b = alloc_pages(GFP_KERNEL, 10)) != nullptr) big.push_back(b);
  long blocks = static_cast<long>(big.size());
  for (auto* p : big) __free_pages(p, 10);
  // Each frame still live elsewhere can keep at most one 4 MiB block apart.
  long pool_mb = 1024;
  if (const char* env = getenv("CG_PAGE_POOL_MB")) pool_mb = strtol(env, nullptr, 10);
  EXPECT_GE(blocks, pool_mb / 4 - standin::mem::usage().live(Kind::page));
  EXPECT_GT(blocks, 0);
  ExpectNoLeaks();
}

TEST_F(MemoryTest, PageMisuseStopsTheKernel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct page* pg = alloc_pages(GFP_KERNEL, 2);
  ASSERT_NE(nullptr, pg);
  EXPECT_DEATH(__free_pages(pg, 1), "allocated with order 2, freed with order 1");
  EXPECT_DEATH(put_page(pg + 1), "not an allocated page");
  __free_pages(pg, 2);
  EXPECT_DEATH(put_page(pg), "not an allocated page");
  int on_stack;
  EXPECT_DEATH(virt_to_page(&on_stack), "not in the kernel's direct map");
}

TEST_F(MemoryTest, KmallocFamilySizesZeroingAndLimits) {
  char* p = static_cast<char*>(kmalloc(100, GFP_KERNEL));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(100, standin::mem::kmalloc_size(p));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 8);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,14)
  char* z = static_cast<char*>(kzalloc(300, GFP_NOIO));
  ASSERT_NE(nullptr, z);
  EXPECT_TRUE(all_bytes(z, 0, 300));
#else
  char* z = static_cast<char*>(kcalloc(1, 300, GFP_NOIO));  // 2.6.12 has no kzalloc
  ASSERT_NE(nullptr, z);
#endif
  int* arr = static_cast<int*>(kcalloc(10, sizeof(int), GFP_ATOMIC));
  ASSERT_NE(nullptr, arr);
  EXPECT_TRUE(all_bytes(arr, 0, 10 * sizeof(int)));
  EXPECT_EQ(3, live(Kind::kmalloc));
  EXPECT_EQ(100 + 300 + 40, standin::mem::usage().bytes[static_cast<int>(Kind::kmalloc)] -
                                before_.bytes[static_cast<int>(Kind::kmalloc)]);
  EXPECT_EQ(nullptr, kcalloc(SIZE_MAX / 2, 4, GFP_KERNEL)) << "size overflow must fail";
  EXPECT_EQ(nullptr, kmalloc(128 * 1024 + 1, GFP_KERNEL)) << "beyond the largest general cache";
  void* max = kmalloc(128 * 1024, GFP_KERNEL);
  EXPECT_NE(nullptr, max);
  kfree(max);
  kfree(p);
  kfree(z);
  kfree(arr);
  kfree(nullptr);
  ExpectNoLeaks();
}

TEST_F(MemoryTest, KfreeOfForeignOrFreedPointerStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  void* p = kmalloc(16, GFP_KERNEL);
  kfree(p);
  EXPECT_DEATH(kfree(p), "not a live kmalloc object");
  static char foreign[16];
  EXPECT_DEATH(kfree(foreign), "not a live kmalloc object");
  void* v = vmalloc(10);
  EXPECT_DEATH(kfree(v), "not a live kmalloc object");
  vfree(v);
  EXPECT_DEATH(vfree(v), "not a live vmalloc area");
}

TEST_F(MemoryTest, VmallocIsPageAlignedAndAccounted) {
  void* v = vmalloc(3 * PAGE_SIZE + 5);
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(v) % PAGE_SIZE);
  std::memset(v, 0, 3 * PAGE_SIZE + 5);
  EXPECT_EQ(1, live(Kind::vmalloc));
  EXPECT_EQ(nullptr, vmalloc(0));
  vfree(v);
  vfree(nullptr);
  ExpectNoLeaks();
}

TEST_F(MemoryTest, SlabCachesHaveUniqueNamesAndOwnTheirObjects) {
  kmem_cache_t* c = kmem_cache_create("cg_test_obj", 24, 32, 0, counting_ctor, nullptr);
  ASSERT_NE(nullptr, c);
  EXPECT_STREQ("cg_test_obj", standin::mem::cache_name(c));
  EXPECT_EQ(24u, kmem_cache_size(c));
  EXPECT_EQ(nullptr, kmem_cache_create("cg_test_obj", 8, 0, 0, nullptr, nullptr));
  EXPECT_EQ(1u, standin::log::count(mark_, "<4>kmem_cache_create: duplicate cache cg_test_obj"));

  ctor_calls = 0;
  void* a = kmem_cache_alloc(c, GFP_KERNEL);
  void* b = kmem_cache_alloc(c, GFP_NOIO);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(2, ctor_calls);
  EXPECT_TRUE(all_bytes(a, 0x5a, 8)) << "object not constructed";
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(a) % 32);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(b) % 32);
  EXPECT_EQ(2, live(Kind::slab_object));
  EXPECT_EQ(1, live(Kind::slab_cache));

  Remark();
  EXPECT_EQ(1, kmem_cache_destroy(c)) << "destroy with live objects must fail";
  auto log = NewLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(0u, log[0].rfind("<3>kmem_cache_destroy: Can't free all objects", 0)) << log[0];
  EXPECT_EQ(nullptr, kmem_cache_create("cg_test_obj", 8, 0, 0, nullptr, nullptr))
      << "a cache that could not be destroyed keeps its name";

  kmem_cache_free(c, a);
  kmem_cache_free(c, b);
  EXPECT_EQ(0, kmem_cache_destroy(c));
  kmem_cache_t* again = kmem_cache_create("cg_test_obj", 8, 0, 0, nullptr, nullptr);
  ASSERT_NE(nullptr, again) << "the name is free after the destroy";
  EXPECT_EQ(0, kmem_cache_destroy(again));
  ExpectNoLeaks();
}

TEST_F(MemoryTest, SlabFreeChecksTheObjectBelongs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  kmem_cache_t* c1 = kmem_cache_create("cg_one", 16, 0, 0, nullptr, nullptr);
  kmem_cache_t* c2 = kmem_cache_create("cg_two", 16, 0, 0, nullptr, nullptr);
  void* o = kmem_cache_alloc(c1, GFP_KERNEL);
  EXPECT_DEATH(kmem_cache_free(c2, o), "not a live object of cache cg_two");
  kmem_cache_free(c1, o);
  EXPECT_DEATH(kmem_cache_free(c1, o), "not a live object of cache cg_one");
  EXPECT_EQ(0, kmem_cache_destroy(c1));
  EXPECT_EQ(0, kmem_cache_destroy(c2));
}

TEST_F(MemoryTest, LeakReportNamesEachNewAllocationAndItsCaller) {
  void* old = kmalloc(8, GFP_KERNEL);  // live before the snapshot: not a leak
  Remark();
  auto snapshot = standin::mem::usage();
  void* leak = cg_leaky_helper(40);
  ASSERT_NE(nullptr, leak);
  std::string report = standin::mem::leak_report(snapshot);
  EXPECT_NE(std::string::npos, report.find("kmalloc: 1 more live")) << report;
  EXPECT_NE(std::string::npos, report.find("40 bytes")) << report;
  EXPECT_NE(std::string::npos, report.find("cg_leaky_helper")) << report;
  EXPECT_EQ(std::string::npos, report.find(" 8 bytes")) << "an older allocation was listed\n" << report;
  kfree(leak);
  EXPECT_EQ("", standin::mem::leak_report(snapshot));
  kfree(old);
}
