// cgstamp: a stamping NBD writer (libnbd) and the checker of a restored
// snapshot against its log.
//
//   cgstamp write URI --log FILE [--threads 4] [--seconds S | --writes N]
//                 [--seed N] [--max-bytes 262144] [--first-sector S] [--sectors N] [--flush]
//   cgstamp check IMAGE --log FILE --frozen-at NS [--image-offset BYTES] [--sector-base S] [--json]
//
// Each writer thread owns a disjoint region of the export and writes one
// run at a time (1 sector to --max-bytes, mostly 4 KiB), so the writes to a
// sector are ordered.  The log holds a 40-byte record per write (seq, first
// sector, sectors, submit ns, complete ns; CLOCK_MONOTONIC), written whole
// at the end.  SIGINT and SIGTERM end the writing after the write in progress.
// check exits 0 when every sector the log touches is as the frozen instant
// allows, 1 when not, 2 for bad arguments, 3 for a missing file.
#include <libnbd.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "stamp.h"

namespace st = cowguard::stamp;

namespace {

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

std::uint64_t now_ns() {
  timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

void put64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct WriteArgs {
  std::string uri, log;
  unsigned threads = 4;
  double seconds = 0;
  std::uint64_t writes = 0;
  std::uint64_t seed = 1;
  std::uint64_t max_bytes = 256 * 1024;
  std::uint64_t first = 0, sectors = 0;
  bool flush = false;
};

int write_command(const WriteArgs& a) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::vector<nbd_handle*> hs;
  for (unsigned i = 0; i < a.threads; i++) {
    nbd_handle* h = nbd_create();
    if (!h || nbd_connect_uri(h, a.uri.c_str()) == -1) {
      std::fprintf(stderr, "cgstamp: cannot connect to %s: %s\n", a.uri.c_str(), nbd_get_error());
      return 1;
    }
    hs.push_back(h);
  }
  const std::uint64_t size = static_cast<std::uint64_t>(nbd_get_size(hs[0])) / st::kSector;
  const std::uint64_t first = a.first;
  const std::uint64_t count = a.sectors ? a.sectors : (size > first ? size - first : 0);
  if (first + count > size || count < a.threads) {
    std::fprintf(stderr, "cgstamp: the range does not fit the export's %llu sectors\n",
                 static_cast<unsigned long long>(size));
    return 2;
  }
  const std::uint64_t max_sectors = std::max<std::uint64_t>(1, a.max_bytes / st::kSector);
  const std::uint64_t region = count / a.threads;
  std::vector<std::vector<st::LogRecord>> logs(a.threads);
  std::atomic<std::uint64_t> total{0}, bytes{0};
  std::atomic<bool> failed{false};
  const std::uint64_t t0 = now_ns();
  std::vector<std::thread> ts;
  for (unsigned t = 0; t < a.threads; t++) {
    ts.emplace_back([&, t] {
      std::mt19937_64 rng(a.seed * 1000 + t);
      const std::uint64_t lo = first + t * region;
      std::vector<std::uint8_t> buf(max_sectors * st::kSector);
      for (std::uint64_t n = 0;; n++) {
        if (g_stop || failed) break;
        if (a.writes && total >= a.writes) break;
        if (a.seconds > 0 && (now_ns() - t0) / 1e9 >= a.seconds) break;
        const unsigned pick = rng() % 100;
        std::uint64_t len = pick < 60 ? 8 : pick < 75 ? 1 : 1 + rng() % max_sectors;
        len = std::min({len, max_sectors, region});
        const std::uint64_t at = lo + rng() % (region - len + 1);
        const std::uint64_t seq = static_cast<std::uint64_t>(t) << 48 | n;
        const std::uint64_t submit = now_ns();
        for (std::uint64_t i = 0; i < len; i++) st::make_sector(&buf[i * st::kSector], at + i, seq, submit);
        if (nbd_pwrite(hs[t], buf.data(), len * st::kSector, at * st::kSector, 0) == -1) {
          std::fprintf(stderr, "cgstamp: write of %llu sectors at %llu failed: %s\n",
                       static_cast<unsigned long long>(len), static_cast<unsigned long long>(at), nbd_get_error());
          failed = true;
          break;
        }
        logs[t].push_back({seq, at, len, submit, now_ns()});
        total++;
        bytes += len * st::kSector;
      }
    });
  }
  for (auto& th : ts) th.join();
  const double secs = (now_ns() - t0) / 1e9;
  if (a.flush) nbd_flush(hs[0], 0);
  for (auto* h : hs) {
    nbd_shutdown(h, 0);
    nbd_close(h);
  }
  std::ofstream f(a.log, std::ios::binary | std::ios::trunc);
  for (const auto& l : logs)
    for (const auto& r : l) {
      std::uint8_t rec[40];
      put64(rec, r.seq), put64(rec + 8, r.first), put64(rec + 16, r.count);
      put64(rec + 24, r.submit_ns), put64(rec + 32, r.complete_ns);
      f.write(reinterpret_cast<const char*>(rec), sizeof rec);
    }
  f.close();
  if (!f) {
    std::fprintf(stderr, "cgstamp: cannot write the log %s\n", a.log.c_str());
    return 1;
  }
  std::fprintf(stderr, "cgstamp: %llu writes, %.1f MiB in %.1f s (%.0f writes/s)\n",
               static_cast<unsigned long long>(total.load()), bytes / 1048576.0, secs, total / std::max(secs, 1e-9));
  return failed ? 1 : 0;
}

int check_command(const std::string& image, const std::string& logp, std::uint64_t frozen, std::uint64_t offset,
                  std::optional<std::uint64_t> base, bool as_json) {
  std::vector<st::LogRecord> log;
  std::string err;
  if (!st::read_log(logp, &log, &err)) {
    std::fprintf(stderr, "cgstamp: %s\n", err.c_str());
    return 3;
  }
  st::CheckResult r = st::check_image(image, offset, log, frozen, &err, base);
  if (!err.empty()) {
    std::fprintf(stderr, "cgstamp: %s\n", err.c_str());
    return 3;
  }
  if (as_json) {
    nlohmann::json j = {{"checked", r.checked}, {"ok", r.ok},           {"torn", r.torn},
                        {"stale", r.stale},     {"too_new", r.too_new}, {"missing", r.missing},
                        {"writes", log.size()}, {"problems", r.problems}};
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    std::printf("%llu sectors checked against %zu writes: %llu ok, %llu torn, %llu stale, %llu too new, %llu missing\n",
                static_cast<unsigned long long>(r.checked), log.size(), static_cast<unsigned long long>(r.ok),
                static_cast<unsigned long long>(r.torn), static_cast<unsigned long long>(r.stale),
                static_cast<unsigned long long>(r.too_new), static_cast<unsigned long long>(r.missing));
    for (const auto& p : r.problems) std::printf("  %s\n", p.c_str());
  }
  return r.good() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"cgstamp: stamped NBD writes, and the check of a snapshot against them"};
  app.require_subcommand(1);
  WriteArgs w;
  auto* wc = app.add_subcommand("write", "write stamped sectors to an NBD export, logging every write");
  wc->add_option("URI", w.uri, "NBD URI")->required();
  wc->add_option("--log", w.log, "the log file")->required();
  wc->add_option("--threads", w.threads, "writers, each on its own region")->check(CLI::Range(1u, 64u));
  wc->add_option("--seconds", w.seconds, "write for this long (else until --writes or a signal)");
  wc->add_option("--writes", w.writes, "stop after this many writes");
  wc->add_option("--seed", w.seed, "random seed");
  wc->add_option("--max-bytes", w.max_bytes, "largest write")->check(CLI::Range(512ull, 32ull << 20));
  wc->add_option("--first-sector", w.first, "first sector of the range written");
  wc->add_option("--sectors", w.sectors, "sectors of the range (default: to the end)");
  wc->add_flag("--flush", w.flush, "flush at the end");
  std::string image, logp;
  std::uint64_t frozen = 0, offset = 0;
  bool as_json = false;
  auto* cc = app.add_subcommand("check", "check an image against a log at a frozen instant");
  cc->add_option("IMAGE", image, "the restored image")->required();
  cc->add_option("--log", logp, "the writer's log")->required();
  cc->add_option("--frozen-at", frozen, "the frozen instant, CLOCK_MONOTONIC ns")->required();
  cc->add_option("--image-offset", offset, "byte of the image where the export's sector 0 is");
  std::uint64_t base = 0;
  auto* base_opt = cc->add_option("--sector-base", base,
                                  "the image holds the export's sectors from this one on (a partition of a disk "
                                  "written whole); others are not checked");
  cc->add_flag("--json", as_json, "print the counts as JSON");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  if (wc->parsed()) return write_command(w);
  return check_command(image, logp, frozen, offset,
                       base_opt->count() ? std::optional<std::uint64_t>(base) : std::nullopt, as_json);
}
