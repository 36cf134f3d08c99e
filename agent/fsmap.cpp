#include "fsmap.h"

#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace cowguard::agent {

namespace {

// What one open channel reads from.
struct Source {
  const SnapshotReader* read;
  std::uint64_t device_bytes;
  std::string error;  // the last read failure, for the note
};

// The source for the channel being opened (ext2fs_open passes only a name).
thread_local Source* g_opening = nullptr;

errcode_t snap_open(const char* name, int flags, io_channel* channel);
errcode_t snap_close(io_channel channel);
errcode_t snap_set_blksize(io_channel channel, int blksize);
errcode_t snap_read_blk64(io_channel channel, unsigned long long block, int count, void* data);
errcode_t snap_read_blk(io_channel channel, unsigned long block, int count, void* data) {
  return snap_read_blk64(channel, block, count, data);
}
errcode_t snap_write_blk64(io_channel, unsigned long long, int, const void*) { return EXT2_ET_OP_NOT_SUPPORTED; }
errcode_t snap_write_blk(io_channel, unsigned long, int, const void*) { return EXT2_ET_OP_NOT_SUPPORTED; }
errcode_t snap_flush(io_channel) { return 0; }
errcode_t snap_set_option(io_channel, const char*, const char*) { return EXT2_ET_INVALID_ARGUMENT; }

struct_io_manager make_manager() {
  struct_io_manager m;
  std::memset(&m, 0, sizeof m);
  m.magic = EXT2_ET_MAGIC_IO_MANAGER;
  m.name = "cowguard snapshot I/O manager";
  m.open = snap_open;
  m.close = snap_close;
  m.set_blksize = snap_set_blksize;
  m.read_blk = snap_read_blk;
  m.write_blk = snap_write_blk;
  m.flush = snap_flush;
  m.set_option = snap_set_option;
  m.read_blk64 = snap_read_blk64;
  m.write_blk64 = snap_write_blk64;
  return m;
}

struct_io_manager g_manager = make_manager();

errcode_t snap_open(const char* name, int flags, io_channel* channel) {
  if (!g_opening || (flags & IO_FLAG_RW)) return EXT2_ET_BAD_DEVICE_NAME;
  auto* ch = static_cast<io_channel>(std::calloc(1, sizeof(struct struct_io_channel)));
  if (!ch) return EXT2_ET_NO_MEMORY;
  ch->name = strdup(name ? name : "snapshot");
  if (!ch->name) {
    std::free(ch);
    return EXT2_ET_NO_MEMORY;
  }
  ch->magic = EXT2_ET_MAGIC_IO_CHANNEL;
  ch->manager = &g_manager;
  ch->block_size = 1024;
  ch->refcount = 1;
  ch->flags = flags;
  ch->private_data = g_opening;
  *channel = ch;
  return 0;
}

errcode_t snap_close(io_channel channel) {
  if (--channel->refcount > 0) return 0;
  std::free(channel->name);
  std::free(channel);
  return 0;
}

errcode_t snap_set_blksize(io_channel channel, int blksize) {
  if (blksize <= 0) return EXT2_ET_INVALID_ARGUMENT;
  channel->block_size = blksize;
  return 0;
}

errcode_t snap_read_blk64(io_channel channel, unsigned long long block, int count, void* data) {
  auto* src = static_cast<Source*>(channel->private_data);
  // A negative count is a byte count.
  std::uint64_t len = count < 0 ? static_cast<std::uint64_t>(-static_cast<long long>(count))
                                : static_cast<std::uint64_t>(count) * static_cast<unsigned>(channel->block_size);
  std::uint64_t off = block * static_cast<unsigned>(channel->block_size);
  if (off > src->device_bytes || len > src->device_bytes - off) return EXT2_ET_SHORT_READ;
  try {
    (*src->read)(off, data, static_cast<std::size_t>(len));
  } catch (const std::bad_alloc&) {
    return EXT2_ET_NO_MEMORY;
  } catch (const std::exception& e) {
    src->error = e.what();
    return EXT2_ET_SHORT_READ;
  }
  return 0;
}

// Closes the file system however the reading ends.
struct FsCloser {
  ext2_filsys fs = nullptr;
  ~FsCloser() {
    if (fs) ext2fs_close_free(&fs);
  }
};

std::string ext_error(const char* what, errcode_t err, const Source& src) {
  std::string s = std::string(what) + ": " + error_message(err);
  if (!src.error.empty()) s += " (" + src.error + ")";
  return s;
}

}  // namespace

UsedBlocks used_blocks(const SnapshotReader& read, std::uint64_t device_bytes, std::uint32_t block_size,
                       std::uint32_t total_blocks) {
  static const bool tables = [] {
    initialize_ext2_error_table();
    return true;
  }();
  (void)tables;
  UsedBlocks out;
  Source src{&read, device_bytes, {}};
  FsCloser fs;
  g_opening = &src;
  errcode_t err = ext2fs_open2("cowguard-snapshot", nullptr,
                               EXT2_FLAG_64BITS | EXT2_FLAG_SKIP_MMP | EXT2_FLAG_IGNORE_CSUM_ERRORS, 0, 0,
                               &g_manager, &fs.fs);
  g_opening = nullptr;
  if (err) {
    fs.fs = nullptr;
    out.note = ext_error("no ext2/3/4 file system could be opened", err, src);
    return out;
  }
  if (fs.fs->blocksize != block_size) {
    out.note = "the ext file system's block size " + std::to_string(fs.fs->blocksize) +
               " differs from the mounted block size " + std::to_string(block_size);
    return out;
  }
  err = ext2fs_read_block_bitmap(fs.fs);
  if (err) {
    out.note = ext_error("the block bitmaps could not be read", err, src);
    return out;
  }
  BlockBitmap map(total_blocks);
  const blk64_t first = fs.fs->super->s_first_data_block;
  const blk64_t end = std::min<blk64_t>(ext2fs_blocks_count(fs.fs->super), total_blocks);
  // With 1024-byte blocks the groups start at block 1: block 0 holds the
  // boot block and the super block's first bytes and is always taken.
  for (blk64_t b = 0; b < first && b < end; b++) map.set(static_cast<std::uint32_t>(b));
  for (blk64_t b = first; b < end; b++)
    if (ext2fs_test_block_bitmap2(fs.fs->block_map, b)) map.set(static_cast<std::uint32_t>(b));
  out.note = "ext file system: " + std::to_string(map.count()) + " of " +
             std::to_string(ext2fs_blocks_count(fs.fs->super)) + " blocks in use";
  out.map = std::move(map);
  return out;
}

std::optional<std::string> ext_uuid(const SnapshotReader& read, std::uint64_t device_bytes) {
  constexpr std::uint64_t kSuper = 1024;  // the super block, whatever the block size
  std::uint8_t sb[1024];
  if (device_bytes < kSuper + sizeof sb) return std::nullopt;
  read(kSuper, sb, sizeof sb);
  if (sb[0x38] != 0x53 || sb[0x39] != 0xef) return std::nullopt;  // s_magic 0xEF53
  const std::uint8_t* u = sb + 0x68;                               // s_uuid
  if (std::all_of(u, u + 16, [](std::uint8_t c) { return c == 0; })) return std::nullopt;
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
                u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return std::string(text);
}

}  // namespace cowguard::agent
