// The blocks a file system uses, read from the snapshot itself: libext2fs
// opens the snapshot through an I/O manager whose reads come from a reader
// the backup gives it (the read-blocks command into a window).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "bitmap.h"

namespace cowguard::agent {

// Copies `len` bytes of the snapshot at byte `offset` into buf; throws on a
// failed read.
using SnapshotReader = std::function<void(std::uint64_t offset, void* buf, std::size_t len)>;

struct UsedBlocks {
  // The used blocks, in units of block_size from the partition's start; none
  // when the file system could not be read as ext2/3/4.
  std::optional<BlockBitmap> map;
  std::string note;  // why there is no map, or what was found
};

// The UUID of the ext2/3/4 file system in the snapshot ("01234567-89ab-...")
// read from its super block; nullopt for another file system or none.
std::optional<std::string> ext_uuid(const SnapshotReader& read, std::uint64_t device_bytes);

// Reads the ext2/3/4 block bitmaps of the snapshot.  total_blocks is the
// size of the wanted map; block_size must be the file system's block size.
UsedBlocks used_blocks(const SnapshotReader& read, std::uint64_t device_bytes,
                       std::uint32_t block_size, std::uint32_t total_blocks);

}  // namespace cowguard::agent
