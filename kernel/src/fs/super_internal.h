// Recognising the file systems that a mount probes for.
#pragma once

#include <cstdint>

namespace standin::fs {

struct ProbeResult {
  const char* type = nullptr;  // "ext2", "ext3", "ext4", "testfs"
  unsigned long block_size = 0;
  unsigned long magic = 0;
};

// Byte offset of the region the probes look at, and its length.
constexpr std::uint64_t kProbeOffset = 1024;
constexpr std::size_t kProbeLen = 1024;

// Each looks at the kProbeLen bytes at kProbeOffset of the device: 1 when
// it recognises its file system (out filled), 0 when it does not, a negative
// errno when it is its file system but one the kernel cannot mount.
int probe_ext(const std::uint8_t* region, ProbeResult* out);
int probe_testfs(const std::uint8_t* region, ProbeResult* out);

// Writes the test file system's header into a region (zeroing the rest).
void make_testfs_header(std::uint8_t* region, std::uint32_t block_size);

}  // namespace standin::fs
