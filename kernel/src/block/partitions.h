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

// Re-reads the disk's table (see Disk::rescan).
int rescan_disk(DiskState* d);

}  // namespace standin::blk
