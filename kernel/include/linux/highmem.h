#ifndef _LINUX_HIGHMEM_H
#define _LINUX_HIGHMEM_H

#include <linux/mm.h>

__KERNEL_BEGIN_DECLS
/* Maps a page for kernel access; may sleep.  Every kmap needs its kunmap. */
void *kmap(struct page *page);
void kunmap(struct page *page);
__KERNEL_END_DECLS

#endif
