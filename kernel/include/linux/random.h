#ifndef _LINUX_RANDOM_H
#define _LINUX_RANDOM_H

#include <linux/types.h>

__KERNEL_BEGIN_DECLS
void get_random_bytes(void *buf, int nbytes);
__KERNEL_END_DECLS

#endif
