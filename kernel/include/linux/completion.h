#ifndef _LINUX_COMPLETION_H
#define _LINUX_COMPLETION_H

#include <linux/compiler.h>

/* One-shot (or counted) completion events; waiting may sleep. */
struct completion {
	unsigned int done;
};

#define COMPLETION_INITIALIZER(work) { 0 }
#define DECLARE_COMPLETION(work) struct completion work = COMPLETION_INITIALIZER(work)
#define INIT_COMPLETION(x) ((x).done = 0)

static inline void init_completion(struct completion *x)
{
	x->done = 0;
}

__KERNEL_BEGIN_DECLS
void wait_for_completion(struct completion *x);
int wait_for_completion_interruptible(struct completion *x);
void complete(struct completion *x);
void complete_all(struct completion *x);
__KERNEL_END_DECLS

#endif
