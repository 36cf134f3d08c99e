// Fault injection in the style of Linux's fault_attr.
#pragma once

namespace standin::fault {

enum class Site {
  kmalloc,        // kmalloc, kzalloc, kcalloc
  vmalloc,
  slab_alloc,     // kmem_cache_alloc
  slab_create,    // kmem_cache_create
  page_alloc,     // alloc_pages and friends
  kthread,        // kernel_thread
  bio_alloc,
  bh_alloc,       // alloc_buffer_head
  // Bios reaching a disk's make-request function (every disk counts; a
  // refused bio does not), in the manner of fail_make_request:
  disk_read,      // a read bio ends with -EIO, nothing transferred
  disk_write,     // a write bio ends with -EIO, nothing written
  disk_partial,   // a bio ends in two parts: its first half done, the rest -EIO
  disk_notsupp,   // a bio ends at once with -EOPNOTSUPP
  count_
};

struct Attr {
  long nth = 0;       // fail the nth call counted from set() (1 = the next); 0: off
  long interval = 0;  // fail every interval-th call counted from set(); 0: off
  long times = -1;    // at most this many failures; -1: no limit
  // For slab_alloc and slab_create: only caches whose name starts with this.
  const char* name_prefix = nullptr;
};

// Arms a site; replaces an earlier setting and restarts its counters.
void set(Site site, const Attr& attr);
void clear(Site site);
void clear_all();
// Calls seen and failures injected at a site since it was last set.
long calls(Site site);
long failures(Site site);

}  // namespace standin::fault
