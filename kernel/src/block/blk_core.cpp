// Submission of bios: generic_make_request (partition remapping, the end of
// the device, resubmission) and submit_bio.
#include <cstdint>

#include "internal.h"
#include "block/block_internal.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/kernel.h>
#include <linux/module.h>

namespace {

void bdev_name(struct block_device* bdev, char* buf, std::size_t len) {
  struct gendisk* g = bdev->bd_disk;
  int partno = g ? static_cast<int>(MINOR(bdev->bd_dev)) - g->first_minor : 0;
  if (!g)
    snprintf(buf, len, "%u:%u", MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
  else if (partno)
    snprintf(buf, len, "%s%d", g->disk_name, partno);
  else
    snprintf(buf, len, "%s", g->disk_name);
}

// Checks the bio against its device and remaps a partition's bio to the
// whole disk, as the kernel does: through the open partition's bd_part,
// without any lock (an open partition cannot be deleted).  Returns the
// queue, or NULL after ending the bio with -EIO.  A bio for a device that
// is not open has no disk to go to: the kernel would oops on it.
request_queue_t* prepare(struct bio* bio) {
  struct block_device* bdev = bio->bi_bdev;
  char name[48];
  if (!bdev || !bdev->bd_disk)
    panic("generic_make_request: bio for block device %u:%u, which is not open",
          bdev ? MAJOR(bdev->bd_dev) : 0, bdev ? MINOR(bdev->bd_dev) : 0);
  request_queue_t* q = bdev->bd_disk->queue;
  auto* d = static_cast<standin::block::DiskState*>(bdev->bd_disk->standin);
  if (!q || d->dead.load()) {
    bdev_name(bdev, name, sizeof(name));
    printk(KERN_ERR "generic_make_request: Trying to access nonexistent block-device %s (%llu)\n",
           name, static_cast<unsigned long long>(bio->bi_sector));
    bio_endio(bio, bio->bi_size, -EIO);
    return NULL;
  }
  std::uint64_t len = static_cast<std::uint64_t>(bdev->bd_inode->i_size) >> 9;
  std::uint64_t nr = (bio->bi_size + 511) >> 9;
  if (nr && (bio->bi_sector > len || len - bio->bi_sector < nr)) {
    bdev_name(bdev, name, sizeof(name));
    printk(KERN_INFO "attempt to access beyond end of device\n");
    printk(KERN_INFO "%s: rw=%lu, want=%llu, limit=%llu\n", name, bio->bi_rw,
           static_cast<unsigned long long>(bio->bi_sector + nr),
           static_cast<unsigned long long>(len));
    bio_endio(bio, bio->bi_size, -EIO);
    return NULL;
  }
  if (bdev != bdev->bd_contains) {
    bio->bi_sector += bdev->bd_part->start_sect;
    bio->bi_bdev = bdev->bd_contains;
  }
  return q;
}

}  // namespace

extern "C" {

/*
 * May sleep (as in the kernel, where it may wait for a free request).  The
 * queue's make-request function is read under the queue's lock, the lock
 * under which whoever replaces it stores it.
 */
void generic_make_request(struct bio *bio)
{
	standin::lockcheck::might_sleep("generic_make_request", STANDIN_CALLER);
	int ret;
	do {
		request_queue_t *q = prepare(bio);
		if (!q)
			return;
		unsigned long flags = 0;
		if (q->queue_lock)
			spin_lock_irqsave(q->queue_lock, flags);
		make_request_fn *fn = q->make_request_fn;
		if (q->queue_lock)
			spin_unlock_irqrestore(q->queue_lock, flags);
		if (!fn) {
			printk(KERN_ERR "generic_make_request: queue %p has no make_request_fn\n",
			       (void *)q);
			bio_endio(bio, bio->bi_size, -EIO);
			return;
		}
		ret = fn(q, bio);
	} while (ret);
}
EXPORT_SYMBOL(generic_make_request);

void submit_bio(int rw, struct bio *bio)
{
	bio->bi_rw |= rw;
	generic_make_request(bio);
}
EXPORT_SYMBOL(submit_bio);

}  // extern "C"
