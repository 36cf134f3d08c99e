// Buffer heads: allocation, the page they point into, and the buffer lock
// that I/O completion releases and waiters sleep on.
#include <cstdlib>

#include "internal.h"

#include <linux/buffer_head.h>
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/module.h>

namespace {
using standin::mem::Kind;
}

extern "C" {

struct buffer_head *alloc_buffer_head(gfp_t gfp_flags)
{
	if (gfp_flags & __GFP_WAIT)
		standin::lockcheck::might_sleep("alloc_buffer_head", STANDIN_CALLER);
	if (standin::fault::should_fail(standin::fault::Site::bh_alloc))
		return NULL;
	auto *bh = static_cast<struct buffer_head *>(std::calloc(1, sizeof(struct buffer_head)));
	if (!bh)
		return NULL;
	INIT_LIST_HEAD(&bh->b_assoc_buffers);
	standin::mem::track(Kind::buffer_head, bh, sizeof(*bh), STANDIN_CALLER);
	return bh;
}
EXPORT_SYMBOL(alloc_buffer_head);

void free_buffer_head(struct buffer_head *bh)
{
	if (!bh)
		return;
	if (!list_empty(&bh->b_assoc_buffers)) {
		printk(KERN_CRIT "free_buffer_head: buffer %p is still on a list\n", (void *)bh);
		BUG();
	}
	if (!standin::mem::untrack(Kind::buffer_head, bh)) {
		printk(KERN_CRIT "free_buffer_head: %p is not a live buffer head\n", (void *)bh);
		BUG();
	}
	std::free(bh);
}
EXPORT_SYMBOL(free_buffer_head);

void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset)
{
	BUG_ON(offset >= PAGE_SIZE);
	bh->b_page = page;
	bh->b_data = static_cast<char *>(page_address(page)) + offset;
}
EXPORT_SYMBOL(set_bh_page);

void lock_buffer(struct buffer_head *bh)
{
	standin::lockcheck::might_sleep("lock_buffer", STANDIN_CALLER);
	while (test_and_set_bit(BH_Lock, &bh->b_state))
		standin::wait::wait_until(bh, [bh] { return !buffer_locked(bh); });
}
EXPORT_SYMBOL(lock_buffer);

/* May be called from completion context: it only clears the bit and wakes. */
void unlock_buffer(struct buffer_head *bh)
{
	standin::wait::with_lock(bh, [bh] { clear_buffer_locked(bh); });
}
EXPORT_SYMBOL(unlock_buffer);

void wait_on_buffer(struct buffer_head *bh)
{
	standin::lockcheck::might_sleep("wait_on_buffer", STANDIN_CALLER);
	/*
	 * An acquire load: a waiter that finds the buffer unlocked sees what
	 * the completion did before unlocking it (and may free the buffer).
	 */
	if (!(__atomic_load_n(&bh->b_state, __ATOMIC_ACQUIRE) & (1UL << BH_Lock)))
		return;
	standin::wait::wait_until(bh, [bh] { return !buffer_locked(bh); });
}
EXPORT_SYMBOL(wait_on_buffer);

}  // extern "C"
