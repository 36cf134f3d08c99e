// kmalloc and vmalloc on the C library's allocator, so that the address
// sanitizer sees every overflow; every object is tracked, so a double free
// or a foreign pointer stops the kernel with a message.
#include <cstdlib>
#include <cstring>

#include "internal.h"

#include <linux/version.h>

#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <asm/page.h>

using standin::mem::Kind;

namespace {

// The largest object the general caches of a 2.6 kernel hold.
constexpr size_t kKmallocMax = 128 * 1024;

void* kmalloc_at(size_t size, gfp_t flags, const void* caller) {
  if (flags & __GFP_WAIT) standin::lockcheck::might_sleep("kmalloc", caller);
  if (size > kKmallocMax) return nullptr;
  if (standin::fault::should_fail(standin::fault::Site::kmalloc)) return nullptr;
  void* p = std::malloc(size ? size : 1);
  if (!p) return nullptr;
  if (flags & __GFP_ZERO) std::memset(p, 0, size);
  standin::mem::track(Kind::kmalloc, p, static_cast<long>(size), caller);
  return p;
}

}  // namespace

extern "C" {

void* kmalloc(size_t size, gfp_t flags) {
  return kmalloc_at(size, flags, STANDIN_CALLER);
}
EXPORT_SYMBOL(kmalloc);

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,14)
void* kzalloc(size_t size, gfp_t flags) {
  return kmalloc_at(size, flags | __GFP_ZERO, STANDIN_CALLER);
}
EXPORT_SYMBOL(kzalloc);
#endif

void* kcalloc(size_t n, size_t size, gfp_t flags) {
  if (size != 0 && n > kKmallocMax / size) return nullptr;
  return kmalloc_at(n * size, flags | __GFP_ZERO, STANDIN_CALLER);
}
EXPORT_SYMBOL(kcalloc);

void kfree(const void* objp) {
  if (!objp) return;
  if (!standin::mem::untrack(Kind::kmalloc, objp))
    panic("kfree: %p is not a live kmalloc object (double free or foreign pointer), freed from %p",
          objp, STANDIN_CALLER);
  std::free(const_cast<void*>(objp));
}
EXPORT_SYMBOL(kfree);

void* vmalloc(unsigned long size) {
  standin::lockcheck::might_sleep("vmalloc", STANDIN_CALLER);
  if (size == 0) return nullptr;
  if (standin::fault::should_fail(standin::fault::Site::vmalloc)) return nullptr;
  void* p = nullptr;
  if (posix_memalign(&p, PAGE_SIZE, size) != 0) return nullptr;
  standin::mem::track(Kind::vmalloc, p, static_cast<long>(size), STANDIN_CALLER);
  return p;
}
EXPORT_SYMBOL(vmalloc);

void vfree(void* addr) {
  if (!addr) return;
  if (!standin::mem::untrack(Kind::vmalloc, addr))
    panic("vfree: %p is not a live vmalloc area (double free or foreign pointer), freed from %p",
          addr, STANDIN_CALLER);
  std::free(addr);
}
EXPORT_SYMBOL(vfree);

}  // extern "C"

namespace standin::mem {

long kmalloc_size(const void* obj) {
  return tracked_bytes(Kind::kmalloc, obj);
}

}  // namespace standin::mem
