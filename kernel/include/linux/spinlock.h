#ifndef _LINUX_SPINLOCK_H
#define _LINUX_SPINLOCK_H

#include <linux/version.h>
#include <linux/compiler.h>
#include <linux/lockdep.h>

/*
 * Spin locks.  Holding one (or having interrupts disabled) makes the task
 * atomic: the stand-in reports any sleeping call made then.  "Interrupts" are
 * per task in the stand-in: disabling them marks the task atomic.
 */
typedef struct {
	volatile unsigned int slock;
	struct lockdep_map dep_map;
} spinlock_t;

#define __standin_spin_lock_unlocked(lockname) { 0, __standin_lock_map_init(#lockname) }
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,18)
#define __SPIN_LOCK_UNLOCKED(lockname) __standin_spin_lock_unlocked(lockname)
#endif
#define SPIN_LOCK_UNLOCKED __standin_spin_lock_unlocked(SPIN_LOCK_UNLOCKED)
#define DEFINE_SPINLOCK(x) spinlock_t x = __standin_spin_lock_unlocked(x)

/* Inline; the lock class is named after the expression. */
#define spin_lock_init(lock) \
	do { \
		__atomic_store_n(&(lock)->slock, 0u, __ATOMIC_RELAXED); \
		(lock)->dep_map.name = __standin_lock_name(#lock); \
	} while (0)
#define spin_is_locked(lock) (__atomic_load_n(&(lock)->slock, __ATOMIC_RELAXED) != 0)

__KERNEL_BEGIN_DECLS
void _spin_lock(spinlock_t *lock);
void _spin_unlock(spinlock_t *lock);
int _spin_trylock(spinlock_t *lock);
void _spin_lock_irq(spinlock_t *lock);
void _spin_unlock_irq(spinlock_t *lock);
unsigned long _spin_lock_irqsave(spinlock_t *lock);
void _spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags);

unsigned long __standin_local_irq_save(void);
void __standin_local_irq_restore(unsigned long flags);
void __standin_local_irq_disable(void);
void __standin_local_irq_enable(void);
int __standin_irqs_disabled(void);
__KERNEL_END_DECLS

#define spin_lock(lock) _spin_lock(lock)
#define spin_unlock(lock) _spin_unlock(lock)
#define spin_trylock(lock) _spin_trylock(lock)
#define spin_lock_irq(lock) _spin_lock_irq(lock)
#define spin_unlock_irq(lock) _spin_unlock_irq(lock)
#define spin_lock_irqsave(lock, flags) do { (flags) = _spin_lock_irqsave(lock); } while (0)
#define spin_unlock_irqrestore(lock, flags) _spin_unlock_irqrestore((lock), (flags))

#define local_irq_save(flags) do { (flags) = __standin_local_irq_save(); } while (0)
#define local_irq_restore(flags) __standin_local_irq_restore(flags)
#define local_irq_disable() __standin_local_irq_disable()
#define local_irq_enable() __standin_local_irq_enable()
#define irqs_disabled() __standin_irqs_disabled()

#endif
