// The ext2/ext3/ext4 super block as a mount sees it: magic, block size and
// the feature words that tell the three apart.
#include <cerrno>
#include <cstdint>

#include "internal.h"
#include "fs/super_internal.h"

#include <linux/kernel.h>

namespace standin::fs {
namespace {

constexpr std::uint16_t kExtMagic = 0xEF53;
constexpr std::uint32_t kCompatHasJournal = 0x0004;
// Features ext2/ext3 know; anything else makes it ext4.
constexpr std::uint32_t kIncompatExt3 = 0x0002 | 0x0004 | 0x0008 | 0x0010;
constexpr std::uint32_t kRoCompatExt3 = 0x0001 | 0x0002 | 0x0004;

std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

int probe_ext(const std::uint8_t* sb, ProbeResult* out) {
  if (le16(sb + 56) != kExtMagic) return 0;
  std::uint32_t log = le32(sb + 24);
  if (log > 6) {
    printk(KERN_ERR "EXT-fs: bad block size log %u\n", log);
    return -EINVAL;
  }
  unsigned long bs = 1024UL << log;
  if (bs > 4096) {
    printk(KERN_ERR "EXT-fs: unsupported block size %lu (larger than a page)\n", bs);
    return -EINVAL;
  }
  std::uint32_t compat = le32(sb + 92), incompat = le32(sb + 96), ro_compat = le32(sb + 100);
  if ((incompat & ~kIncompatExt3) || (ro_compat & ~kRoCompatExt3))
    out->type = "ext4";
  else if (compat & kCompatHasJournal)
    out->type = "ext3";
  else
    out->type = "ext2";
  out->block_size = bs;
  out->magic = kExtMagic;
  return 1;
}

}  // namespace standin::fs
