// Synchronous and batched block I/O for the stand-in's own use and for
// tests: data goes through page frames in bios submitted with submit_bio,
// so it takes the same path as any kernel I/O (partition remapping, hooked
// make-request functions, the disk's completion threads).  Also direct
// access to a device's storage for ground truth.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "internal.h"
#include "block/block_internal.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/gfp.h>
#include <linux/kernel.h>
#include <linux/mm.h>

namespace standin::blk {
namespace {

constexpr std::size_t kBioPages = 16;  // 64 KiB a bio
constexpr int kAllocTries = 1000;

struct Batch;

// One bio of a batch and the part of a caller's buffer it carries.
struct Piece {
  Batch* batch;
  struct bio* bio = nullptr;
  std::vector<struct page*> pages;
  std::uint8_t* buf = nullptr;
  std::size_t len = 0;
  bool write = false;
  int* error_slot = nullptr;  // the request's result
  int error = 0;
};

struct Batch {
  std::atomic<long> left{0};
  std::deque<Piece> pieces;
};

int piece_end_io(struct bio* bio, unsigned int done, int err) {
  if (bio->bi_size) return 1;  // more to come
  auto* p = static_cast<Piece*>(bio->bi_private);
  p->error = err ? err : (bio_flagged(bio, BIO_UPTODATE) ? 0 : -EIO);
  Batch* b = p->batch;
  wait::with_lock(b, [b] { b->left.fetch_sub(1); });
  return 0;
}

struct page* alloc_page_retry() {
  for (int i = 0; i < kAllocTries; i++) {
    if (struct page* pg = alloc_page(GFP_NOIO)) return pg;
    sched_yield();
  }
  return nullptr;
}

void free_piece(Piece& p) {
  for (struct page* pg : p.pages) __free_page(pg);
  p.pages.clear();
  if (p.bio) bio_put(p.bio);
  p.bio = nullptr;
}

// Builds one bio for len bytes (at most kBioPages pages); fills it for a write.
int build_piece(Piece& p, struct block_device* bdev, std::uint64_t sector) {
  std::size_t npages = (p.len + PAGE_SIZE - 1) / PAGE_SIZE;
  p.bio = alloc_bio_internal(static_cast<int>(npages));
  if (!p.bio) return -ENOMEM;
  for (std::size_t i = 0; i < npages; i++) {
    struct page* pg = alloc_page_retry();
    if (!pg) return -ENOMEM;
    p.pages.push_back(pg);
    std::size_t n = std::min<std::size_t>(PAGE_SIZE, p.len - i * PAGE_SIZE);
    if (p.write) std::memcpy(page_address(pg), p.buf + i * PAGE_SIZE, n);
    p.bio->bi_io_vec[i] = {pg, static_cast<unsigned>(n), 0};
  }
  p.bio->bi_vcnt = static_cast<unsigned short>(npages);
  p.bio->bi_size = static_cast<unsigned>(p.len);
  p.bio->bi_sector = sector;
  p.bio->bi_bdev = bdev;
  p.bio->bi_end_io = piece_end_io;
  p.bio->bi_private = &p;
  return 0;
}

// Splits one request into pieces and submits them.
int submit_request(Batch& b, struct block_device* bdev, int rw, std::uint64_t sector,
                   std::uint8_t* buf, std::size_t len, int* error_slot) {
  for (std::size_t done = 0; done < len;) {
    Piece& p = b.pieces.emplace_back();
    p.batch = &b;
    p.buf = buf + done;
    p.len = std::min(len - done, kBioPages * PAGE_SIZE);
    p.write = rw == WRITE;
    p.error_slot = error_slot;
    int err = build_piece(p, bdev, sector + done / 512);
    if (err) {
      free_piece(p);
      b.pieces.pop_back();
      return err;
    }
    b.left.fetch_add(1);
    submit_bio(rw, p.bio);
    done += p.len;
  }
  return 0;
}

// Waits for every piece, copies reads out, frees; the first error.
int finish(Batch& b) {
  wait::wait_until(&b, [&b] { return b.left.load() == 0; });
  int first = 0;
  for (Piece& p : b.pieces) {
    if (!p.write && !p.error)
      for (std::size_t i = 0; i < p.pages.size(); i++)
        std::memcpy(p.buf + i * PAGE_SIZE, page_address(p.pages[i]),
                    std::min<std::size_t>(PAGE_SIZE, p.len - i * PAGE_SIZE));
    if (p.error && p.error_slot && !*p.error_slot) *p.error_slot = p.error;
    if (p.error && !first) first = p.error;
    free_piece(p);
  }
  return first;
}

}  // namespace

bool number_storage_rw(std::uint32_t dev, int rw, std::uint64_t offset, void* buf,
                       std::size_t len) {
  DiskState* d = disk_of_number(dev);
  if (!d || !d->backing) return false;
  std::uint64_t start, sectors;
  if (!number_extent(dev, &start, &sectors)) return false;
  if (offset > sectors * 512 || sectors * 512 - offset < len) return false;
  std::uint64_t at = start * 512 + offset;
  int err = rw == WRITE ? d->backing->write(at, buf, len) : d->backing->read(at, buf, len);
  return err == 0;
}

int bdev_rw(struct block_device* bdev, int rw, std::uint64_t sector, void* buf, std::size_t len,
            bool direct_if_no_queue) {
  if (len % 512) return -EINVAL;
  if (direct_if_no_queue && !bdev_get_queue(bdev))
    return number_storage_rw(bdev->bd_dev, rw, sector * 512, buf, len) ? 0 : -EIO;
  Batch b;
  int err = submit_request(b, bdev, rw, sector, static_cast<std::uint8_t*>(buf), len, nullptr);
  int done = finish(b);
  return err ? err : done;
}

}  // namespace standin::blk

namespace standin::block {

using blk::Batch;

namespace {

// Holds a device open for the length of a call, as a process that opens
// its device node does.
struct BdevOpen {
  explicit BdevOpen(devnum dev) {
    if (blk::open_dev(dev, &bdev)) bdev = nullptr;
  }
  ~BdevOpen() {
    if (bdev) blkdev_put(bdev);
  }
  struct block_device* bdev = nullptr;
};

}  // namespace

int submit_and_wait(devnum dev, std::vector<IoRequest>& reqs) {
  BdevOpen ref(dev);
  if (!ref.bdev) return -ENODEV;
  for (auto& r : reqs) {
    r.error = 0;
    if (r.len % 512 || (r.rw != READ && r.rw != WRITE)) return -EINVAL;
  }
  blk::Batch b;
  int err = 0;
  for (auto& r : reqs) {
    err = blk::submit_request(b, ref.bdev, r.rw, r.sector, static_cast<std::uint8_t*>(r.buf),
                              r.len, &r.error);
    if (err) {
      r.error = err;
      break;
    }
  }
  int done = blk::finish(b);
  return err ? err : done;
}

int rw_sectors(devnum dev, int rw, std::uint64_t sector, void* buf, std::size_t len) {
  std::vector<IoRequest> one{{rw, sector, buf, len, 0}};
  return submit_and_wait(dev, one);
}

bool read_device(devnum dev, std::uint64_t offset, void* buf, std::size_t len) {
  return blk::number_storage_rw(dev, READ, offset, buf, len);
}

std::uint64_t device_sectors(devnum dev) {
  std::uint64_t start = 0, sectors = 0;
  return blk::number_extent(dev, &start, &sectors) ? sectors : 0;
}

std::uint64_t device_start(devnum dev) {
  std::uint64_t start = 0, sectors = 0;
  return blk::number_extent(dev, &start, &sectors) ? start : 0;
}

std::vector<std::uint8_t> device_bytes(devnum dev) {
  std::vector<std::uint8_t> out(device_sectors(dev) * 512);
  if (!out.empty() && !read_device(dev, 0, out.data(), out.size())) out.clear();
  return out;
}

}  // namespace standin::block
