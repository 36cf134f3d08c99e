// Backups in a loop under stamped writers, every point checked two ways.
// For each ext4 block size (1024, 2048, 4096) a served image's partition is
// written by four stamping writers at once through the daemon's exports
// (mixed sizes, one sector to 256 KiB; one writer on the whole disk across
// the boundary of the two partitions), while chains of a full backup and 25
// incrementals are made by separate `cowguard backup` commands.  Every point
// is restored and compared byte for byte with the device at its frozen
// instant (the daemon's ground-truth copy), and every stamp is checked
// against the writers' logs (no torn sector, no stamp newer than the
// snapshot, none older than the last completed write).
//
//   soak-2.6.X [seconds] [image MiB] [incrementals per chain]   (defaults: 120 32 25)
//
// Runs chains until the time is up (at least one chain per block size).
// Prints backups made, points verified, bytes compared, wrong bytes,
// fallbacks to full with their reasons, held writes, the peak of the store
// and the wall time; exits 1 when any check failed.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "proc.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace cowguard::reliability;

namespace {

const std::string kExe = CG_COWGUARD_EXE;
const std::string kStamp = CG_CGSTAMP_EXE;

struct Totals {
  unsigned backups = 0, verified = 0, wrong_points = 0, stamp_failures = 0, failed = 0, chains = 0;
  std::uint64_t bytes_compared = 0, wrong_bytes = 0, sectors_stamped = 0, held = 0, peak_store = 0;
  std::map<std::string, unsigned> fallbacks;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 120;
  const unsigned mib = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 32;
  const unsigned incrementals = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 25;
  if (std::system("command -v nbdkit > /dev/null") != 0 || kStamp.empty()) {
    std::printf("soak: nbdkit or cgstamp is missing; nothing run\n");
    return 0;
  }
  char tmpl[] = "/tmp/cg-soak-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path runs = dir / "run";
  ::mkdir(runs.c_str(), 0700);
  const std::string sock = (runs / "control.sock").string();
  const fs::path out = dir / "out.txt";
  Totals t;
  const auto t0 = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
  const unsigned sizes[] = {1024, 2048, 4096};

  for (unsigned round = 0; round < 3 || elapsed() < seconds; round++) {
    const unsigned bs = sizes[round % 3];
    const std::string image = (dir / "disk.img").string();
    fs::remove(image);
    if (run({kExe, "make-image", image, "--size", std::to_string(mib) + "M", "--block-size", std::to_string(bs)},
            out) != 0) {
      std::printf("soak: cannot make the image: %s\n", slurp(out).c_str());
      return 1;
    }
    const fs::path truth = dir / "truth";
    fs::create_directories(truth);
    if (run({kExe, "serve", image, "--socket", sock, "--truth-dir", truth.string()}, out) != 0) {
      std::printf("soak: the daemon did not start: %s\n", slurp(out).c_str());
      return 1;
    }
    json st = json::parse([&] {
      run({kExe, "status", "--socket", sock, "--json"}, out);
      return slurp(out);
    }(), nullptr, false);
    std::uint64_t p1_start = 0, p1_sectors = 0;
    for (const auto& d : st["devices"])
      if (d["name"] == "sda1") p1_start = d["start_sector"], p1_sectors = d["bytes"].get<std::uint64_t>() / 512;
    const std::string nbd = (runs / "nbd.sock").string();
    // Three writers on sda1 past its super block (the partition stays
    // mountable), one on the whole disk across the end of sda1 into sda2.
    const fs::path log1 = dir / "sda1.log", log2 = dir / "sda.log";
    pid_t w1 = spawn({kStamp, "write", "nbd+unix:///sda1?socket=" + nbd, "--log", log1.string(), "--threads", "3",
                      "--seed", std::to_string(round + 1), "--first-sector", "64", "--sectors",
                      std::to_string(p1_sectors - 64 - 2048)},
                     dir / "w1.out");
    pid_t w2 = spawn({kStamp, "write", "nbd+unix:///sda?socket=" + nbd, "--log", log2.string(), "--threads", "1",
                      "--seed", std::to_string(round + 100), "--first-sector", std::to_string(p1_start + p1_sectors - 2048),
                      "--sectors", "4096"},
                     dir / "w2.out");
    const std::string bk = (dir / ("bk-" + std::to_string(round))).string();
    std::vector<json> points;
    for (unsigned i = 0; i <= incrementals; i++) {
      std::vector<std::string> a = {kExe, "backup", "sda1", bk, "--all-blocks", "--json", "--no-progress", "--socket",
                                    sock};
      if (i == 0) a.push_back("--full");
      int rc = run(a, out);
      json r = json::parse(slurp(out), nullptr, false);
      t.backups++;
      if (rc != 0 || !r.is_object() || !r.value("ok", false)) {
        std::printf("chain %u, backup %u failed: %s\n", round, i, slurp(out).c_str());
        t.failed++;
        continue;
      }
      if (i > 0 && r.value("kind", "") == "full") t.fallbacks[r.value("fallback_reason", "?")]++;
      t.held += r.value("held_writes", 0u);
      if (r.contains("module_stats"))
        t.peak_store = std::max<std::uint64_t>(t.peak_store, r["module_stats"].value("peak_alloc_cps", 0u));
      points.push_back(r);
    }
    ::kill(w1, SIGTERM), ::kill(w2, SIGTERM);
    if (wait_exit(w1) != 0 || wait_exit(w2) != 0) {
      std::printf("chain %u: a stamping writer failed: %s %s\n", round, slurp(dir / "w1.out").c_str(),
                  slurp(dir / "w2.out").c_str());
      t.failed++;
    }
    run({kExe, "stop", "--socket", sock}, out);
    // Every point: byte for byte, and its stamps.
    for (const auto& p : points) {
      const std::string n = std::to_string(p["point"].get<unsigned>());
      const fs::path img = dir / "restored.img";
      if (run({kExe, "restore", bk, "--point", n, "-o", img.string(), "--no-progress"}, out) != 0) {
        std::printf("chain %u, point %s does not restore: %s\n", round, n.c_str(), slurp(out).c_str());
        t.failed++;
        continue;
      }
      const std::uint64_t wrong = differing_bytes(img, p.value("truth_file", ""), &t.bytes_compared);
      t.wrong_bytes += wrong;
      const std::string frozen = std::to_string(p.value("frozen_at_ns", std::uint64_t{0}));
      int c1 = run({kStamp, "check", img.string(), "--log", log1.string(), "--frozen-at", frozen, "--json"}, out);
      json j1 = json::parse(slurp(out), nullptr, false);
      // The whole-disk writer's sectors inside sda1 are at the partition's offset.
      int c2 = run({kStamp, "check", img.string(), "--log", log2.string(), "--frozen-at", frozen, "--sector-base",
                    std::to_string(p1_start), "--json"},
                   out);
      json j2 = json::parse(slurp(out), nullptr, false);
      if (j1.is_object()) t.sectors_stamped += j1.value("checked", 0u);
      if (j2.is_object()) t.sectors_stamped += j2.value("checked", 0u);
      if (c1 != 0 || c2 != 0) {
        t.stamp_failures++;
        std::printf("chain %u, point %s: stamps: %s %s\n", round, n.c_str(), j1.dump().c_str(), j2.dump().c_str());
      }
      if (wrong) {
        t.wrong_points++;
        std::printf("chain %u, point %s: %llu bytes unlike its frozen instant\n", round, n.c_str(),
                    static_cast<unsigned long long>(wrong));
      } else if (c1 == 0 && c2 == 0) {
        t.verified++;
      }
      fs::remove(img);
      fs::remove(p.value("truth_file", ""));
    }
    t.chains++;
    fs::remove_all(bk);
    fs::remove_all(truth);
  }
  std::printf("soak (%s): %u chains (block sizes 1024/2048/4096 in turn), %u backups, %u points verified "
              "(byte-exact and every stamp right), %u wrong points, %u stamp failures, %u failed steps; %llu bytes "
              "compared, %llu wrong; %llu stamped sectors checked; %llu client writes held; peak store %llu "
              "blocks; %.0f s\n",
              CG_KERNEL_LINE, t.chains, t.backups, t.verified, t.wrong_points, t.stamp_failures, t.failed,
              static_cast<unsigned long long>(t.bytes_compared), static_cast<unsigned long long>(t.wrong_bytes),
              static_cast<unsigned long long>(t.sectors_stamped), static_cast<unsigned long long>(t.held),
              static_cast<unsigned long long>(t.peak_store), elapsed());
  for (const auto& [why, n] : t.fallbacks) std::printf("  fallback to full (%u): %s\n", n, why.c_str());
  std::error_code ec;
  fs::remove_all(dir, ec);
  return t.failed || t.wrong_points || t.stamp_failures ? 1 : 0;
}
