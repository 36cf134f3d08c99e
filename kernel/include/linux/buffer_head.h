#ifndef _LINUX_BUFFER_HEAD_H
#define _LINUX_BUFFER_HEAD_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/gfp.h>
#include <asm/atomic.h>
#include <asm/bitops.h>

struct page;
struct block_device;
struct buffer_head;

enum bh_state_bits {
	BH_Uptodate,
	BH_Dirty,
	BH_Lock,
	BH_Req,
	BH_Mapped,
	BH_New,
	BH_Async_Read,
	BH_Async_Write,
	BH_Delay,
	BH_Boundary,
	BH_Write_EIO,
	BH_Ordered,
	BH_Eopnotsupp,
	BH_PrivateStart,
};

typedef void (bh_end_io_t)(struct buffer_head *bh, int uptodate);

/* One block of a page, as the kernel's buffer cache describes it. */
struct buffer_head {
	unsigned long b_state;
	struct buffer_head *b_this_page;
	struct page *b_page;
	atomic_t b_count;
	u32 b_size;
	sector_t b_blocknr;
	char *b_data;
	struct block_device *b_bdev;
	bh_end_io_t *b_end_io;
	void *b_private;
	struct list_head b_assoc_buffers;
};

#define BUFFER_FNS(bit, name) \
static inline void set_buffer_##name(struct buffer_head *bh) { set_bit(BH_##bit, &(bh)->b_state); } \
static inline void clear_buffer_##name(struct buffer_head *bh) { clear_bit(BH_##bit, &(bh)->b_state); } \
static inline int buffer_##name(const struct buffer_head *bh) { return test_bit(BH_##bit, &(bh)->b_state); }

BUFFER_FNS(Uptodate, uptodate)
BUFFER_FNS(Dirty, dirty)
BUFFER_FNS(Lock, locked)
BUFFER_FNS(Req, req)
BUFFER_FNS(Mapped, mapped)
BUFFER_FNS(New, new)
BUFFER_FNS(Eopnotsupp, eopnotsupp)

static inline void get_bh(struct buffer_head *bh)
{
	atomic_inc(&bh->b_count);
}
static inline void put_bh(struct buffer_head *bh)
{
	atomic_dec(&bh->b_count);
}

__KERNEL_BEGIN_DECLS
struct buffer_head *alloc_buffer_head(gfp_t gfp_flags);
void free_buffer_head(struct buffer_head *bh);
/* Points the buffer at offset of page (b_page, b_data). */
void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset);
/* Takes BH_Lock, sleeping while another holds it. */
void lock_buffer(struct buffer_head *bh);
/* Clears BH_Lock and wakes the waiters. */
void unlock_buffer(struct buffer_head *bh);
/* Sleeps until BH_Lock is clear. */
void wait_on_buffer(struct buffer_head *bh);
__KERNEL_END_DECLS

#endif
