#ifndef _LINUX_MUTEX_H
#define _LINUX_MUTEX_H

#include <linux/version.h>
#include <linux/compiler.h>
#include <linux/lockdep.h>

#if LINUX_VERSION_CODE < KERNEL_VERSION(2,6,16)
#error "struct mutex arrived with 2.6.16; use a semaphore on this kernel line"
#endif

struct task_struct;

/* Sleeping mutual exclusion; only the owner may unlock. */
struct mutex {
	int count;		/* 1: unlocked, 0: locked */
	int waiters;
	struct task_struct *owner;
	struct lockdep_map dep_map;
};

#define __MUTEX_INITIALIZER(lockname) { 1, 0, NULL, __standin_lock_map_init(#lockname) }
#define DEFINE_MUTEX(mutexname) struct mutex mutexname = __MUTEX_INITIALIZER(mutexname)

__KERNEL_BEGIN_DECLS
void __mutex_init(struct mutex *lock, const char *name);
void mutex_lock(struct mutex *lock);
int mutex_lock_interruptible(struct mutex *lock);
int mutex_trylock(struct mutex *lock);
void mutex_unlock(struct mutex *lock);
int mutex_is_locked(struct mutex *lock);
__KERNEL_END_DECLS

#define mutex_init(mutex) __mutex_init((mutex), __standin_lock_name(#mutex))

#endif
