#ifndef _LINUX_GFP_H
#define _LINUX_GFP_H

#include <linux/types.h>

#define __GFP_DMA 0x01u
#define __GFP_HIGHMEM 0x02u
#define __GFP_WAIT 0x10u	/* may sleep */
#define __GFP_HIGH 0x20u	/* may use emergency pools */
#define __GFP_IO 0x40u		/* may start physical I/O */
#define __GFP_FS 0x80u		/* may call into the file system */
#define __GFP_COLD 0x100u
#define __GFP_NOWARN 0x200u
#define __GFP_REPEAT 0x400u
#define __GFP_NOFAIL 0x800u
#define __GFP_NORETRY 0x1000u
#define __GFP_ZERO 0x8000u

#define GFP_ATOMIC (__GFP_HIGH)
#define GFP_NOIO (__GFP_WAIT)
#define GFP_NOFS (__GFP_WAIT | __GFP_IO)
#define GFP_KERNEL (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_USER (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_HIGHUSER (__GFP_WAIT | __GFP_IO | __GFP_FS | __GFP_HIGHMEM)

struct page;

__KERNEL_BEGIN_DECLS
/* 2^order physically contiguous pages, or NULL. */
struct page *alloc_pages(gfp_t gfp_mask, unsigned int order);
void __free_pages(struct page *page, unsigned int order);
unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order);
unsigned long get_zeroed_page(gfp_t gfp_mask);
void free_pages(unsigned long addr, unsigned int order);
__KERNEL_END_DECLS

#define alloc_page(gfp_mask) alloc_pages((gfp_mask), 0)
#define __get_free_page(gfp_mask) __get_free_pages((gfp_mask), 0)
#define __free_page(page) __free_pages((page), 0)
#define free_page(addr) free_pages((addr), 0)

#endif
