// Fault injection: nth, interval, times and cache-name filters.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/kernel_test.h"

#include <linux/gfp.h>
#include <linux/mm.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>

using standin::fault::Attr;
using standin::fault::Site;

namespace {

class FaultTest : public KernelTest {
 protected:
  void TearDown() override {
    standin::fault::clear_all();
    ExpectNoLeaks();
    KernelTest::TearDown();
  }
  // Which of n kmalloc calls failed ("." ok, "x" failed).
  std::string KmallocPattern(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
      void* p = kmalloc(16, GFP_KERNEL);
      s += p ? '.' : 'x';
      kfree(p);
    }
    return s;
  }
};

}  // namespace

TEST_F(FaultTest, NthFailsOnceCountedFromSet) {
  KmallocPattern(3);  // calls before set() do not count
  standin::fault::set(Site::kmalloc, {.nth = 3});
  EXPECT_EQ("..x....", KmallocPattern(7));
  EXPECT_EQ(7, standin::fault::calls(Site::kmalloc));
  EXPECT_EQ(1, standin::fault::failures(Site::kmalloc));
  standin::fault::set(Site::kmalloc, {.nth = 1});
  EXPECT_EQ("x..", KmallocPattern(3)) << "set() restarts the count";
  standin::fault::clear(Site::kmalloc);
  EXPECT_EQ("...", KmallocPattern(3));
  EXPECT_EQ(0, standin::fault::failures(Site::kmalloc));
}

TEST_F(FaultTest, IntervalAndTimes) {
  standin::fault::set(Site::kmalloc, {.interval = 2, .times = 2});
  EXPECT_EQ(".x.x....", KmallocPattern(8));
  EXPECT_EQ(2, standin::fault::failures(Site::kmalloc));
  standin::fault::set(Site::kmalloc, {.interval = 1});
  EXPECT_EQ("xxxx", KmallocPattern(4));
  standin::fault::set(Site::kmalloc, {.nth = 2, .interval = 3});
  EXPECT_EQ(".xx..x", KmallocPattern(6));
}

TEST_F(FaultTest, SlabSitesFilterByCacheName) {
  kmem_cache_t* mine = kmem_cache_create("cg_store_page", 32, 0, 0, nullptr, nullptr);
  kmem_cache_t* other = kmem_cache_create("unrelated", 32, 0, 0, nullptr, nullptr);
  ASSERT_NE(nullptr, mine);
  ASSERT_NE(nullptr, other);
  standin::fault::set(Site::slab_alloc, {.interval = 1, .name_prefix = "cg_"});
  void* o = kmem_cache_alloc(other, GFP_KERNEL);
  EXPECT_NE(nullptr, o);
  EXPECT_EQ(nullptr, kmem_cache_alloc(mine, GFP_KERNEL));
  EXPECT_EQ(1, standin::fault::calls(Site::slab_alloc)) << "other caches are not counted";
  kmem_cache_free(other, o);

  standin::fault::set(Site::slab_create, {.nth = 1, .name_prefix = "cg_"});
  kmem_cache_t* third = kmem_cache_create("another", 8, 0, 0, nullptr, nullptr);
  EXPECT_NE(nullptr, third);
  EXPECT_EQ(nullptr, kmem_cache_create("cg_second", 8, 0, 0, nullptr, nullptr));
  kmem_cache_destroy(third);
  kmem_cache_destroy(mine);
  kmem_cache_destroy(other);
}

TEST_F(FaultTest, PageAndVmallocSites) {
  standin::fault::set(Site::page_alloc, {.nth = 2});
  struct page* a = alloc_page(GFP_KERNEL);
  unsigned long b = __get_free_page(GFP_KERNEL);
  unsigned long c = get_zeroed_page(GFP_KERNEL);
  EXPECT_NE(nullptr, a);
  EXPECT_EQ(0ul, b);
  EXPECT_NE(0ul, c);
  __free_page(a);
  free_page(c);
  standin::fault::set(Site::vmalloc, {.nth = 1});
  EXPECT_EQ(nullptr, vmalloc(100));
  void* v = vmalloc(100);
  EXPECT_NE(nullptr, v);
  vfree(v);
}

TEST_F(FaultTest, CountsAreExactUnderConcurrentCalls) {
  standin::fault::set(Site::kmalloc, {.interval = 10});
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        void* p = kmalloc(8, GFP_KERNEL);
        if (!p) ++failed;
        kfree(p);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(4000, standin::fault::calls(Site::kmalloc));
  EXPECT_EQ(400, standin::fault::failures(Site::kmalloc));
  EXPECT_EQ(400, failed.load());
}
