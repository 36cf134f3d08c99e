#ifndef _LINUX_TIME_H
#define _LINUX_TIME_H

#include <linux/types.h>

/* Same layout and guard as the C library's, so that either may come first. */
#ifndef _STRUCT_TIMESPEC
#define _STRUCT_TIMESPEC 1
struct timespec {
	time_t tv_sec;
	long tv_nsec;
};
#endif

#define NSEC_PER_SEC 1000000000L

__KERNEL_BEGIN_DECLS
/* Wall-clock time, normalised (0 <= tv_nsec < NSEC_PER_SEC). */
struct timespec current_kernel_time(void);
__KERNEL_END_DECLS

#endif
