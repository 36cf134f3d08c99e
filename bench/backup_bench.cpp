// Backups through the loaded module, measured: how fast the agent reads a
// snapshot into its backup directory, what a running snapshot costs the
// writers of the device (every first write to a block waits for its old
// contents to be preserved), and how much of the store of preserved blocks
// a backup needs.  Prints figures; asserts nothing.
//
//   bench_backup-2.6.X [MiB] [seconds]     (defaults: 128 MiB, 1 s of writes)
//
// The device is a RAM disk partition with the stand-in's test file system
// (4096-byte blocks), which libext2fs cannot read, so every backup takes
// every block of a full backup and every changed block of an incremental.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backup.h"
#include "standin/block.h"
#include "standin/standin.h"

namespace {

namespace sb = standin::block;
namespace fs = std::filesystem;
namespace ag = cowguard::agent;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBlock = 4096;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Random one-block writes through the mounted file system on its own thread.
class Writer {
 public:
  explicit Writer(sb::devnum part) : part_(part), blocks_(sb::device_sectors(part) / (kBlock / 512)) {}
  ~Writer() { stop(); }
  void start() {
    stop_ = false;
    writes_ = 0;
    t_ = std::thread([this] {
      std::mt19937_64 rng(99);
      std::vector<std::uint8_t> buf(kBlock);
      while (!stop_.load(std::memory_order_relaxed)) {
        for (std::size_t i = 0; i < buf.size(); i += 8) buf[i] = static_cast<std::uint8_t>(rng());
        std::uint64_t b = 1 + rng() % (blocks_ - 1);  // block 0 holds the file system's header
        if (sb::fs_write(part_, b * kBlock, buf.data(), buf.size()) != 0) {
          failed_ = true;
          break;
        }
        writes_.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  long stop() {
    stop_ = true;
    if (t_.joinable()) t_.join();
    return writes_.load();
  }
  long writes() const { return writes_.load(); }
  bool failed() const { return failed_; }

 private:
  sb::devnum part_;
  std::uint64_t blocks_;
  std::thread t_;
  std::atomic<bool> stop_{false};
  std::atomic<long> writes_{0};
  std::atomic<bool> failed_{false};
};

void print_backup(const char* name, const ag::BackupResult& r, double writes_per_s) {
  double mib = static_cast<double>(r.blocks_wanted) * r.block_size / (1 << 20);
  long peak = r.stats ? r.stats->peakAllocCPs : 0;
  std::printf("%-34s %8llu %8llu %9.1f %9.3f %9.1f %10.1f %10.1f", name,
              static_cast<unsigned long long>(r.blocks_wanted),
              static_cast<unsigned long long>(r.blocks_from_store), mib, r.elapsed_seconds,
              r.elapsed_seconds > 0 ? mib / r.elapsed_seconds : 0.0, r.frozen_seconds * 1000,
              static_cast<double>(peak) * r.block_size / 1024);
  if (writes_per_s >= 0) std::printf(" %10.0f", writes_per_s);
  std::printf("\n");
}

int run(std::uint64_t mib, double seconds) {
  char tmpl[] = "/tmp/cg-bench-backup-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  fs::path tmp = tmpl;
  std::uint64_t sectors = mib << 11;
  auto disk = sb::Disk::ram(2048 + sectors);
  if (!disk || !sb::write_mbr(*disk, {{2048, sectors}}) || disk->rescan() != 0) {
    std::fprintf(stderr, "cannot make the disk\n");
    return 1;
  }
  sb::devnum part = disk->part_dev(1);
  if (!sb::format_testfs(part, kBlock) || sb::mount(part) != 0) {
    std::fprintf(stderr, "cannot make or mount the file system\n");
    return 1;
  }
  // Every block written once, so that a full backup reads allocated storage.
  {
    std::vector<std::uint8_t> buf(1 << 20, 0x5a);
    for (std::uint64_t off = 1 << 20; off + buf.size() <= (mib << 20); off += buf.size())
      sb::fs_write(part, off, buf.data(), buf.size());
  }
  if (standin::modules::insmod(CG_MODULE_PATH) != 0) {
    std::fprintf(stderr, "insmod %s failed\n", CG_MODULE_PATH);
    return 1;
  }

  ag::BackupOptions o;
  o.major = sb::major_of(part);
  o.minor = sb::minor_of(part);
  o.dir = tmp / "backups";

  std::printf("backups of a %llu MiB partition, %u-byte blocks (%s)\n",
              static_cast<unsigned long long>(mib), kBlock, CG_KERNEL_LINE);

  Writer w(part);
  w.start();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double base_rate = static_cast<double>(w.stop()) / seconds;
  std::printf("writer alone, no backup running: %.0f one-block writes/s\n\n", base_rate);

  std::printf("%-34s %8s %8s %9s %9s %9s %10s %10s %10s\n", "backup", "blocks", "store", "MiB",
              "seconds", "MiB/s", "frozen ms", "peak KiB", "writes/s");
  int rc = 0;
  double tracked_rate = 0;
  try {
    ag::BackupResult idle = ag::full_backup(o);
    print_backup("full, device idle", idle, -1);

    w.start();
    ag::BackupResult busy = ag::full_backup(o);
    long during = w.stop();
    print_backup("full, writer running", busy, static_cast<double>(during) / busy.elapsed_seconds);

    // The changes of `seconds` of writes, backed up while idle and then
    // while the writer goes on.
    w.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    tracked_rate = static_cast<double>(w.stop()) / seconds;
    ag::BackupResult inc = ag::incremental_backup(o);
    print_backup("incremental, device idle", inc, -1);

    w.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    auto t0 = Clock::now();
    long before = w.writes();
    ag::BackupResult inc2 = ag::incremental_backup(o);
    double rate = static_cast<double>(w.writes() - before) / seconds_since(t0);
    w.stop();
    print_backup("incremental, writer running", inc2, rate);
    if (inc.kind != ag::BackupKind::incremental || inc2.kind != ag::BackupKind::incremental) {
      std::fprintf(stderr, "an incremental fell back to a full backup: %s%s\n", inc.fallback_reason.c_str(),
                   inc2.fallback_reason.c_str());
      rc = 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "backup failed: %s\n", e.what());
    rc = 1;
  }
  if (tracked_rate > 0)
    std::printf("\nwriter alone, changes tracked, no backup running: %.0f one-block writes/s\n", tracked_rate);
  if (w.failed()) {
    std::fprintf(stderr, "a write of the writer failed\n");
    rc = 1;
  }
  std::printf("\nstore: blocks read from the store of preserved blocks; peak KiB: the most preserved\n"
              "blocks held at once; writes/s: the writer's rate while the backup ran\n");

  standin::modules::rmmod("cowguard", true);
  sb::umount(part);
  disk.reset();
  standin::task::wait_kernel_threads(5000);
  fs::remove_all(tmp);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 128;
  double seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
  if (mib < 4 || mib > 4096 || !(seconds > 0)) {
    std::fprintf(stderr, "usage: %s [MiB 4..4096] [seconds > 0]\n", argv[0]);
    return 2;
  }
  return run(mib, seconds);
}
