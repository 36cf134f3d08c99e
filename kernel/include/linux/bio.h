#ifndef _LINUX_BIO_H
#define _LINUX_BIO_H

#include <linux/types.h>
#include <linux/gfp.h>
#include <asm/atomic.h>

struct page;
struct block_device;
struct bio;

struct bio_vec {
	struct page *bv_page;
	unsigned int bv_len;
	unsigned int bv_offset;
};

/* Called as I/O completes: bytes_done of the bio's bi_size are done. */
typedef int (bio_end_io_t)(struct bio *, unsigned int, int);
typedef void (bio_destructor_t)(struct bio *);

struct bio {
	sector_t bi_sector;
	struct bio *bi_next;
	struct block_device *bi_bdev;
	unsigned long bi_flags;		/* BIO_* state bits */
	unsigned long bi_rw;		/* bits 0-1: READ, WRITE, READA */
	unsigned short bi_vcnt;
	unsigned short bi_idx;
	unsigned short bi_phys_segments;
	unsigned short bi_hw_segments;
	unsigned int bi_size;		/* bytes still to do */
	unsigned int bi_max_vecs;
	struct bio_vec *bi_io_vec;
	bio_end_io_t *bi_end_io;
	atomic_t bi_cnt;
	void *bi_private;
	bio_destructor_t *bi_destructor;
};

/* bi_flags bits */
#define BIO_UPTODATE 0
#define BIO_RW_BLOCK 1
#define BIO_EOF 2
#define BIO_SEG_VALID 3
#define BIO_CLONED 4
#define BIO_BOUNCED 5
#define BIO_USER_MAPPED 6
#define BIO_EOPNOTSUPP 7
#define bio_flagged(bio, flag) (((bio)->bi_flags & (1UL << (flag))) != 0)

/* bi_rw bits */
#define BIO_RW 0
#define BIO_RW_AHEAD 1
#define BIO_RW_BARRIER 2
#define BIO_RW_SYNC 4

#define bio_data_dir(bio) ((bio)->bi_rw & 1)
#define bio_sectors(bio) ((bio)->bi_size >> 9)
#define bio_iovec_idx(bio, idx) (&((bio)->bi_io_vec[(idx)]))
#define bio_get(bio) atomic_inc(&(bio)->bi_cnt)

__KERNEL_BEGIN_DECLS
/* A bio with room for nr_iovecs segments and one reference, or NULL. */
struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs);
void bio_put(struct bio *bio);
/* Completes bytes_done bytes; calls bi_end_io. error < 0 clears BIO_UPTODATE. */
void bio_endio(struct bio *bio, unsigned int bytes_done, int error);
__KERNEL_END_DECLS

#endif
