// MS-DOS partition tables: parsing and rescanning a disk's table.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "block/block_internal.h"

namespace standin::blk {

struct PartEntry {
  int number;  // 1-4 primary (an extended one too), 5... logical
  std::uint64_t start;
  std::uint64_t sectors;
  std::uint8_t type;
};

// Reads one 512-byte sector of the disk: 0 or a negative errno.
using SectorReader = std::function<int(std::uint64_t lba, std::uint8_t* buf)>;

// Parses the table as Linux's msdos code does: primary entries are
// partitions 1-4 (an extended one appears as a 2-sector partition), logical
// partitions in the extended chain are 5, 6, ... up to max_parts.  No
// signature, or a bad boot indicator, means no table (0 and no entries).
// Returns the error of reading sector 0; a broken extended chain ends it.
int parse_msdos(const SectorReader& read, int max_parts, std::vector<PartEntry>* out);

// Replaces the disk's table with the one on the disk, as the kernel's
// rescan_partitions: -EBUSY while a partition of the disk is open; else every
// partition is deleted and the table read again through the queue (an
// unreadable table leaves none).  Caller holds the open whole disk's open
// lock.  0 or -EBUSY.
int rescan_partitions(DiskState* d, struct block_device* whole);
// Adds partition p (start, sectors) to the table, as the kernel's
// add_partition.  Caller holds the whole disk's open lock; p is free.
void add_partition(DiskState* d, int p, std::uint64_t start, std::uint64_t sectors);
// Deletes partition p from the table; its record is freed once no open
// partition device uses it.  Caller holds the whole disk's open lock.
void delete_partition(DiskState* d, int p);

}  // namespace standin::blk
