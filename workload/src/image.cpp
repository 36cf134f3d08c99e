// Disk images: a sparse file with an MBR of two primary partitions and ext4
// on the first, made with mke2fs; attaching one as a file disk and mounting
// its file system in the stand-in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "process.h"
#include "workload/workload.h"

namespace cowguard::workload {
namespace {

constexpr std::uint64_t kAlign = 2048;  // sectors: 1 MiB
constexpr std::uint64_t kMinSectors = 4 * kAlign;

bool fail(std::string* err, const std::string& what) {
  if (err) *err = what;
  return false;
}

bool valid_block_size(std::uint32_t bs) { return bs == 1024 || bs == 2048 || bs == 4096; }

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One MBR entry; CHS fields hold the "use LBA" values.
void put_entry(std::uint8_t* e, const PartitionExtent& p) {
  e[0] = 0x00;
  e[1] = 0xfe, e[2] = 0xff, e[3] = 0xff;
  e[4] = 0x83;  // Linux
  e[5] = 0xfe, e[6] = 0xff, e[7] = 0xff;
  put_le32(e + 8, static_cast<std::uint32_t>(p.start_sector));
  put_le32(e + 12, static_cast<std::uint32_t>(p.sectors));
}

bool create_sparse(const std::string& path, std::uint64_t bytes, int* fd_out, std::string* err) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(err, "cannot create " + path + ": " + std::strerror(errno));
  if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    int e = errno;
    ::close(fd);
    return fail(err, "cannot size " + path + ": " + std::strerror(e));
  }
  *fd_out = fd;
  return true;
}

bool run_mke2fs(const std::string& path, std::uint64_t offset, std::uint64_t blocks,
                std::uint32_t block_size, std::string* err) {
  std::string ext = "offset=" + std::to_string(offset) + ",nodiscard";
  ProcessResult r = run_process({"mke2fs", "-t", "ext4", "-b", std::to_string(block_size), "-E",
                                 ext, "-F", "-q", path, std::to_string(blocks)});
  if (!r.started) return fail(err, r.output);
  if (r.exit_code != 0)
    return fail(err, "mke2fs failed (" + std::to_string(r.exit_code) + "): " + r.output);
  return true;
}

}  // namespace

bool make_disk_image(const std::string& path, std::uint64_t size_bytes, std::uint32_t block_size,
                     DiskLayout* layout, std::string* err) {
  if (!valid_block_size(block_size))
    return fail(err, "block size " + std::to_string(block_size) + " is not 1024, 2048 or 4096");
  std::uint64_t sectors = size_bytes / 512;
  if (sectors < kMinSectors) return fail(err, "image smaller than 4 MiB");
  if (sectors > 0xffffffffULL) return fail(err, "image too large for an MBR");

  DiskLayout l;
  l.disk_sectors = sectors;
  l.block_size = block_size;
  std::uint64_t split = sectors * 7 / 10 / kAlign * kAlign;
  l.parts[0] = {kAlign, split - kAlign};
  l.parts[1] = {split, sectors - split};
  l.fs_blocks = l.parts[0].bytes() / block_size;

  int fd = -1;
  if (!create_sparse(path, sectors * 512, &fd, err)) return false;
  std::uint8_t mbr[512] = {};
  put_entry(mbr + 446, l.parts[0]);
  put_entry(mbr + 446 + 16, l.parts[1]);
  mbr[510] = 0x55;
  mbr[511] = 0xaa;
  bool wrote = ::pwrite(fd, mbr, sizeof mbr, 0) == static_cast<ssize_t>(sizeof mbr);
  int e = errno;
  bool closed = ::close(fd) == 0;
  if (!wrote || !closed) return fail(err, "cannot write the MBR of " + path + ": " + std::strerror(e));

  if (!run_mke2fs(path, l.parts[0].offset_bytes(), l.fs_blocks, block_size, err)) return false;
  if (layout) *layout = l;
  return true;
}

bool make_ext4_image(const std::string& path, std::uint64_t blocks, std::uint32_t block_size,
                     std::string* err) {
  if (!valid_block_size(block_size))
    return fail(err, "block size " + std::to_string(block_size) + " is not 1024, 2048 or 4096");
  int fd = -1;
  if (!create_sparse(path, blocks * block_size, &fd, err)) return false;
  ::close(fd);
  return run_mke2fs(path, 0, blocks, block_size, err);
}

bool attach_and_mount(const std::string& path, MountedImage* out, std::string* err,
                      const block::DiskConfig& cfg) {
  auto disk = block::Disk::file(path, 0, cfg);
  if (!disk) return fail(err, "cannot attach " + path + ": " + std::strerror(errno));
  if (!cfg.scan_partitions) {
    int r = disk->rescan();
    if (r != 0) return fail(err, "partition scan of " + path + " failed: " + std::to_string(r));
  }
  auto parts = disk->partitions();
  bool have1 = false, have2 = false;
  for (const auto& p : parts) {
    have1 |= p.number == 1;
    have2 |= p.number == 2;
  }
  if (!have1) return fail(err, path + " has no partition 1");
  block::devnum part = disk->part_dev(1);
  int r = block::mount(part);
  if (r != 0) return fail(err, "mount of partition 1 of " + path + " failed: " + std::to_string(r));
  out->part = part;
  out->spare = have2 ? disk->part_dev(2) : 0;
  out->disk = std::move(disk);
  return true;
}

}  // namespace cowguard::workload
