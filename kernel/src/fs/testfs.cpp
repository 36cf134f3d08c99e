// The test file system: nothing but a header at byte 1024 of the device that
// names the block size.  The size is taken as it is written, so tests can
// present any block size to code that reads s_blocksize.
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "fs/super_internal.h"

namespace standin::fs {
namespace {

constexpr char kMagic[8] = {'C', 'G', 'T', 'E', 'S', 'T', 'F', 'S'};
constexpr unsigned long kTestfsMagic = 0x43475446;  // "CGTF"
constexpr std::uint32_t kVersion = 1;

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

int probe_testfs(const std::uint8_t* region, ProbeResult* out) {
  if (std::memcmp(region, kMagic, sizeof(kMagic)) != 0 || le32(region + 12) != kVersion) return 0;
  out->type = "testfs";
  out->block_size = le32(region + 8);
  out->magic = kTestfsMagic;
  return 1;
}

void make_testfs_header(std::uint8_t* region, std::uint32_t block_size) {
  std::memset(region, 0, kProbeLen);
  std::memcpy(region, kMagic, sizeof(kMagic));
  put_le32(region + 8, block_size);
  put_le32(region + 12, kVersion);
}

}  // namespace standin::fs
