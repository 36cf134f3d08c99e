#ifndef _LINUX_RWSEM_H
#define _LINUX_RWSEM_H

#include <linux/compiler.h>
#include <linux/lockdep.h>

/*
 * Read-write semaphores.  Both sides may sleep.  A waiting writer blocks new
 * readers, so a steady stream of readers cannot starve writers; waiters are
 * served in arrival order.
 */
struct rw_semaphore {
	long activity;		/* > 0: readers inside; -1: a writer inside */
	int wait_readers;
	int wait_writers;
	unsigned long ticket_next;
	unsigned long ticket_serve;
	struct lockdep_map dep_map;
};

#define __RWSEM_INITIALIZER(name) { 0, 0, 0, 0, 0, __standin_lock_map_init(#name) }
#define DECLARE_RWSEM(name) struct rw_semaphore name = __RWSEM_INITIALIZER(name)

/* Inline; the lock class is named after the expression. */
#define init_rwsem(sem) \
	do { \
		(sem)->activity = 0; \
		(sem)->wait_readers = 0; \
		(sem)->wait_writers = 0; \
		(sem)->ticket_next = 0; \
		(sem)->ticket_serve = 0; \
		(sem)->dep_map.name = __standin_lock_name(#sem); \
	} while (0)

__KERNEL_BEGIN_DECLS
void down_read(struct rw_semaphore *sem);
int down_read_trylock(struct rw_semaphore *sem);
void up_read(struct rw_semaphore *sem);
void down_write(struct rw_semaphore *sem);
int down_write_trylock(struct rw_semaphore *sem);
void up_write(struct rw_semaphore *sem);
void downgrade_write(struct rw_semaphore *sem);
__KERNEL_END_DECLS


#endif
