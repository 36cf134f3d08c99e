// Disks: creation and removal, the disk's make-request function and its
// completion threads, faults, delays and counters.
//
// By default the make-request function never completes a bio in the
// submitter's context (except one it refuses outright): it queues the bio
// for one of the disk's completion threads, each a context of its own with
// its own task, which copies the bio's segments to or from the storage and
// ends the bio from interrupt context, as a disk's completion interrupt
// would.  A disk may instead complete bios in the submitter's context
// before its make-request function returns (2.6's RAM disk driver), or on
// its completion threads in parts, one bi_end_io call per part; and a disk
// without barriers fails barrier writes with -EOPNOTSUPP.
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
using blk::Forced;

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

// Copies len bytes of the bio, from byte `skip` of its data on (the bio
// starts at sector `sector`, its data in the segments from bi_idx on);
// 0 or -EIO.
int transfer_part(DiskState* d, struct bio* bio, std::uint64_t sector, std::uint64_t skip,
                  std::uint64_t len) {
  bool write = bio_data_dir(bio) == WRITE;
  if (hits_fault(d, sector + skip / 512, (len + 511) / 512, write)) return -EIO;
  std::uint64_t offset = sector * 512 + skip;
  std::uint64_t pos = 0;  // data bytes of the segments passed so far
  for (unsigned i = bio->bi_idx; i < bio->bi_vcnt && len > 0; i++) {
    struct bio_vec* bv = &bio->bi_io_vec[i];
    if (!bv->bv_page || bv->bv_offset + bv->bv_len > PAGE_SIZE) {
      printk(KERN_ERR "%s: bad segment %u of bio %p (offset %u, length %u)\n", d->name.c_str(),
             i, static_cast<void*>(bio), bv->bv_offset, bv->bv_len);
      return -EIO;
    }
    if (pos + bv->bv_len <= skip) {
      pos += bv->bv_len;
      continue;
    }
    std::uint64_t from = skip > pos ? skip - pos : 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bv->bv_len - from, len));
    char* addr = static_cast<char*>(page_address(bv->bv_page)) + bv->bv_offset + from;
    int err = write ? d->backing->write(offset, addr, n) : d->backing->read(offset, addr, n);
    if (err) return -EIO;
    offset += n;
    skip += n;
    len -= n;
    pos += bv->bv_len;
  }
  return len ? -EIO : 0;
}

// Copies the bio's segments; 0 or -EIO.
int transfer(DiskState* d, struct bio* bio) {
  return transfer_part(d, bio, bio->bi_sector, 0, bio->bi_size);
}

// Ends bytes of the bio; in_irq: from a completion interrupt.
void complete_bytes(DiskState* d, struct bio* bio, unsigned int bytes, int err, bool in_irq) {
  if (err) d->n_failed.fetch_add(1);
  if (in_irq) kern::irq_enter();
  bio_endio(bio, bytes, err);
  if (in_irq) kern::irq_exit();
}

void complete(DiskState* d, struct bio* bio, int err) {
  complete_bytes(d, bio, bio->bi_size, err, true);
}

// Serves a bio in parts of partial_sectors sectors, ending each part on its
// own; the first part that fails ends the rest of the bio with -EIO.
void serve_in_parts(DiskState* d, struct bio* bio) {
  const std::uint64_t sector = bio->bi_sector;  // bio_endio moves it on
  const std::uint64_t total = bio->bi_size;
  const std::uint64_t part = std::max<std::uint64_t>(1, d->partial_sectors) * 512;
  for (std::uint64_t done = 0; done < total;) {
    std::uint64_t n = std::min(part, total - done);
    int err = transfer_part(d, bio, sector, done, n);
    if (err) n = total - done;
    bool last = done + n == total;
    complete_bytes(d, bio, static_cast<unsigned>(n), err, true);  // the bio may be gone if last
    if (last) return;
    done += n;
  }
}

// The injected outcome for the next bio of this direction, if any.
Forced forced_outcome(bool write) {
  if (standin::fault::should_fail(write ? standin::fault::Site::disk_write
                                        : standin::fault::Site::disk_read))
    return Forced::eio;
  if (standin::fault::should_fail(standin::fault::Site::disk_partial)) return Forced::partial;
  return Forced::none;
}

// A bio whose outcome was injected: -EIO without a transfer, or its first
// half (at least one sector) transferred and ended, then the rest -EIO.
// Returns the bytes of the first part that went well (0 for none).
std::uint64_t forced_transfer(DiskState* d, struct bio* bio, Forced f) {
  const std::uint64_t first = f == Forced::partial ? (bio->bi_size / 1024) * 512 : 0;
  if (first == 0) return 0;
  return transfer_part(d, bio, bio->bi_sector, 0, first) ? 0 : first;
}

void forced_complete(DiskState* d, struct bio* bio, std::uint64_t first, bool in_irq) {
  const std::uint64_t total = bio->bi_size;
  if (first > 0) complete_bytes(d, bio, static_cast<unsigned>(first), 0, in_irq);
  complete_bytes(d, bio, static_cast<unsigned>(total - first), -EIO, in_irq);
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
    if (p.forced != Forced::none || d->completion == DiskConfig::Completion::partial) {
      {
        std::lock_guard lk(d->io_m);
        d->active--;
      }
      if (p.forced != Forced::none)
        forced_complete(d, p.bio, forced_transfer(d, p.bio, p.forced), true);
      else
        serve_in_parts(d, p.bio);
      continue;
    }
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
  if ((write && (bio->bi_rw & (1UL << BIO_RW_BARRIER)) && !d->barriers) ||
      standin::fault::should_fail(standin::fault::Site::disk_notsupp)) {
    complete_bytes(d, bio, bio->bi_size, -EOPNOTSUPP, false);
    return 0;
  }
  const Forced forced = forced_outcome(write);
  if (d->completion == DiskConfig::Completion::submitter) {
    bool stopping;
    {
      std::lock_guard lk(d->io_m);
      stopping = d->stopping;
      if (!stopping) d->active++;
    }
    int err = -EIO;
    if (!stopping && forced != Forced::none) {
      std::uint64_t first = forced_transfer(d, bio, forced);
      {
        std::lock_guard lk(d->io_m);
        d->active--;
      }
      d->io_cv.notify_all();
      forced_complete(d, bio, first, false);
      return 0;
    }
    if (!stopping) {
      if (unsigned us = d->delay_us.load())
        std::this_thread::sleep_for(std::chrono::microseconds(us));
      err = transfer(d, bio);
      {
        std::lock_guard lk(d->io_m);
        d->active--;
      }
      d->io_cv.notify_all();
    }
    complete_bytes(d, bio, bio->bi_size, err, false);
    return 0;
  }
  PendingBio p{bio, write, forced};
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
  d->completion = cfg.completion;
  d->partial_sectors = cfg.partial_sectors;
  d->barriers = cfg.barriers;
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
  {
    // Transfers that submitters run themselves end before the storage goes.
    std::unique_lock lk(d->io_m);
    d->io_cv.wait(lk, [d] { return d->active == 0; });
  }
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
