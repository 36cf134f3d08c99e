// What tracking and copy-before-write cost the writers of a device, as
// ratios to the same device unhooked, measured in this one process.
// Prints figures; asserts nothing.
//
//   bench_cost-2.6.X [--quick] [--repeats R] [--ops N] [--mib M] [--lockcheck]
//
// The stand-in's lock validator is off unless --lockcheck is given: a
// kernel a backup runs on is built without lock proving, and the validator
// (one lock of its own around every lock taken) would be most of the cost
// of the paths measured here.
//
// For each disk (a RAM disk completing bios in the submitter's context, as
// 2.6's RAM disk driver does; a file disk through the page cache; a file
// disk with O_DIRECT) and 1, 2 and 4 writer threads, 4 KiB random I/O
// through the block layer, each case repeated (min / median / max):
//   unhooked            the module loaded, no session on the disk yet
//   tracking            after a backup session closed: changed blocks tracked
//   first writes        a snapshot taken (nothing read yet): each write to a
//                       block not yet preserved, so it waits for the copy
//   rewrites            the same blocks again: already preserved
//   unwanted (state 6)  after the map load, writes to blocks not wanted
//   reads state 4 / 6   random reads of the origin during the snapshot
// Then, on the RAM disk: the agent's full backup against a raw sequential
// read of the device with the same request size, an incremental's time per
// changed block against the full's, the time frozen beyond the freeze's own
// sync, and the store's memory per preserved block beyond the block's bytes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backup.h"
#include "cowguard.h"
#include "standin/block.h"
#include "standin/lockcheck.h"
#include "standin/standin.h"
#include "stats.h"

namespace {

namespace sb = standin::block;
namespace user = standin::user;
namespace fs = std::filesystem;
namespace ag = cowguard::agent;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBlock = 4096;
constexpr int READ = 0, WRITE = 1;  // the kernel's directions of rw_sectors
constexpr std::uint64_t kPartStart = 2048;

struct Options {
  int repeats = 3;
  long ops = 8192;  // per case, all threads together
  std::uint64_t mib = 256;
  bool quick = false;
  bool lockcheck = false;  // keep the stand-in's lock validator on
};

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// ---- one timed case -----------------------------------------------------------

struct Sample {
  double iops = 0;
  double p50_us = 0, p99_us = 0;
};

// Runs `ops` 4 KiB operations on `threads` threads; op i of thread t goes to
// block pick(t, i).  Returns IOPS and latency percentiles.
template <typename Pick>
Sample run_case(sb::devnum dev, int rw, int threads, long ops, Pick pick) {
  std::vector<std::vector<std::uint32_t>> lat(static_cast<std::size_t>(threads));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<long> failures{0};
  std::vector<std::thread> ts;
  const long per = ops / threads;
  for (int t = 0; t < threads; t++)
    ts.emplace_back([&, t] {
      std::vector<std::uint8_t> buf(kBlock, static_cast<std::uint8_t>(t + 1));
      auto& l = lat[static_cast<std::size_t>(t)];
      l.reserve(static_cast<std::size_t>(per));
      ready++;
      while (!go.load()) std::this_thread::yield();
      for (long i = 0; i < per; i++) {
        std::uint64_t b = pick(t, i);
        buf[0] = static_cast<std::uint8_t>(i);
        auto t0 = Clock::now();
        if (sb::rw_sectors(dev, rw, b * (kBlock / 512), buf.data(), kBlock) != 0) failures++;
        l.push_back(static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()));
      }
    });
  while (ready.load() < threads) std::this_thread::yield();
  auto t0 = Clock::now();
  go = true;
  for (auto& t : ts) t.join();
  double secs = since(t0);
  std::vector<std::uint32_t> all;
  for (auto& l : lat) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Sample s;
  s.iops = static_cast<double>(all.size()) / secs;
  if (!all.empty()) {
    s.p50_us = all[all.size() / 2] / 1000.0;
    s.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)] / 1000.0;
  }
  if (failures) std::fprintf(stderr, "bench_cost: %ld operations failed\n", failures.load());
  return s;
}

// ---- a disk with the module's sessions on it ------------------------------------

struct Session {
  int fd = -1;
  std::vector<std::pair<void*, std::size_t>> windows;
  ~Session() { close(); }
  void close() {
    for (auto& [p, n] : windows) user::munmap(p, n);
    windows.clear();
    if (fd >= 0) user::close(fd);
    fd = -1;
  }
};

unsigned long arg(const void* p) { return reinterpret_cast<unsigned long>(p); }

// Opens a session on dev, maps both windows and takes the snapshot (state 4).
bool snapshot(Session* s, sb::devnum dev, std::uint32_t blocks) {
  s->fd = user::open(CGD_DEVICE_NODE, O_RDWR);
  if (s->fd < 0) return false;
  struct StartBackup sb = {sb::major_of(dev), sb::minor_of(dev), blocks, blocks};
  if (user::ioctl(s->fd, CGD_START_BACKUP, arg(&sb)) != CGD_OK) return false;
  State st{};
  struct GetState g = {&st, sizeof st};
  if (user::ioctl(s->fd, CGD_GET_STATE, arg(&g)) != CGD_OK) return false;
  for (int i = 0; i < 2; i++) {
    const auto len = static_cast<std::size_t>(st.mmapSize);
    void* p = user::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, s->fd, 0);
    if (p == MAP_FAILED) return false;
    s->windows.emplace_back(p, len);
  }
  // A fresh tracking session, as a full backup starts one.
  if (user::ioctl(s->fd, CGD_NO_LOAD_FROM_AUTOMAP, 0) != CGD_OK) return false;
  AMSessionKey key{};
  struct SnapShot ss = {&key, CGD_KEY_SIZE};
  return user::ioctl(s->fd, CGD_SNAPSHOT, arg(&ss)) == CGD_OK;
}

// Loads a wanted map of the blocks below `wanted` (state 6).
bool load_map(Session* s, std::uint32_t blocks, std::uint32_t wanted) {
  std::vector<std::uint8_t> bits((blocks + 7) / 8, 0);
  for (std::uint32_t b = 0; b < wanted; b++) bits[b / 8] |= static_cast<std::uint8_t>(1u << (b % 8));
  UserBlockMap ubm = {bits.data(), blocks};
  struct LoadBlockMap l = {&ubm, sizeof ubm};
  return user::ioctl(s->fd, CGD_LOAD_BLOCK_MAP, arg(&l)) == CGD_OK;
}

long store_bytes() {
  auto u = standin::mem::usage();
  using K = standin::mem::Kind;
  long n = 0;
  for (K k : {K::kmalloc, K::vmalloc, K::page, K::slab_object}) n += u.bytes[static_cast<int>(k)];
  return n;
}

struct Disk {
  std::string name;
  std::unique_ptr<sb::Disk> disk;
  sb::devnum part = 0;
  std::uint32_t blocks = 0;
  fs::path image;
};

std::unique_ptr<Disk> make_disk(const std::string& kind, std::uint64_t mib, const fs::path& tmp) {
  auto d = std::make_unique<Disk>();
  d->name = kind;
  const std::uint64_t sectors = mib * 2048;
  sb::DiskConfig cfg;
  if (kind == "ram") {
    cfg.completion = sb::DiskConfig::Completion::submitter;
    cfg.sparse = false;
    d->disk = sb::Disk::ram(kPartStart + sectors, cfg);
  } else {
    cfg.direct = kind == "file-direct";
    d->image = tmp / (kind + ".img");
    d->disk = sb::Disk::file(d->image.string(), kPartStart + sectors, cfg);
  }
  if (!d->disk || !sb::write_mbr(*d->disk, {{kPartStart, sectors}}) || d->disk->rescan() != 0) return nullptr;
  if (kind == "file-direct" && !d->disk->direct()) d->name += " (no O_DIRECT here: page cache)";
  d->part = d->disk->part_dev(1);
  d->blocks = static_cast<std::uint32_t>(sectors * 512 / kBlock);
  if (!sb::format_testfs(d->part, kBlock) || sb::mount(d->part) != 0) return nullptr;
  // Every block written once, so that no case pays for first allocation.
  std::vector<std::uint8_t> buf(1 << 20, 0x5a);
  for (std::uint64_t off = 8 * kBlock; off + buf.size() <= sectors * 512; off += buf.size())
    sb::rw_sectors(d->part, WRITE, off / 512, buf.data(), buf.size());
  return d;
}

// ---- the write and read cases -------------------------------------------------------

struct Figures {
  // case name -> samples over the repeats
  std::map<std::string, std::vector<Sample>> by_case;
};

const char* const kCases[] = {"unhooked write", "tracking write", "first write (state 4)",
                              "rewrite (state 4)", "unwanted write (state 6)", "unhooked read",
                              "read (state 4)", "read (state 6)"};

void measure_disk(Disk& d, int threads, const Options& o, Figures* f, long* store_per_block) {
  const std::uint32_t first = 8;  // the file system's header stays
  const std::uint32_t span = d.blocks - first;
  for (int r = 0; r < o.repeats; r++) {
    if (standin::modules::insmod(CG_MODULE_PATH) != 0) {
      std::fprintf(stderr, "bench_cost: insmod failed\n");
      return;
    }
    std::mt19937_64 rng(static_cast<unsigned>(r * 7 + threads));
    const std::uint64_t seed = rng();
    auto random_block = [&](std::uint32_t lo, std::uint32_t n) {
      return [lo, n, seed](int t, long i) {
        std::uint64_t x = (seed ^ (static_cast<std::uint64_t>(t) << 40)) + static_cast<std::uint64_t>(i) * 0x9e3779b97f4a7c15ull;
        x ^= x >> 31;
        x *= 0xbf58476d1ce4e5b9ull;
        x ^= x >> 29;
        return lo + x % n;
      };
    };
    run_case(d.part, WRITE, threads, o.ops / 4, random_block(first, span));  // warm-up
    f->by_case["unhooked write"].push_back(run_case(d.part, WRITE, threads, o.ops, random_block(first, span)));
    f->by_case["unhooked read"].push_back(run_case(d.part, READ, threads, o.ops, random_block(first, span)));
    {
      Session s;  // a session that closes at once leaves tracking on
      if (!snapshot(&s, d.part, d.blocks)) std::fprintf(stderr, "bench_cost: snapshot failed\n");
    }
    f->by_case["tracking write"].push_back(run_case(d.part, WRITE, threads, o.ops, random_block(first, span)));
    Session s;
    if (!snapshot(&s, d.part, d.blocks)) std::fprintf(stderr, "bench_cost: snapshot failed\n");
    // First writes: thread t writes blocks first + t, first + t + threads, ...
    // (each block once) in the lower half, the wanted half.
    const std::uint32_t half = span / 2;
    const long distinct = std::min<long>(o.ops, half);
    auto distinct_block = [first, threads, half](int t, long i) {
      return first + (static_cast<std::uint64_t>(i) * threads + t) * 7919 % half;
    };
    long before = store_bytes();
    f->by_case["first write (state 4)"].push_back(run_case(d.part, WRITE, threads, distinct, distinct_block));
    long grown = store_bytes() - before;
    if (store_per_block && distinct > 0) *store_per_block = grown / distinct - static_cast<long>(kBlock);
    f->by_case["rewrite (state 4)"].push_back(run_case(d.part, WRITE, threads, distinct, distinct_block));
    f->by_case["read (state 4)"].push_back(run_case(d.part, READ, threads, o.ops, random_block(first, span)));
    if (!load_map(&s, d.blocks, first + half)) std::fprintf(stderr, "bench_cost: map load failed\n");
    f->by_case["unwanted write (state 6)"].push_back(
        run_case(d.part, WRITE, threads, o.ops, random_block(first + half, span - half)));
    f->by_case["read (state 6)"].push_back(run_case(d.part, READ, threads, o.ops, random_block(first, span)));
    s.close();
    standin::modules::rmmod("cowguard");
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void print_disk(const std::string& name, int threads, const Figures& f) {
  std::printf("\n%s, %d thread%s, 4 KiB random I/O\n", name.c_str(), threads, threads > 1 ? "s" : "");
  std::printf("  %-26s %9s %9s %9s %9s %9s %9s\n", "case", "IOPS min", "median", "max", "ratio", "p50 us", "p99 us");
  auto med = [&](const std::string& c, auto field) {
    std::vector<double> v;
    for (const auto& s : f.by_case.at(c)) v.push_back(field(s));
    return median(v);
  };
  auto iops = [](const Sample& s) { return s.iops; };
  for (const char* c : kCases) {
    const auto& v = f.by_case.at(c);
    std::vector<double> io;
    for (const auto& s : v) io.push_back(s.iops);
    const bool read = std::string(c).find("read") != std::string::npos;
    const double base = med(read ? "unhooked read" : "unhooked write", iops);
    std::printf("  %-26s %9.0f %9.0f %9.0f %9.2f %9.1f %9.1f\n", c, *std::min_element(io.begin(), io.end()),
                median(io), *std::max_element(io.begin(), io.end()), base > 0 ? median(io) / base : 0,
                med(c, [](const Sample& s) { return s.p50_us; }), med(c, [](const Sample& s) { return s.p99_us; }));
  }
  const double p99_base = med("unhooked write", [](const Sample& s) { return s.p99_us; });
  const double p99_held = med("first write (state 4)", [](const Sample& s) { return s.p99_us; });
  std::printf("  held-write p99 / unhooked p99: %.2fx\n", p99_base > 0 ? p99_held / p99_base : 0);
}

// ---- the agent -----------------------------------------------------------------------

void measure_agent(const Options& o, const fs::path& tmp) {
  auto d = make_disk("ram", o.mib, tmp);
  if (!d || standin::modules::insmod(CG_MODULE_PATH) != 0) {
    std::fprintf(stderr, "bench_cost: no disk for the agent\n");
    return;
  }
  ag::BackupOptions bo;
  bo.major = sb::major_of(d->part);
  bo.minor = sb::minor_of(d->part);
  // On tmpfs when there is one: the fsync of the image is the output
  // disk's cost, not the backup's.
  std::error_code ec;
  const fs::path shm = "/dev/shm";
  bo.dir = (fs::is_directory(shm, ec) ? shm : tmp) / ("cg-bench-cost-" + std::to_string(::getpid()));
  std::vector<double> full_rate, raw_rate, raw_block_rate, module_rate, inc_ratio, frozen_beyond_ms, frozen_total_ms;
  // The agent reads in runs of one transfer window.
  std::size_t window = 0;
  {
    Session s;
    s.fd = user::open(CGD_DEVICE_NODE, O_RDWR);
    struct StartBackup sb = {sb::major_of(d->part), sb::minor_of(d->part), d->blocks, d->blocks};
    State st{};
    struct GetState g = {&st, sizeof st};
    if (s.fd >= 0 && user::ioctl(s.fd, CGD_START_BACKUP, arg(&sb)) == CGD_OK &&
        user::ioctl(s.fd, CGD_GET_STATE, arg(&g)) == CGD_OK)
      window = static_cast<std::size_t>(st.mmapSize);
  }
  for (int r = 0; r < o.repeats; r++) {
    // The module's read-blocks command alone over every block, one window
    // per command, nothing written out: what the agent's reads can reach.
    {
      Session s;
      if (snapshot(&s, d->part, d->blocks) && load_map(&s, d->blocks, d->blocks)) {
        const std::uint32_t per = static_cast<std::uint32_t>((window ? window : (1u << 20)) / kBlock);
        auto t0 = Clock::now();
        bool ok = true;
        for (std::uint32_t b = 0; ok && b < d->blocks; b += per) {
          struct ReadBlocks rb = {b, std::min(per, d->blocks - b), s.windows[0].first};
          ok = user::ioctl(s.fd, CGD_READ_BLOCKS, arg(&rb)) == CGD_OK;
        }
        if (ok) module_rate.push_back(static_cast<double>(d->blocks) * kBlock / since(t0));
      }
    }
    fs::remove_all(bo.dir);
    auto t0 = Clock::now();
    ag::BackupResult full = ag::full_backup(bo);
    const double full_secs = since(t0);
    full_rate.push_back(static_cast<double>(full.bytes_written) / full_secs);
    if (full.stats) {
      const auto& st = *full.stats;
      double total = static_cast<double>(st.eTimeFrozen.tv_sec) * 1e3 + st.eTimeFrozen.tv_nsec / 1e6;
      double sync = static_cast<double>(st.eTimeToFreeze.tv_sec) * 1e3 + st.eTimeToFreeze.tv_nsec / 1e6;
      frozen_total_ms.push_back(total);
      frozen_beyond_ms.push_back(total - sync);
    }
    // A raw sequential read of the same device in requests of one window.
    const std::size_t req = window ? window : (1u << 20);
    std::vector<std::uint8_t> buf(req);
    const std::uint64_t bytes = static_cast<std::uint64_t>(d->blocks) * kBlock;
    t0 = Clock::now();
    for (std::uint64_t off = 0; off < bytes; off += req)
      sb::rw_sectors(d->part, READ, off / 512, buf.data(), std::min<std::uint64_t>(req, bytes - off));
    raw_rate.push_back(static_cast<double>(bytes) / since(t0));
    // The same read one block per request: the floor of a read path that
    // sends a bio per block, as the read-blocks command does.
    t0 = Clock::now();
    for (std::uint64_t off = 0; off < bytes; off += kBlock)
      sb::rw_sectors(d->part, READ, off / 512, buf.data(), kBlock);
    raw_block_rate.push_back(static_cast<double>(bytes) / since(t0));
    // An incremental of 10 % of the blocks, scattered.
    std::mt19937 rng(static_cast<unsigned>(r + 1));
    std::vector<std::uint8_t> blk(kBlock, static_cast<std::uint8_t>(r));
    const std::uint32_t changed = d->blocks / 10;
    for (std::uint32_t i = 0; i < changed; i++)
      sb::fs_write(d->part, (8 + rng() % (d->blocks - 8)) * std::uint64_t{kBlock}, blk.data(), kBlock);
    t0 = Clock::now();
    ag::BackupResult inc = ag::incremental_backup(bo);
    const double inc_secs = since(t0);
    if (inc.kind == ag::BackupKind::incremental && inc.blocks_wanted > 0)
      inc_ratio.push_back((inc_secs / static_cast<double>(inc.blocks_wanted)) /
                          (full_secs / static_cast<double>(full.blocks_wanted)));
  }
  standin::modules::rmmod("cowguard");
  sb::umount(d->part);
  fs::remove_all(bo.dir, ec);
  std::printf("\nthe agent on the RAM disk (%llu MiB, windows of %zu KiB), backups to %s\n",
              static_cast<unsigned long long>(o.mib), window / 1024, bo.dir.parent_path().c_str());
  std::printf("  full backup          %8.0f MiB/s (median)\n", median(full_rate) / 1048576);
  std::printf("  raw sequential read  %8.0f MiB/s, same request size\n", median(raw_rate) / 1048576);
  std::printf("  raw, a block a request %5.0f MiB/s (%.2f of raw)\n", median(raw_block_rate) / 1048576,
              median(raw_block_rate) / median(raw_rate));
  std::printf("  full / raw           %8.2f\n", median(full_rate) / median(raw_rate));
  std::printf("  read-blocks alone    %8.0f MiB/s (%.2f of raw, %.2f of a block a request): the module's share\n",
              median(module_rate) / 1048576, median(module_rate) / median(raw_rate),
              median(module_rate) / median(raw_block_rate));
  std::printf("  incremental time per block / full's: %.2f\n", median(inc_ratio));
  std::printf("  frozen %.3f ms in all, %.3f ms beyond the freeze's own sync\n\n", median(frozen_total_ms),
              median(frozen_beyond_ms));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::atol(argv[++i]) : 0L; };
    if (a == "--quick") {
      o.quick = true;
      o.repeats = 1;
      o.ops = 2048;
      o.mib = 64;
    } else if (a == "--repeats") {
      o.repeats = std::max(1, static_cast<int>(next()));
    } else if (a == "--ops") {
      o.ops = std::max(64L, next());
    } else if (a == "--lockcheck") {
      o.lockcheck = true;
    } else if (a == "--mib") {
      o.mib = static_cast<std::uint64_t>(std::max(16L, next()));
    } else {
      std::fprintf(stderr, "usage: bench_cost [--quick] [--repeats R] [--ops N] [--mib M] [--lockcheck]\n");
      return 2;
    }
  }
  standin::lockcheck::set_enabled(o.lockcheck);
  char tmpl[] = "/tmp/cg-bench-cost-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const fs::path tmp = tmpl;
  std::printf("bench_cost, kernel %s: %d repeats, %ld operations per case, %llu MiB partitions, lock validator %s\n",
              CG_KERNEL_LINE, o.repeats, o.ops, static_cast<unsigned long long>(o.mib), o.lockcheck ? "on" : "off");
  long store_per_block = -1;
  for (const char* kind : {"ram", "file", "file-direct"}) {
    auto d = make_disk(kind, o.mib, tmp);
    if (!d) {
      std::fprintf(stderr, "bench_cost: cannot make the %s disk\n", kind);
      continue;
    }
    for (int threads : {1, 2, 4}) {
      Figures f;
      measure_disk(*d, threads, o, &f, store_per_block < 0 ? &store_per_block : nullptr);
      if (f.by_case.size() == std::size(kCases)) print_disk(d->name, threads, f);
    }
    sb::umount(d->part);
  }
  std::printf("\nstore memory per preserved block beyond its %u bytes: %ld bytes\n", kBlock, store_per_block);
  measure_agent(o, tmp);
  std::error_code ec;
  fs::remove_all(tmp, ec);
  return 0;
}
