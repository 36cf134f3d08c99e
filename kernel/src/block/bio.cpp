// bios: allocation with one reference, reference counting and completion.
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
  struct bio bio;
  struct bio_vec vecs[];
};

struct bio* new_bio(int nr_iovecs, const void* caller)
{
	if (nr_iovecs < 0)
		nr_iovecs = 0;
	std::size_t bytes = sizeof(BioBox) + sizeof(struct bio_vec) * nr_iovecs;
	auto* box = static_cast<BioBox*>(std::calloc(1, bytes));
	if (!box)
		return nullptr;
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
	return new_bio(nr_iovecs, STANDIN_CALLER);
}

extern "C" {

struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs)
{
	if (gfp_mask & __GFP_WAIT)
		standin::lockcheck::might_sleep("bio_alloc", STANDIN_CALLER);
	if (standin::fault::should_fail(standin::fault::Site::bio_alloc))
		return NULL;
	return new_bio(nr_iovecs, STANDIN_CALLER);
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
	std::free(bio);
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
