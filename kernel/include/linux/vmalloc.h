#ifndef _LINUX_VMALLOC_H
#define _LINUX_VMALLOC_H

#include <linux/types.h>

__KERNEL_BEGIN_DECLS
/* Virtually contiguous memory; may sleep. */
void *vmalloc(unsigned long size);
void vfree(void *addr);
__KERNEL_END_DECLS

#endif
