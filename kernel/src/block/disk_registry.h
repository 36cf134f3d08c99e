// Numbers of a disk being added or removed (bdev.cpp).
#pragma once

#include "block/block_internal.h"

namespace standin::blk {

// Reserves the disk's minor range (cfg.first_minor, or the next free one)
// and names it.  Fills major, first_minor, minors and disk_name of d->disk.
// 0, -EBUSY or -ENOSPC.
int register_numbers(DiskState* d, const block::DiskConfig& cfg, int minors);
// Forgets the numbers: opens of them fail with -ENXIO from now on.
void unregister_numbers(DiskState* d);

}  // namespace standin::blk
