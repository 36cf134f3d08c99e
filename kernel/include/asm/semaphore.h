#ifndef _ASM_SEMAPHORE_H
#define _ASM_SEMAPHORE_H

#include <linux/compiler.h>
#include <linux/lockdep.h>

/*
 * Counting semaphores.  down() and down_interruptible() may sleep;
 * down_interruptible() returns -EINTR when a signal that the task accepts is
 * pending; down_trylock() returns 0 when it took the semaphore, 1 otherwise.
 * A semaphore that is released by the task that took it is checked as a lock
 * (ordering against other locks); one released by another task is a counter.
 */
struct semaphore {
	int count;
	int sleepers;
	struct lockdep_map dep_map;
};

#define __SEMAPHORE_INITIALIZER(name, n) { (n), 0, __standin_lock_map_init(#name) }
#define __DECLARE_SEMAPHORE_GENERIC(name, count) \
	struct semaphore name = __SEMAPHORE_INITIALIZER(name, count)
#define DECLARE_MUTEX(name) __DECLARE_SEMAPHORE_GENERIC(name, 1)
#define DECLARE_MUTEX_LOCKED(name) __DECLARE_SEMAPHORE_GENERIC(name, 0)

/* Inline, as in the kernel; the lock class is named after the expression. */
#define sema_init(sem, val) \
	do { \
		(sem)->count = (val); \
		(sem)->sleepers = 0; \
		(sem)->dep_map.name = __standin_lock_name(#sem); \
	} while (0)

__KERNEL_BEGIN_DECLS
void down(struct semaphore *sem);
int down_interruptible(struct semaphore *sem);
int down_trylock(struct semaphore *sem);
void up(struct semaphore *sem);
__KERNEL_END_DECLS

#define init_MUTEX(sem) sema_init((sem), 1)
#define init_MUTEX_LOCKED(sem) sema_init((sem), 0)

#endif
