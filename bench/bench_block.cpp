// Raw throughput of the stand-in's disks through the block layer (bios
// submitted with submit_bio and completed on the disks' own threads), and
// the cost of bitmap bit operations.  Prints figures; asserts nothing.
//
//   bench_block-2.6.X [seconds-per-case]      (default 0.3)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "standin/block.h"

#include <asm/bitops.h>
#include <linux/fs.h>

namespace {

namespace sb = standin::block;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kDiskBytes = 64ull << 20;
constexpr std::uint64_t kDiskSectors = kDiskBytes / 512;

struct Case {
  const char* pattern;  // "4k-random" or "64k-seq"
  std::size_t len;
  bool random;
  int rw;
  int threads;
};

// Runs one case for `seconds`; returns MiB/s and I/Os per second.
void run_case(sb::devnum dev, const Case& c, double seconds, double* mibs, double* iops) {
  std::atomic<bool> stop{false};
  std::atomic<long> ios{0};
  std::vector<std::thread> threads;
  std::uint64_t blocks = kDiskBytes / c.len;
  for (int t = 0; t < c.threads; t++)
    threads.emplace_back([&, t] {
      std::vector<std::uint8_t> buf(c.len, static_cast<std::uint8_t>(t + 1));
      std::mt19937_64 rng(1234 + t);
      // Sequential threads each walk their own half of the disk.
      std::uint64_t span = blocks / c.threads, next = span * t;
      long n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        std::uint64_t block = c.random ? rng() % blocks : next;
        if (!c.random && ++next >= span * (t + 1)) next = span * t;
        if (sb::rw_sectors(dev, c.rw, block * (c.len / 512), buf.data(), c.len) != 0) break;
        n++;
      }
      ios += n;
    });
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  *iops = ios.load() / secs;
  *mibs = *iops * c.len / (1024.0 * 1024.0);
}

void bench_disk(const char* kind, sb::Disk& disk, double seconds) {
  // Fill the disk once so that reads find data (and a sparse disk its chunks).
  std::vector<std::uint8_t> chunk(1 << 20, 0x5a);
  for (std::uint64_t off = 0; off < kDiskBytes; off += chunk.size())
    sb::rw_sectors(disk.dev(), WRITE, off / 512, chunk.data(), chunk.size());

  const Case cases[] = {
      {"4k-random", 4096, true, READ, 1},   {"4k-random", 4096, true, READ, 2},
      {"4k-random", 4096, true, WRITE, 1},  {"4k-random", 4096, true, WRITE, 2},
      {"64k-seq", 65536, false, READ, 1},   {"64k-seq", 65536, false, READ, 2},
      {"64k-seq", 65536, false, WRITE, 1},  {"64k-seq", 65536, false, WRITE, 2},
  };
  for (const Case& c : cases) {
    double mibs = 0, iops = 0;
    run_case(disk.dev(), c, seconds, &mibs, &iops);
    std::printf("  %-12s %-10s %-5s %d thread%s  %9.1f MiB/s  %10.0f IO/s\n", kind, c.pattern,
                c.rw == READ ? "read" : "write", c.threads, c.threads > 1 ? "s" : " ", mibs, iops);
  }
}

// Bit operations on a 4096-byte page of bits, the unit a block bitmap is
// made of: atomic set_bit and test_bit over pseudo-random bit numbers.
void bench_bitops() {
  std::vector<unsigned long> page(4096 / sizeof(unsigned long), 0);
  constexpr long kOps = 20'000'000;
  std::uint32_t x = 2463534242u;
  auto start = Clock::now();
  long hits = 0;
  for (long i = 0; i < kOps; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    int nr = static_cast<int>(x % 32768);
    if (i & 1)
      set_bit(nr, page.data());
    else
      hits += test_bit(nr, page.data());
  }
  double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kOps;
  std::printf("  raw bitops (set_bit/test_bit, one 4 KiB page)  %6.2f ns/op  (%ld set seen)\n", ns,
              hits);
}

// The module's BlockMap (counted users, paged bitmap) has its own program,
// linked with the module's objects.
void bench_blockmap() {
  std::printf("  BlockMap (the module's paged bitmap): see bench_blockmap-%s\n", CG_KERNEL_LINE);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 0.3;
  if (seconds <= 0) seconds = 0.3;
  std::printf("cowguard block benchmarks, kernel line %s (%.2f s a case)\n", CG_KERNEL_LINE,
              seconds);

  std::printf("disks (64 MiB, synchronous bios through submit_bio):\n");
  {
    sb::DiskConfig cfg;
    cfg.scan_partitions = false;
    auto ram = sb::Disk::ram(kDiskSectors, cfg);
    bench_disk("ram", *ram, seconds);
  }
  {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/cg-bench-" +
                       std::to_string(getpid()) + ".img";
    sb::DiskConfig cfg;
    cfg.scan_partitions = false;
    auto file = sb::Disk::file(path, kDiskSectors, cfg);
    if (file) bench_disk("file", *file, seconds);
    file.reset();
    cfg.direct = true;
    auto direct = sb::Disk::file(path, kDiskSectors, cfg);
    if (direct && direct->direct()) bench_disk("file-direct", *direct, seconds);
    direct.reset();
    ::unlink(path.c_str());
  }

  std::printf("bitmaps:\n");
  bench_bitops();
  bench_blockmap();
  return 0;
}
