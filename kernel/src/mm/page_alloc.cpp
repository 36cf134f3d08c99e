// Page frames: one memfd-backed pool mapped once as the direct map, handed
// out by a buddy allocator in blocks of 2^order frames.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "internal.h"

#include <linux/gfp.h>
#include <linux/highmem.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/list.h>
#include <linux/mm.h>

namespace {

constexpr unsigned kMaxOrder = 10;  // blocks of up to 4 MiB
constexpr unsigned char kFree = 0xff;
constexpr int kPoison = 0x6b;

// The pool.  Protected by mu: free sets and head_order.
struct Pool {
  std::mutex mu;
  int fd = -1;
  char* base = nullptr;
  std::size_t frames = 0;
  struct page* pages = nullptr;
  // Order of the allocated block that starts at a frame, kFree otherwise.
  std::vector<unsigned char> head_order;
  std::set<std::size_t> free_blocks[kMaxOrder + 1];
};

std::size_t pool_bytes() {
  long mb = 1024;
  if (const char* env = std::getenv("CG_PAGE_POOL_MB")) {
    long v = std::strtol(env, nullptr, 10);
    if (v >= 4) mb = v;
  }
  return static_cast<std::size_t>(mb) << 20;
}

Pool* make_pool() {
  auto* p = new Pool;  // never destroyed: frames outlive every test
  std::size_t bytes = pool_bytes() & ~((std::size_t{PAGE_SIZE} << kMaxOrder) - 1);
  if (bytes == 0) bytes = std::size_t{PAGE_SIZE} << kMaxOrder;
  p->fd = memfd_create("cg-page-pool", MFD_CLOEXEC);
  if (p->fd < 0 || ftruncate(p->fd, static_cast<off_t>(bytes)) != 0)
    panic("page pool: cannot create its memory");
  // The direct map starts on a boundary of the largest block, so a block of
  // order n is aligned to 2^n pages in addresses too.
  std::size_t align = std::size_t{PAGE_SIZE} << kMaxOrder;
  void* area = mmap(nullptr, bytes + align, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (area == MAP_FAILED) panic("page pool: cannot reserve its addresses");
  auto start = (reinterpret_cast<std::uintptr_t>(area) + align - 1) & ~(align - 1);
  void* base = mmap(reinterpret_cast<void*>(start), bytes, PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_NORESERVE | MAP_FIXED, p->fd, 0);
  if (base == MAP_FAILED) panic("page pool: cannot map its memory");
  p->base = static_cast<char*>(base);
  p->frames = bytes / PAGE_SIZE;
  void* pages = mmap(nullptr, p->frames * sizeof(struct page), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (pages == MAP_FAILED) panic("page pool: cannot map the page array");
  p->pages = static_cast<struct page*>(pages);
  p->head_order.assign(p->frames, kFree);
  for (std::size_t pfn = 0; pfn < p->frames; pfn += std::size_t{1} << kMaxOrder)
    p->free_blocks[kMaxOrder].insert(pfn);
  return p;
}

Pool& pool() {
  static Pool* p = make_pool();
  return *p;
}

std::size_t pfn_of(Pool& p, const struct page* page) {
  if (page < p.pages || page >= p.pages + p.frames)
    panic("page %p is not a page frame of the pool", static_cast<const void*>(page));
  return static_cast<std::size_t>(page - p.pages);
}

// A free block of 2^order frames, split from a larger one if needed.
long __take_block(Pool& p, unsigned order) {
  unsigned o = order;
  while (o <= kMaxOrder && p.free_blocks[o].empty()) o++;
  if (o > kMaxOrder) return -1;
  std::size_t pfn = *p.free_blocks[o].begin();
  p.free_blocks[o].erase(p.free_blocks[o].begin());
  while (o > order) {
    o--;
    p.free_blocks[o].insert(pfn + (std::size_t{1} << o));
  }
  p.head_order[pfn] = static_cast<unsigned char>(order);
  return static_cast<long>(pfn);
}

void __give_block(Pool& p, std::size_t pfn, unsigned order) {
  p.head_order[pfn] = kFree;
  while (order < kMaxOrder) {
    std::size_t buddy = pfn ^ (std::size_t{1} << order);
    auto it = p.free_blocks[order].find(buddy);
    if (it == p.free_blocks[order].end()) break;
    p.free_blocks[order].erase(it);
    pfn &= ~(std::size_t{1} << order);
    order++;
  }
  p.free_blocks[order].insert(pfn);
}

void init_frames(Pool& p, std::size_t pfn, unsigned order) {
  for (std::size_t i = 0; i < (std::size_t{1} << order); ++i) {
    struct page* pg = &p.pages[pfn + i];
    pg->flags = 0;
    atomic_set(&pg->_count, i == 0 ? 1 : 0);
    atomic_set(&pg->_mapcount, -1);
    pg->private_ = 0;
    pg->mapping = nullptr;
    pg->index = 0;
    INIT_LIST_HEAD(&pg->lru);
    pg->virtual_ = p.base + (pfn + i) * PAGE_SIZE;
  }
}

// The head frame's block order; BUG unless page heads an allocated block.
unsigned block_order(Pool& p, struct page* page, const char* who) {
  std::size_t pfn = pfn_of(p, page);
  std::lock_guard lk(p.mu);
  unsigned char o = p.head_order[pfn];
  if (o == kFree) panic("%s: page %p (frame %zu) is not an allocated page", who,
                        static_cast<void*>(page), pfn);
  return o;
}

void free_block(Pool& p, struct page* page, unsigned order) {
  std::size_t pfn = pfn_of(p, page);
  std::size_t frames = std::size_t{1} << order;
  std::memset(p.base + pfn * PAGE_SIZE, kPoison, frames * PAGE_SIZE);
  standin::mem::account(standin::mem::Kind::page, -static_cast<long>(frames),
                        -static_cast<long>(frames * PAGE_SIZE), page);
  std::lock_guard lk(p.mu);
  __give_block(p, pfn, order);
}

void drop_ref(struct page* page, const char* who, long order_given) {
  Pool& p = pool();
  unsigned order = block_order(p, page, who);
  if (order_given >= 0 && static_cast<unsigned>(order_given) != order)
    panic("%s: page %p was allocated with order %u, freed with order %ld", who,
          static_cast<void*>(page), order, order_given);
  int left = atomic_sub_return(1, &page->_count);
  if (left < 0) panic("%s: page %p freed more often than referenced", who, static_cast<void*>(page));
  if (left == 0) free_block(p, page, order);
}

}  // namespace

namespace standin::mem {

int pool_fd() {
  return pool().fd;
}

off_t frame_offset(const struct page* page) {
  Pool& p = pool();
  return static_cast<off_t>(pfn_of(p, page) * PAGE_SIZE);
}

struct page* frame_at(off_t offset) {
  Pool& p = pool();
  if (offset < 0 || static_cast<std::size_t>(offset) >= p.frames * PAGE_SIZE) return nullptr;
  return &p.pages[static_cast<std::size_t>(offset) / PAGE_SIZE];
}

bool in_direct_map(const void* addr) {
  Pool& p = pool();
  auto* a = static_cast<const char*>(addr);
  return a >= p.base && a < p.base + p.frames * PAGE_SIZE;
}

}  // namespace standin::mem

namespace {

struct page* alloc_block(gfp_t gfp_mask, unsigned int order, const void* caller) {
  if (gfp_mask & __GFP_WAIT) standin::lockcheck::might_sleep("alloc_pages", caller);
  if (order > kMaxOrder) return nullptr;
  if (standin::fault::should_fail(standin::fault::Site::page_alloc)) return nullptr;
  Pool& p = pool();
  long pfn;
  {
    std::lock_guard lk(p.mu);
    pfn = __take_block(p, order);
  }
  if (pfn < 0) return nullptr;
  std::size_t frames = std::size_t{1} << order;
  init_frames(p, static_cast<std::size_t>(pfn), order);
  if (gfp_mask & __GFP_ZERO) std::memset(p.base + pfn * PAGE_SIZE, 0, frames * PAGE_SIZE);
  struct page* page = &p.pages[pfn];
  standin::mem::account(standin::mem::Kind::page, static_cast<long>(frames),
                        static_cast<long>(frames * PAGE_SIZE), page, caller);
  return page;
}

}  // namespace

extern "C" {

struct page* alloc_pages(gfp_t gfp_mask, unsigned int order) {
  return alloc_block(gfp_mask, order, STANDIN_CALLER);
}
EXPORT_SYMBOL(alloc_pages);

void __free_pages(struct page* page, unsigned int order) {
  if (!page) return;
  drop_ref(page, "__free_pages", order);
}
EXPORT_SYMBOL(__free_pages);

unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order) {
  struct page* page = alloc_block(gfp_mask, order, STANDIN_CALLER);
  return page ? reinterpret_cast<unsigned long>(page->virtual_) : 0;
}
EXPORT_SYMBOL(__get_free_pages);

unsigned long get_zeroed_page(gfp_t gfp_mask) {
  struct page* page = alloc_block(gfp_mask | __GFP_ZERO, 0, STANDIN_CALLER);
  return page ? reinterpret_cast<unsigned long>(page->virtual_) : 0;
}
EXPORT_SYMBOL(get_zeroed_page);

void free_pages(unsigned long addr, unsigned int order) {
  if (!addr) return;
  drop_ref(virt_to_page(reinterpret_cast<void*>(addr)), "free_pages", order);
}
EXPORT_SYMBOL(free_pages);

void* page_address(struct page* page) {
  Pool& p = pool();
  return p.base + pfn_of(p, page) * PAGE_SIZE;
}
EXPORT_SYMBOL(page_address);

struct page* virt_to_page(const void* addr) {
  Pool& p = pool();
  if (!standin::mem::in_direct_map(addr))
    panic("virt_to_page: %p is not in the kernel's direct map", addr);
  return &p.pages[static_cast<std::size_t>(static_cast<const char*>(addr) - p.base) / PAGE_SIZE];
}
EXPORT_SYMBOL(virt_to_page);

void get_page(struct page* page) {
  Pool& p = pool();
  block_order(p, page, "get_page");
  if (atomic_add_return(1, &page->_count) <= 1)
    panic("get_page: page %p had no reference", static_cast<void*>(page));
}
EXPORT_SYMBOL(get_page);

void put_page(struct page* page) {
  drop_ref(page, "put_page", -1);
}
EXPORT_SYMBOL(put_page);

void* kmap(struct page* page) {
  standin::lockcheck::might_sleep("kmap", STANDIN_CALLER);
  return page_address(page);
}
EXPORT_SYMBOL(kmap);

void kunmap(struct page* page) {
  pfn_of(pool(), page);
}
EXPORT_SYMBOL(kunmap);

}  // extern "C"
