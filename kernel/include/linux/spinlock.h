#ifndef _LINUX_SPINLOCK_H
#define _LINUX_SPINLOCK_H

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

#define __SPIN_LOCK_UNLOCKED(lockname) { 0, __LOCKDEP_MAP_INIT(#lockname) }
#define SPIN_LOCK_UNLOCKED { 0, __LOCKDEP_MAP_INIT("SPIN_LOCK_UNLOCKED") }
#define DEFINE_SPINLOCK(x) spinlock_t x = __SPIN_LOCK_UNLOCKED(x)

__KERNEL_BEGIN_DECLS
void __spin_lock_init(spinlock_t *lock, const char *name);
void _spin_lock(spinlock_t *lock);
void _spin_unlock(spinlock_t *lock);
int _spin_trylock(spinlock_t *lock);
void _spin_lock_irq(spinlock_t *lock);
void _spin_unlock_irq(spinlock_t *lock);
unsigned long _spin_lock_irqsave(spinlock_t *lock);
void _spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags);
int _spin_is_locked(spinlock_t *lock);

unsigned long __local_irq_save(void);
void __local_irq_restore(unsigned long flags);
void __local_irq_disable(void);
void __local_irq_enable(void);
int __irqs_disabled(void);
__KERNEL_END_DECLS

#define spin_lock_init(lock) __spin_lock_init((lock), __LOCKDEP_NAME(#lock))
#define spin_lock(lock) _spin_lock(lock)
#define spin_unlock(lock) _spin_unlock(lock)
#define spin_trylock(lock) _spin_trylock(lock)
#define spin_lock_irq(lock) _spin_lock_irq(lock)
#define spin_unlock_irq(lock) _spin_unlock_irq(lock)
#define spin_lock_irqsave(lock, flags) do { (flags) = _spin_lock_irqsave(lock); } while (0)
#define spin_unlock_irqrestore(lock, flags) _spin_unlock_irqrestore((lock), (flags))
#define spin_is_locked(lock) _spin_is_locked(lock)

#define local_irq_save(flags) do { (flags) = __local_irq_save(); } while (0)
#define local_irq_restore(flags) __local_irq_restore(flags)
#define local_irq_disable() __local_irq_disable()
#define local_irq_enable() __local_irq_enable()
#define irqs_disabled() __irqs_disabled()

#endif
