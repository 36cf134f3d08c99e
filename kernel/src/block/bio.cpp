// bios: allocation with one reference, reference counting and completion.
//
// bio_alloc takes its bios from the kernel's bio pool, as 2.6 does: a mask
// that may wait (__GFP_WAIT, which GFP_NOIO has) never gets NULL, it waits
// for a bio to come back to the pool instead.  Memory is plentiful until a
// test sets a reserve (set_bio_reserve): then at most that many bios of
// bio_alloc are live at once, a caller that may wait sleeps until one is
// freed, and one that may not gets NULL.  So a caller that keeps the bios
// it allocated while it allocates more can hang, as it can in the kernel
// when memory is short.  Fault injection fails an allocation whatever the
// mask.
#include <cstddef>
#include <cstdlib>

#include "internal.h"
#include "block/block_internal.h"

#include <asm/bitops.h>
#include <linux/bio.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>

namespace {

using standin::mem::Kind;

// A bio and its vectors in one allocation.
struct BioBox {
  bool pooled;  // came from bio_alloc: counts against the reserve
  struct bio bio;
  struct bio_vec vecs[];
};

// The pool's state; changed under the wait bucket of pool_live.
long pool_live = 0;
long pool_reserve = -1;  // -1: no memory pressure

BioBox* box_of(struct bio* bio)
{
	return reinterpret_cast<BioBox*>(reinterpret_cast<char*>(bio) - offsetof(BioBox, bio));
}

// Takes a place in the pool; false when none is free and the caller may not wait.
bool pool_take(bool may_wait)
{
	bool got = false;
	auto take = [&] {
		if (pool_reserve < 0 || pool_live < pool_reserve) {
			pool_live++;
			got = true;
		}
		return got;
	};
	if (may_wait)
		standin::wait::wait_until(&pool_live, take);
	else
		standin::wait::with_lock(&pool_live, [&] { take(); });
	return got;
}

void pool_give()
{
	standin::wait::with_lock(&pool_live, [] { pool_live--; });
}

struct bio* new_bio(int nr_iovecs, bool pooled, const void* caller)
{
	if (nr_iovecs < 0)
		nr_iovecs = 0;
	std::size_t bytes = sizeof(BioBox) + sizeof(struct bio_vec) * nr_iovecs;
	auto* box = static_cast<BioBox*>(std::calloc(1, bytes));
	if (!box)
		return nullptr;
	box->pooled = pooled;
	struct bio* bio = &box->bio;
	bio->bi_flags = 1UL << BIO_UPTODATE;
	bio->bi_max_vecs = nr_iovecs;
	bio->bi_io_vec = nr_iovecs ? box->vecs : nullptr;
	atomic_set(&bio->bi_cnt, 1);
	standin::mem::track(Kind::bio, bio, static_cast<long>(bytes), caller);
	return bio;
}

}  // namespace

struct bio* standin::blk::alloc_bio_internal(int nr_iovecs)
{
	return new_bio(nr_iovecs, false, STANDIN_CALLER);
}

namespace standin::block {

void set_bio_reserve(long bios)
{
	standin::wait::with_lock(&pool_live, [bios] { pool_reserve = bios; });
}

}  // namespace standin::block

extern "C" {

struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs)
{
	if (gfp_mask & __GFP_WAIT)
		standin::lockcheck::might_sleep("bio_alloc", STANDIN_CALLER);
	if (standin::fault::should_fail(standin::fault::Site::bio_alloc))
		return NULL;
	if (!pool_take(gfp_mask & __GFP_WAIT))
		return NULL;
	struct bio *bio = new_bio(nr_iovecs, true, STANDIN_CALLER);
	if (!bio)
		pool_give();
	return bio;
}
EXPORT_SYMBOL(bio_alloc);

/* Drops a reference; the last one calls bi_destructor (if set) and frees. */
void bio_put(struct bio *bio)
{
	int left = atomic_sub_return(1, &bio->bi_cnt);
	if (left < 0) {
		printk(KERN_CRIT "bio_put: bio %p has no reference left\n", (void *)bio);
		BUG();
	}
	if (left > 0)
		return;
	if (bio->bi_destructor)
		bio->bi_destructor(bio);
	if (!standin::mem::untrack(Kind::bio, bio)) {
		printk(KERN_CRIT "bio_put: %p is not a live bio\n", (void *)bio);
		BUG();
	}
	BioBox *box = box_of(bio);
	if (box->pooled)
		pool_give();
	std::free(box);
}
EXPORT_SYMBOL(bio_put);

void bio_endio(struct bio *bio, unsigned int bytes_done, int error)
{
	if (error)
		clear_bit(BIO_UPTODATE, &bio->bi_flags);
	else if (!bio_flagged(bio, BIO_UPTODATE))
		error = -EIO;

	if (bytes_done > bio->bi_size) {
		printk(KERN_ERR "bio_endio: want %u bytes done, only %u left\n", bytes_done,
		       bio->bi_size);
		bytes_done = bio->bi_size;
	}
	bio->bi_size -= bytes_done;
	bio->bi_sector += bytes_done >> 9;
	if (bio->bi_end_io)
		bio->bi_end_io(bio, bytes_done, error);
}
EXPORT_SYMBOL(bio_endio);

}  // extern "C"
