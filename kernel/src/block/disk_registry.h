// Numbers and block devices of a disk being added or removed (bdev.cpp).
#pragma once

#include "block/block_internal.h"

namespace standin::blk {

// Reserves the disk's minor range (cfg.first_minor, or the next free one),
// names it and makes a block device for every minor.  Fills major,
// first_minor, minors and disk_name of d->disk.  0, -EBUSY or -ENOSPC.
int register_numbers(DiskState* d, const block::DiskConfig& cfg, int minors);
// Forgets the numbers: bdget of them gives NULL from now on.
void unregister_numbers(DiskState* d);
// Whether the device is a live disk or a partition present in its table.
bool bdev_present(struct block_device* bdev);

}  // namespace standin::blk
