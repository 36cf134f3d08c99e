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

#define __RWSEM_INITIALIZER(name) { 0, 0, 0, 0, 0, __LOCKDEP_MAP_INIT(#name) }
#define DECLARE_RWSEM(name) struct rw_semaphore name = __RWSEM_INITIALIZER(name)

__KERNEL_BEGIN_DECLS
void __init_rwsem(struct rw_semaphore *sem, const char *name);
void down_read(struct rw_semaphore *sem);
int down_read_trylock(struct rw_semaphore *sem);
void up_read(struct rw_semaphore *sem);
void down_write(struct rw_semaphore *sem);
int down_write_trylock(struct rw_semaphore *sem);
void up_write(struct rw_semaphore *sem);
void downgrade_write(struct rw_semaphore *sem);
__KERNEL_END_DECLS

#define init_rwsem(sem) __init_rwsem((sem), __LOCKDEP_NAME(#sem))

#endif
