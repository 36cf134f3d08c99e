#ifndef _LINUX_SLAB_H
#define _LINUX_SLAB_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/gfp.h>

struct kmem_cache;
typedef struct kmem_cache kmem_cache_t;

#define SLAB_DEBUG_FREE 0x00000100UL
#define SLAB_RED_ZONE 0x00000400UL
#define SLAB_POISON 0x00000800UL
#define SLAB_NO_REAP 0x00001000UL
#define SLAB_HWCACHE_ALIGN 0x00002000UL
#define SLAB_CACHE_DMA 0x00004000UL
#define SLAB_PANIC 0x00040000UL

/* Flags passed to a cache's constructor and destructor. */
#define SLAB_CTOR_CONSTRUCTOR 0x001UL
#define SLAB_CTOR_ATOMIC 0x002UL
#define SLAB_CTOR_VERIFY 0x004UL

__KERNEL_BEGIN_DECLS
/*
 * Named object caches.  Creation may sleep and fails (NULL) for a name that
 * a live cache already has.  Destroying a cache that still has objects
 * fails with 1 and logs the leak.
 */
kmem_cache_t *kmem_cache_create(const char *name, size_t size, size_t align,
				unsigned long flags,
				void (*ctor)(void *, kmem_cache_t *, unsigned long),
				void (*dtor)(void *, kmem_cache_t *, unsigned long));
int kmem_cache_destroy(kmem_cache_t *cachep);
void *kmem_cache_alloc(kmem_cache_t *cachep, gfp_t flags);
void kmem_cache_free(kmem_cache_t *cachep, void *objp);
unsigned int kmem_cache_size(kmem_cache_t *cachep);
#if LINUX_VERSION_CODE > KERNEL_VERSION(2,6,12)	/* not in 2.6.12 */
const char *kmem_cache_name(kmem_cache_t *cachep);
#endif

void *kmalloc(size_t size, gfp_t flags);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,14)
void *kzalloc(size_t size, gfp_t flags);
#endif
void *kcalloc(size_t n, size_t size, gfp_t flags);
void kfree(const void *objp);
__KERNEL_END_DECLS

#endif
