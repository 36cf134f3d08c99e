#ifndef _LINUX_POLL_H
#define _LINUX_POLL_H

#include <linux/types.h>

#ifndef POLLIN
#define POLLIN 0x0001
#define POLLPRI 0x0002
#define POLLOUT 0x0004
#define POLLERR 0x0008
#define POLLHUP 0x0010
#define POLLNVAL 0x0020
#define POLLRDNORM 0x0040
#define POLLWRNORM 0x0100
#endif

struct file;
/* What a poll file operation may register itself on; unused by the stand-in's callers. */
typedef struct poll_table_struct {
	void *qproc;
} poll_table;

#endif
