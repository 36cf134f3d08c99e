// Accounting of everything the stand-in kernel hands out, for leak checks.
#pragma once
#include <string>

struct kmem_cache;

namespace standin::mem {

enum class Kind {
  kmalloc,      // kmalloc/kzalloc/kcalloc objects
  vmalloc,      // vmalloc areas
  page,         // page frames (a higher-order block counts each frame)
  slab_object,  // objects of all kmem caches
  slab_cache,   // live kmem caches
  buffer_head,  // alloc_buffer_head
  bio,          // bio_alloc
  bdev_ref,     // bdget references not yet put
  kthread,      // kernel threads that have not ended
  vm_area,      // device mappings of user programs not yet unmapped
  count_        // number of kinds
};

const char* name(Kind k);

struct Usage {
  long count[static_cast<int>(Kind::count_)] = {};  // live objects of each kind
  long bytes[static_cast<int>(Kind::count_)] = {};  // live bytes where it applies
  unsigned long long serial = 0;  // allocations recorded before this snapshot
  long live(Kind k) const { return count[static_cast<int>(k)]; }
};

Usage usage();

// The size a live kmalloc object was asked for (-1 when obj is none).
long kmalloc_size(const void* obj);
// The name a kmem cache was created with.
const char* cache_name(const struct kmem_cache* cache);
// What is live now that was not live in `before`, one line per kind that grew,
// then one line per live allocation made since (kind, size, the caller's
// symbol).  Empty when nothing leaked.
std::string leak_report(const Usage& before);

}  // namespace standin::mem
