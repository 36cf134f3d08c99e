// Partition tables: MS-DOS (MBR and extended boot records) parsing, the
// rescan that replaces a disk's table, adding and deleting one partition (as
// the BLKPG ioctl does), and the helper that writes a table.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "block/block_internal.h"
#include "block/partitions.h"

#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/kernel.h>

namespace standin::blk {
namespace {

constexpr std::size_t kTable = 446;
constexpr int kMaxChain = 100;  // extended records followed without a partition

std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put_le32(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool is_extended(std::uint8_t type) { return type == 0x05 || type == 0x0f || type == 0x85; }
bool has_magic(const std::uint8_t* s) { return s[510] == 0x55 && s[511] == 0xaa; }

struct RawEntry {
  std::uint8_t boot, type;
  std::uint32_t start, size;
};
RawEntry entry(const std::uint8_t* sector, int i) {
  const std::uint8_t* p = sector + kTable + 16 * i;
  return {p[0], p[4], le32(p + 8), le32(p + 12)};
}

// Follows the chain of extended boot records from the extended partition at
// first/first_size, numbering the logical partitions from *next on.
void parse_extended(const SectorReader& read, std::uint64_t first, std::uint64_t first_size,
                    int max_parts, int* next, std::vector<PartEntry>* out) {
  std::uint64_t this_sector = first, this_size = first_size;
  std::uint8_t s[512];
  for (int loops = 0; loops < kMaxChain && *next <= max_parts; loops++) {
    if (read(this_sector, s) != 0 || !has_magic(s)) return;
    for (int i = 0; i < 4; i++) {
      RawEntry e = entry(s, i);
      if (!e.size || is_extended(e.type)) continue;
      std::uint64_t start = this_sector + e.start;
      // The third and fourth entries sometimes hold garbage: check them.
      if (i >= 2 && (e.start + static_cast<std::uint64_t>(e.size) > this_size || start < first ||
                     start + e.size > first + first_size))
        continue;
      out->push_back({(*next)++, start, e.size, e.type});
      loops = -1;
      if (*next > max_parts) return;
    }
    int i = 0;
    while (i < 4 && !(entry(s, i).size && is_extended(entry(s, i).type))) i++;
    if (i == 4) return;
    this_sector = first + entry(s, i).start;
    this_size = entry(s, i).size;
  }
}

std::string part_name(const DiskState* d, int p) {
  return d->name + std::to_string(p);
}

}  // namespace

int parse_msdos(const SectorReader& read, int max_parts, std::vector<PartEntry>* out) {
  out->clear();
  std::uint8_t s[512];
  int err = read(0, s);
  if (err) return err;
  if (!has_magic(s)) return 0;
  for (int i = 0; i < 4; i++) {
    std::uint8_t boot = entry(s, i).boot;
    if (boot != 0 && boot != 0x80) return 0;  // not a partition table
  }
  int next = 5;
  for (int slot = 1; slot <= 4 && slot <= max_parts; slot++) {
    RawEntry e = entry(s, slot - 1);
    if (!e.size) continue;
    if (is_extended(e.type)) {
      // Only room for a boot loader: nobody makes a file system on it.
      out->push_back({slot, e.start, e.size == 1 ? 1u : 2u, e.type});
      parse_extended(read, e.start, e.size, max_parts, &next, out);
      continue;
    }
    out->push_back({slot, e.start, e.size, e.type});
  }
  return 0;
}

void add_partition(DiskState* d, int p, std::uint64_t start, std::uint64_t sectors) {
  auto* hd = new hd_struct{};
  auto* ps = new PartState;
  ps->hd = hd;
  hd->start_sect = start;
  hd->nr_sects = sectors;
  hd->partno = p;
  hd->standin = ps;
  std::lock_guard lk(d->part_m);
  d->part_array[static_cast<std::size_t>(p - 1)] = hd;
}

void delete_partition(DiskState* d, int p) {
  struct hd_struct* hd;
  {
    std::lock_guard lk(d->part_m);
    hd = d->part_array[static_cast<std::size_t>(p - 1)];
    d->part_array[static_cast<std::size_t>(p - 1)] = nullptr;
  }
  if (hd) part_put(hd);
}

int rescan_partitions(DiskState* d, struct block_device* whole) {
  if (whole->bd_part_count) return -EBUSY;
  whole->bd_invalidated = 0;
  const int n = d->disk->minors - 1;
  for (int p = 1; p <= n; p++) delete_partition(d, p);
  std::vector<PartEntry> found;
  int err = parse_msdos(
      [&](std::uint64_t lba, std::uint8_t* buf) {
        if (lba >= d->capacity) return -EIO;
        return bdev_rw(whole, READ, lba, buf, 512, true);
      },
      n, &found);
  if (err) {
    printk(KERN_WARNING " %s: unable to read partition table\n", d->name.c_str());
    return 0;
  }
  std::string list;
  for (const PartEntry& e : found) {
    if (e.start >= d->capacity) {
      printk(KERN_WARNING " %s: partition %d starts beyond the end of the disk\n",
             d->name.c_str(), e.number);
      continue;
    }
    std::uint64_t len = e.sectors;
    if (len > d->capacity - e.start) {
      printk(KERN_WARNING " %s: partition %d truncated to the end of the disk\n",
             d->name.c_str(), e.number);
      len = d->capacity - e.start;
    }
    add_partition(d, e.number, e.start, len);
    list += " " + part_name(d, e.number);
  }
  printk(KERN_INFO " %s:%s\n", d->name.c_str(), list.c_str());
  return 0;
}

}  // namespace standin::blk

namespace standin::block {

std::vector<Disk::Partition> Disk::partitions() const {
  std::vector<Partition> out;
  struct gendisk* g = s_->disk;
  std::lock_guard lk(s_->part_m);
  for (int p = 1; p < g->minors; p++)
    if (struct hd_struct* hd = g->part[p - 1]) out.push_back({p, hd->start_sect, hd->nr_sects});
  return out;
}

namespace {

// The whole disk, open, with its open lock taken: what a partition-table
// ioctl on the disk's device node holds.  -EBUSY when another task holds the
// lock (try == true) or the disk has gone.
struct WholeDisk {
  struct block_device* bdev = nullptr;
  bool locked = false;
  int open(DiskState* d, bool try_lock) {
    int err = blk::open_dev(MKDEV(static_cast<unsigned>(d->disk->major),
                                  static_cast<unsigned>(d->disk->first_minor)),
                            &bdev);
    if (err) {
      bdev = nullptr;
      return err;
    }
    if (try_lock) {
      if (!blk::trylock_open(bdev)) return -EBUSY;
    } else {
      blk::lock_open(bdev);
    }
    locked = true;
    return 0;
  }
  ~WholeDisk() {
    if (locked) blk::unlock_open(bdev);
    if (bdev) blkdev_put(bdev);
  }
};

}  // namespace

int Disk::rescan() {
  WholeDisk whole;
  int err = whole.open(s_, true);
  if (err) return err;
  return blk::rescan_partitions(s_, whole.bdev);
}

int Disk::add_partition(int number, std::uint64_t start, std::uint64_t sectors) {
  if (number <= 0 || number >= s_->disk->minors || !sectors) return -EINVAL;
  WholeDisk whole;
  int err = whole.open(s_, false);
  if (err) return err;
  {
    // The table changes only under the whole disk's open lock, held here.
    std::lock_guard lk(s_->part_m);
    if (s_->part_array[static_cast<std::size_t>(number - 1)]) return -EBUSY;
    for (struct hd_struct* hd : s_->part_array)
      if (hd && start < hd->start_sect + hd->nr_sects && hd->start_sect < start + sectors)
        return -EBUSY;
  }
  blk::add_partition(s_, number, start, sectors);
  return 0;
}

int Disk::delete_partition(int number) {
  if (number <= 0 || number >= s_->disk->minors) return -EINVAL;
  WholeDisk whole;
  int err = whole.open(s_, false);
  if (err) return err;
  {
    std::lock_guard lk(s_->part_m);
    struct hd_struct* hd = s_->part_array[static_cast<std::size_t>(number - 1)];
    if (!hd || !hd->nr_sects) return -ENXIO;
  }
  // The partition's own device must not be open; its open lock is taken
  // before the whole disk's, as opens take them.
  struct block_device* part = bdget(part_dev(number));
  if (!part) return -ENOMEM;
  blk::unlock_open(whole.bdev);
  blk::lock_open(part);
  blk::lock_open(whole.bdev);
  err = part->bd_openers ? -EBUSY : 0;
  if (!err) {
    sync_blockdev(part);
    blk::delete_partition(s_, number);
  }
  blk::unlock_open(part);
  bdput(part);
  return err;
}

namespace {

void put_entry(std::uint8_t* sector, int i, const MbrEntry& e, std::uint64_t start) {
  std::uint8_t* p = sector + 446 + 16 * i;
  std::memset(p, 0, 16);
  p[0] = e.bootable ? 0x80 : 0;
  p[4] = e.type;
  blk::put_le32(p + 8, start);
  blk::put_le32(p + 12, e.sectors);
}

bool fits32(std::uint64_t v) { return v <= 0xffffffffull; }

}  // namespace

bool write_mbr(Disk& disk, const std::vector<MbrEntry>& primary,
               const std::vector<MbrEntry>& logical) {
  if (primary.size() > 4) return false;
  const MbrEntry* ext = nullptr;
  for (const auto& e : primary) {
    if (!fits32(e.start) || !fits32(e.sectors)) return false;
    if (blk::is_extended(e.type)) {
      if (ext) return false;
      ext = &e;
    }
  }
  if (!logical.empty() && !ext) return false;

  std::uint8_t mbr[512] = {};
  for (std::size_t i = 0; i < primary.size(); i++)
    put_entry(mbr, static_cast<int>(i), primary[i], primary[i].start);
  mbr[510] = 0x55;
  mbr[511] = 0xaa;

  // Extended boot records: the first at the extended partition's start, each
  // later one in the sector before its partition.
  std::vector<std::uint64_t> ebr(logical.size());
  for (std::size_t i = 0; i < logical.size(); i++) {
    ebr[i] = i == 0 ? ext->start : logical[i].start - 1;
    bool after_prev = i == 0 || ebr[i] >= logical[i - 1].start + logical[i - 1].sectors;
    if (logical[i].start <= ebr[i] || !after_prev || !fits32(logical[i].sectors) ||
        logical[i].start + logical[i].sectors > ext->start + ext->sectors)
      return false;
  }
  for (std::size_t i = 0; i < logical.size(); i++) {
    std::uint8_t rec[512] = {};
    put_entry(rec, 0, logical[i], logical[i].start - ebr[i]);
    if (i + 1 < logical.size()) {
      MbrEntry link;
      link.type = 0x05;
      link.sectors = logical[i + 1].start + logical[i + 1].sectors - ebr[i + 1];
      put_entry(rec, 1, link, ebr[i + 1] - ext->start);
    }
    rec[510] = 0x55;
    rec[511] = 0xaa;
    if (!disk.write_bytes(ebr[i] * 512, rec, 512)) return false;
  }
  if (ext && logical.empty()) {  // an empty chain: a record without entries
    std::uint8_t rec[512] = {};
    rec[510] = 0x55;
    rec[511] = 0xaa;
    if (!disk.write_bytes(ext->start * 512, rec, 512)) return false;
  }
  return disk.write_bytes(0, mbr, 512);
}

}  // namespace standin::block
