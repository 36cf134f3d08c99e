#ifndef _LINUX_BLKDEV_H
#define _LINUX_BLKDEV_H

#include <linux/types.h>
#include <linux/spinlock.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <linux/bio.h>

struct request_queue;
typedef struct request_queue request_queue_t;

/*
 * A queue's make-request function takes a bio for its disk (sectors counted
 * from the start of the whole disk).  Returning non-zero asks
 * generic_make_request to submit the bio again (it may have been remapped).
 */
typedef int (make_request_fn)(request_queue_t *q, struct bio *bio);

struct request_queue {
	::make_request_fn *make_request_fn;	/* the qualified type keeps the member name legal in C++ */
	spinlock_t *queue_lock;		/* guards make_request_fn; may be NULL */
	spinlock_t __queue_lock;
	void *queuedata;
	unsigned long queue_flags;
	void *standin;
};

__KERNEL_BEGIN_DECLS
/* Submits a bio: remaps a partition bio to its disk, then calls the queue's function. */
void generic_make_request(struct bio *bio);
void submit_bio(int rw, struct bio *bio);
request_queue_t *bdev_get_queue(struct block_device *bdev);
__KERNEL_END_DECLS

#endif
