// Named object caches.  Objects come from the C library's allocator with the
// cache's size and alignment exactly; each cache knows its live objects.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "internal.h"

#include <linux/version.h>

#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/slab.h>

using standin::mem::Kind;

struct kmem_cache {
  const char* name;  // the creator's string, as the kernel keeps it
  std::string name_copy;
  size_t size;
  size_t align;
  unsigned long flags;
  void (*ctor)(void*, kmem_cache_t*, unsigned long);
  void (*dtor)(void*, kmem_cache_t*, unsigned long);
  std::mutex mu;
  std::unordered_set<void*> objects;  // protected by mu
};

namespace {

// Live caches.  Protected by mu.
struct CacheChain {
  std::mutex mu;
  std::vector<kmem_cache*> caches;
};

CacheChain& chain() {
  static CacheChain* c = new CacheChain;  // never destroyed
  return *c;
}

size_t object_align(size_t align, unsigned long flags) {
  size_t a = align < sizeof(void*) ? sizeof(void*) : align;
  if ((flags & SLAB_HWCACHE_ALIGN) && a < 64) a = 64;
  while (a & (a - 1)) a++;  // posix_memalign wants a power of two
  return a;
}

}  // namespace

extern "C" {

kmem_cache_t* kmem_cache_create(const char* name, size_t size, size_t align, unsigned long flags,
                                void (*ctor)(void*, kmem_cache_t*, unsigned long),
                                void (*dtor)(void*, kmem_cache_t*, unsigned long)) {
  standin::lockcheck::might_sleep("kmem_cache_create", STANDIN_CALLER);
  if (!name || size == 0) return nullptr;
  if (standin::fault::should_fail(standin::fault::Site::slab_create, name)) return nullptr;
  CacheChain& c = chain();
  std::lock_guard lk(c.mu);
  for (kmem_cache* k : c.caches)
    if (k->name_copy == name) {
      printk("kmem_cache_create: duplicate cache %s\n", name);
      return nullptr;
    }
  auto* k = new kmem_cache;
  k->name = name;
  k->name_copy = name;
  k->size = size;
  k->align = object_align(align, flags);
  k->flags = flags;
  k->ctor = ctor;
  k->dtor = dtor;
  c.caches.push_back(k);
  standin::mem::track(Kind::slab_cache, k, 0, STANDIN_CALLER);
  return k;
}
EXPORT_SYMBOL(kmem_cache_create);

int kmem_cache_destroy(kmem_cache_t* cachep) {
  if (!cachep) panic("kmem_cache_destroy: no cache");
  CacheChain& c = chain();
  std::lock_guard lk(c.mu);
  auto it = std::find(c.caches.begin(), c.caches.end(), cachep);
  if (it == c.caches.end()) panic("kmem_cache_destroy: %p is not a live cache", static_cast<void*>(cachep));
  size_t live;
  {
    std::lock_guard ok(cachep->mu);
    live = cachep->objects.size();
  }
  if (live) {
    // As in the kernel, the cache stays (with its name) when it cannot go.
    printk("<3>kmem_cache_destroy: Can't free all objects %p (cache %s, %zu live)\n",
           static_cast<void*>(cachep), cachep->name_copy.c_str(), live);
    return 1;
  }
  c.caches.erase(it);
  standin::mem::untrack(Kind::slab_cache, cachep);
  delete cachep;
  return 0;
}
EXPORT_SYMBOL(kmem_cache_destroy);

void* kmem_cache_alloc(kmem_cache_t* cachep, gfp_t flags) {
  if (flags & __GFP_WAIT) standin::lockcheck::might_sleep("kmem_cache_alloc", STANDIN_CALLER);
  if (standin::fault::should_fail(standin::fault::Site::slab_alloc, cachep->name_copy.c_str()))
    return nullptr;
  void* obj = nullptr;
  if (posix_memalign(&obj, cachep->align, cachep->size) != 0) return nullptr;
  if (flags & __GFP_ZERO) std::memset(obj, 0, cachep->size);
  if (cachep->ctor) cachep->ctor(obj, cachep, SLAB_CTOR_CONSTRUCTOR);
  {
    std::lock_guard lk(cachep->mu);
    cachep->objects.insert(obj);
  }
  standin::mem::track(Kind::slab_object, obj, static_cast<long>(cachep->size), STANDIN_CALLER);
  return obj;
}
EXPORT_SYMBOL(kmem_cache_alloc);

void kmem_cache_free(kmem_cache_t* cachep, void* objp) {
  bool ours;
  {
    std::lock_guard lk(cachep->mu);
    ours = cachep->objects.erase(objp) == 1;
  }
  if (!ours)
    panic("kmem_cache_free: %p is not a live object of cache %s (double free or wrong cache)",
          objp, cachep->name_copy.c_str());
  if (cachep->dtor) cachep->dtor(objp, cachep, 0);
  standin::mem::untrack(Kind::slab_object, objp);
  std::free(objp);
}
EXPORT_SYMBOL(kmem_cache_free);

unsigned int kmem_cache_size(kmem_cache_t* cachep) {
  return static_cast<unsigned int>(cachep->size);
}
EXPORT_SYMBOL(kmem_cache_size);

#if LINUX_VERSION_CODE > KERNEL_VERSION(2,6,12)	/* not in 2.6.12 */
const char* kmem_cache_name(kmem_cache_t* cachep) {
  return cachep->name;
}
EXPORT_SYMBOL(kmem_cache_name);
#endif

}  // extern "C"

namespace standin::mem {

const char* cache_name(const kmem_cache_t* cache) {
  return cache->name;
}

}  // namespace standin::mem
