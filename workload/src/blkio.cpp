#include "blkio.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace cowguard::workload {
namespace {

constexpr char kPrefix[] = "standin-dev:";
constexpr std::uint64_t kSector = 512;

struct Channel {
  block::devnum dev = 0;
  bool writable = false;
};

Channel* chan(io_channel c) { return static_cast<Channel*>(c->private_data); }

// Byte range of a block request: count < 0 means -count bytes.
void byte_range(io_channel c, unsigned long long block, int count, std::uint64_t* off,
                std::size_t* len) {
  *off = block * static_cast<std::uint64_t>(c->block_size);
  *len = count < 0 ? static_cast<std::size_t>(-static_cast<long long>(count))
                   : static_cast<std::size_t>(count) * static_cast<std::size_t>(c->block_size);
}

errcode_t io_error(int err) { return err == -ENOMEM ? EXT2_ET_NO_MEMORY : EIO; }

// Reads or writes any byte range: whole sectors go straight to the block
// layer; a range that does not start or end on a sector boundary is read
// into a bounce buffer of whole sectors (and written back for a write).
errcode_t transfer(io_channel c, int rw, std::uint64_t off, std::size_t len, void* data) {
  if (len == 0) return 0;
  block::devnum dev = chan(c)->dev;
  if (off % kSector == 0 && len % kSector == 0) {
    int err = block::rw_sectors(dev, rw, off / kSector, data, len);
    return err ? io_error(err) : 0;
  }
  std::uint64_t first = off / kSector * kSector;
  std::uint64_t end = (off + len + kSector - 1) / kSector * kSector;
  std::vector<std::uint8_t> bounce(end - first);
  int err = block::rw_sectors(dev, 0, first / kSector, bounce.data(), bounce.size());
  if (err) return io_error(err);
  if (rw == 0) {
    std::memcpy(data, bounce.data() + (off - first), len);
    return 0;
  }
  std::memcpy(bounce.data() + (off - first), data, len);
  err = block::rw_sectors(dev, 1, first / kSector, bounce.data(), bounce.size());
  return err ? io_error(err) : 0;
}

errcode_t ch_open(const char* name, int flags, io_channel* out) {
  if (!name || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return EXT2_ET_BAD_DEVICE_NAME;
  char* end = nullptr;
  unsigned long dev = std::strtoul(name + sizeof kPrefix - 1, &end, 10);
  if (!end || *end || block::device_sectors(static_cast<block::devnum>(dev)) == 0)
    return EXT2_ET_BAD_DEVICE_NAME;

  auto* ch = static_cast<io_channel>(std::calloc(1, sizeof(struct struct_io_channel)));
  auto* priv = new (std::nothrow) Channel;
  char* copy = static_cast<char*>(std::malloc(std::strlen(name) + 1));
  if (!ch || !priv || !copy) {
    std::free(ch);
    delete priv;
    std::free(copy);
    return EXT2_ET_NO_MEMORY;
  }
  std::strcpy(copy, name);
  priv->dev = static_cast<block::devnum>(dev);
  priv->writable = flags & IO_FLAG_RW;
  ch->magic = EXT2_ET_MAGIC_IO_CHANNEL;
  ch->manager = standin_io_manager;
  ch->name = copy;
  ch->block_size = 1024;
  ch->refcount = 1;
  ch->private_data = priv;
  *out = ch;
  return 0;
}

errcode_t ch_close(io_channel c) {
  if (--c->refcount > 0) return 0;
  delete chan(c);
  std::free(c->name);
  std::free(c);
  return 0;
}

errcode_t ch_set_blksize(io_channel c, int blksize) {
  if (blksize <= 0) return EXT2_ET_INVALID_ARGUMENT;
  c->block_size = blksize;
  return 0;
}

errcode_t ch_read64(io_channel c, unsigned long long block, int count, void* data) {
  std::uint64_t off;
  std::size_t len;
  byte_range(c, block, count, &off, &len);
  return transfer(c, 0, off, len, data);
}

errcode_t ch_write64(io_channel c, unsigned long long block, int count, const void* data) {
  if (!chan(c)->writable) return EXT2_ET_RO_FILSYS;
  std::uint64_t off;
  std::size_t len;
  byte_range(c, block, count, &off, &len);
  return transfer(c, 1, off, len, const_cast<void*>(data));
}

errcode_t ch_read(io_channel c, unsigned long block, int count, void* data) {
  return ch_read64(c, block, count, data);
}

errcode_t ch_write(io_channel c, unsigned long block, int count, const void* data) {
  return ch_write64(c, block, count, data);
}

errcode_t ch_write_byte(io_channel c, unsigned long offset, int count, const void* data) {
  if (!chan(c)->writable) return EXT2_ET_RO_FILSYS;
  if (count < 0) return EXT2_ET_INVALID_ARGUMENT;
  return transfer(c, 1, offset, static_cast<std::size_t>(count), const_cast<void*>(data));
}

errcode_t ch_flush(io_channel) { return 0; }  // every write is synchronous

errcode_t ch_set_option(io_channel, const char*, const char*) { return EXT2_ET_INVALID_ARGUMENT; }

struct struct_io_manager manager = {
    .magic = EXT2_ET_MAGIC_IO_MANAGER,
    .name = "stand-in block layer",
    .open = ch_open,
    .close = ch_close,
    .set_blksize = ch_set_blksize,
    .read_blk = ch_read,
    .write_blk = ch_write,
    .flush = ch_flush,
    .write_byte = ch_write_byte,
    .set_option = ch_set_option,
    .get_stats = nullptr,
    .read_blk64 = ch_read64,
    .write_blk64 = ch_write64,
    .discard = nullptr,
    .cache_readahead = nullptr,
    .zeroout = nullptr,
    .reserved = {},
};

}  // namespace

io_manager standin_io_manager = &manager;

std::string blkio_name(block::devnum dev) { return kPrefix + std::to_string(dev); }

}  // namespace cowguard::workload
