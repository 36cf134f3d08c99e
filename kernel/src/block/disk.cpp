// Disks: creation and removal, the disk's make-request function and its
// completion threads, faults, delays and counters.
//
// The make-request function never completes a bio in the submitter's
// context (except one it refuses outright): it queues the bio for one of the
// disk's completion threads, each a context of its own with its own task,
// which copies the bio's segments to or from the storage and ends the bio
// from interrupt context, as a disk's completion interrupt would.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "block/block_internal.h"
#include "block/disk_registry.h"
#include "block/partitions.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/kernel.h>
#include <linux/mm.h>

namespace standin::blk {

std::uint64_t Drain::begin() {
  std::lock_guard lk(m_);
  live_.insert(next_);
  return next_++;
}

void Drain::end(std::uint64_t ticket) {
  {
    std::lock_guard lk(m_);
    live_.erase(ticket);
  }
  cv_.notify_all();
}

void Drain::drain() {
  std::unique_lock lk(m_);
  std::uint64_t upto = next_;
  cv_.wait(lk, [&] { return live_.empty() || *live_.begin() >= upto; });
}

long Drain::live() const {
  std::lock_guard lk(m_);
  return static_cast<long>(live_.size());
}

}  // namespace standin::blk

namespace standin::block {
namespace {

using blk::PendingBio;

// Removed disks: their kernel records stay valid (and reachable) until the
// process ends.
// (Never destroyed, so that they stay reachable also while the process exits.)
std::mutex zombies_m;
std::vector<DiskState*>* const zombies = new std::vector<DiskState*>;

bool hits_fault(DiskState* d, std::uint64_t sector, std::uint64_t n, bool write) {
  std::lock_guard lk(d->io_m);
  for (const auto& f : d->faults) {
    if (write ? !f.writes : !f.reads) continue;
    if (sector < f.first_sector + f.sectors && f.first_sector < sector + n) return true;
  }
  return false;
}

// Copies the bio's segments; 0 or -EIO.
int transfer(DiskState* d, struct bio* bio) {
  bool write = bio_data_dir(bio) == WRITE;
  std::uint64_t offset = bio->bi_sector * 512;
  std::uint64_t left = bio->bi_size;
  if (hits_fault(d, bio->bi_sector, (left + 511) / 512, write)) return -EIO;
  for (unsigned i = bio->bi_idx; i < bio->bi_vcnt && left > 0; i++) {
    struct bio_vec* bv = &bio->bi_io_vec[i];
    if (!bv->bv_page || bv->bv_offset + bv->bv_len > PAGE_SIZE) {
      printk(KERN_ERR "%s: bad segment %u of bio %p (offset %u, length %u)\n", d->name.c_str(),
             i, static_cast<void*>(bio), bv->bv_offset, bv->bv_len);
      return -EIO;
    }
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bv->bv_len, left));
    char* addr = static_cast<char*>(page_address(bv->bv_page)) + bv->bv_offset;
    int err = write ? d->backing->write(offset, addr, n) : d->backing->read(offset, addr, n);
    if (err) return -EIO;
    offset += n;
    left -= n;
  }
  return left ? -EIO : 0;
}

void complete(DiskState* d, struct bio* bio, int err) {
  if (err) d->n_failed.fetch_add(1);
  unsigned int bytes = bio->bi_size;
  kern::irq_enter();
  bio_endio(bio, bytes, err);
  kern::irq_exit();
}

void serve(DiskState* d) {
  for (;;) {
    PendingBio p;
    {
      std::unique_lock lk(d->io_m);
      d->io_cv.wait(lk, [d] {
        return (!d->pending.empty() && (!d->holding || d->stopping)) ||
               (d->stopping && d->pending.empty());
      });
      if (d->pending.empty()) return;
      p = d->pending.front();
      d->pending.pop_front();
      d->active++;
    }
    if (unsigned us = d->delay_us.load())
      std::this_thread::sleep_for(std::chrono::microseconds(us));
    int err = transfer(d, p.bio);
    {
      // No longer in flight once its completion starts: whoever sees the
      // completion sees the count without it.
      std::lock_guard lk(d->io_m);
      d->active--;
    }
    complete(d, p.bio, err);  // the bio may be gone now
  }
}

// The disk's make-request function.  Sectors are the whole disk's.
extern "C" int disk_make_request(request_queue_t* q, struct bio* bio) {
  auto* d = static_cast<DiskState*>(q->queuedata);
  bool write = bio_data_dir(bio) == WRITE;
  std::uint64_t n = (bio->bi_size + 511) / 512;
  (write ? d->n_writes : d->n_reads).fetch_add(1);
  (write ? d->n_write_sectors : d->n_read_sectors).fetch_add(static_cast<long>(n));
  if ((bio->bi_size & 511) || bio->bi_sector > d->capacity || d->capacity - bio->bi_sector < n) {
    printk(KERN_ERR "%s: bad request: sector %llu, %u bytes, capacity %llu\n", d->name.c_str(),
           static_cast<unsigned long long>(bio->bi_sector), bio->bi_size,
           static_cast<unsigned long long>(d->capacity));
    complete(d, bio, -EIO);
    return 0;
  }
  PendingBio p{bio, write};
  {
    std::lock_guard lk(d->io_m);
    if (!d->stopping) {
      d->pending.push_back(p);
      d->io_cv.notify_all();
      return 0;
    }
  }
  complete(d, bio, -EIO);  // the disk is going away
  return 0;
}

DiskState* create(std::unique_ptr<blk::Backing> backing, const DiskConfig& cfg) {
  int minors = cfg.minors ? cfg.minors : 16;
  if (minors < 1 || minors > 256 || !backing) return nullptr;
  auto* d = new DiskState;
  d->backing = std::move(backing);
  d->capacity = d->backing->bytes() / 512;
  d->disk = new gendisk{};
  d->part_array.assign(static_cast<std::size_t>(minors - 1), nullptr);
  if (blk::register_numbers(d, cfg, minors) != 0) {
    delete d->disk;
    delete d;
    errno = EBUSY;
    return nullptr;
  }
  struct gendisk* g = d->disk;
  g->part = minors > 1 ? d->part_array.data() : NULL;
  g->capacity = d->capacity;
  g->private_data = d;
  g->standin = d;

  d->queue = new request_queue{};
  d->queue->make_request_fn = disk_make_request;
  spin_lock_init(&d->queue->__queue_lock);
  d->queue->queue_lock = &d->queue->__queue_lock;
  d->queue->queuedata = d;
  d->queue->standin = d;
  g->queue = cfg.with_queue ? d->queue : NULL;

  for (int i = 0; i < std::max(1, cfg.workers); i++)
    d->workers.push_back(kern::start_context_thread(d->name + "-io" + std::to_string(i),
                                                    [d] { serve(d); }));
  if (cfg.scan_partitions) {
    // As add_disk does: the whole disk's first open reads the table.
    struct block_device* whole = bdget(MKDEV(static_cast<unsigned>(g->major),
                                             static_cast<unsigned>(g->first_minor)));
    whole->bd_invalidated = 1;
    if (blkdev_get(whole, FMODE_READ, 0) == 0) blkdev_put(whole);
  }
  return d;
}

void destroy(DiskState* d) {
  blk::umount_disk(d);
  {
    std::lock_guard lk(d->io_m);
    d->stopping = true;
    d->holding = false;
  }
  d->io_cv.notify_all();
  for (auto& t : d->workers) t.join();
  d->workers.clear();
  d->dead.store(true);
  blk::unregister_numbers(d);
  // The storage goes now.  The kernel records stay: block devices may still
  // be referenced, and a queue pointer may still be held by whoever hooked
  // it; every bio sent there from now on fails with -EIO.
  d->backing.reset();
  std::lock_guard lk(zombies_m);
  zombies->push_back(d);
}

}  // namespace

std::unique_ptr<Disk> Disk::ram(std::uint64_t sectors, const DiskConfig& cfg) {
  DiskState* s = create(blk::make_ram_backing(sectors * 512, cfg.sparse), cfg);
  return s ? std::unique_ptr<Disk>(new Disk(s)) : nullptr;
}

std::unique_ptr<Disk> Disk::file(const std::string& path, std::uint64_t sectors,
                                 const DiskConfig& cfg) {
  auto backing = blk::make_file_backing(path, sectors * 512, cfg.direct);
  if (!backing) return nullptr;
  DiskState* s = create(std::move(backing), cfg);
  return s ? std::unique_ptr<Disk>(new Disk(s)) : nullptr;
}

Disk::~Disk() { destroy(s_); }

devnum Disk::dev() const {
  return mkdev(static_cast<unsigned>(s_->disk->major), static_cast<unsigned>(s_->disk->first_minor));
}
devnum Disk::part_dev(int p) const {
  return mkdev(static_cast<unsigned>(s_->disk->major),
               static_cast<unsigned>(s_->disk->first_minor + p));
}
const std::string& Disk::name() const { return s_->name; }
std::uint64_t Disk::sectors() const { return s_->capacity; }
struct gendisk* Disk::gendisk() const { return s_->disk; }
struct request_queue* Disk::queue() const { return s_->disk->queue; }
bool Disk::direct() const { return s_->backing->direct(); }

bool Disk::read_bytes(std::uint64_t offset, void* buf, std::size_t len) const {
  std::uint64_t size = s_->backing->bytes();
  if (offset > size || size - offset < len) return false;
  return s_->backing->read(offset, buf, len) == 0;
}

bool Disk::write_bytes(std::uint64_t offset, const void* buf, std::size_t len) {
  std::uint64_t size = s_->backing->bytes();
  if (offset > size || size - offset < len) return false;
  return s_->backing->write(offset, buf, len) == 0;
}

void Disk::add_fault(const FaultRange& f) {
  std::lock_guard lk(s_->io_m);
  s_->faults.push_back(f);
}

void Disk::clear_faults() {
  std::lock_guard lk(s_->io_m);
  s_->faults.clear();
}

void Disk::set_delay_us(unsigned us) { s_->delay_us.store(us); }

void Disk::hold(bool on) {
  {
    std::lock_guard lk(s_->io_m);
    s_->holding = on;
  }
  s_->io_cv.notify_all();
}

long Disk::in_flight() const {
  std::lock_guard lk(s_->io_m);
  return static_cast<long>(s_->pending.size()) + s_->active;
}

IoCounters Disk::counters() const {
  IoCounters c;
  c.reads = s_->n_reads.load();
  c.writes = s_->n_writes.load();
  c.read_sectors = s_->n_read_sectors.load();
  c.write_sectors = s_->n_write_sectors.load();
  c.failed = s_->n_failed.load();
  return c;
}

void Disk::reset_counters() {
  s_->n_reads = 0;
  s_->n_writes = 0;
  s_->n_read_sectors = 0;
  s_->n_write_sectors = 0;
  s_->n_failed = 0;
}


}  // namespace standin::block
