/*
 * Counted users, and allocations retried until given.
 *
 * Counted users guard a table, a map or a session record that readers use
 * without sleeping locks: a count that rests at 1 and a spin lock taken
 * with interrupts off.  A reader enters (the count goes up under the lock,
 * so it cannot enter during a drain) and leaves (the count goes down, no
 * lock).  A writer drains: it takes the lock, and when it finds nobody else
 * inside it returns still holding it, interrupts saved into *flags; no
 * reader can enter until the writer gives the lock back with
 * spin_unlock_irqrestore, and the writer must not sleep until then.
 * Otherwise it gives the lock back, yields and tries again.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/buffer_head.h>
#include <linux/bio.h>
#include <asm/atomic.h>

#include "cgdlib.h"

void enterUsers(atomic_t *users, spinlock_t *lock)
{
	unsigned long flags;

	spin_lock_irqsave(lock, flags);
	atomic_inc(users);
	spin_unlock_irqrestore(lock, flags);
}

void leaveUsers(atomic_t *users)
{
	atomic_dec(users);
}

void drainUsers(atomic_t *users, spinlock_t *lock, unsigned long *flags)
{
	unsigned long f;

	for (;;) {
		spin_lock_irqsave(lock, f);
		if (atomic_dec_return(users) == 0) {
			atomic_inc(users);
			*flags = f;
			return;
		}
		atomic_inc(users);
		spin_unlock_irqrestore(lock, f);
		schedule();
	}
}

/*
 * The allocations below are made on the write path or for a read that
 * must not be left half built: without starting I/O (GFP_NOIO), retried
 * after yielding until one is given.  May sleep.
 */
void *allocUntilGiven(size_t size)
{
	void *p;

	while ((p = kmalloc(size, GFP_NOIO)) == NULL)
		schedule();
	memset(p, 0, size);
	return p;
}

struct buffer_head *allocBHUntilGiven(void)
{
	struct buffer_head *bh;

	while ((bh = alloc_buffer_head(GFP_NOIO)) == NULL)
		schedule();
	return bh;
}

/* A one-segment bio. */
struct bio *allocBIOUntilGiven(void)
{
	struct bio *bio;

	while ((bio = bio_alloc(GFP_NOIO, 1)) == NULL)
		schedule();
	return bio;
}
