// sweep: every fault site of the kernel that the module reaches, failed at
// its 1st, 2nd, 3rd, ... call, each time in a whole backup cycle of its own.
//
//   sweep-2.6.X [--sites a,b,..] [--max-n N] [--sample K] [--jobs J] [--timeout S]
//               [--keep DIR] [--verbose]
//   sweep-2.6.X --run SITE N      (one run; used by the sweep itself)
//   sweep-2.6.X --count           (a run without faults: calls per site)
//
// One run is a process of its own: a RAM disk with the test file system
// mounted, the site armed to fail only its Nth call, then insmod, a full
// backup and an incremental backup (each start, windows, snapshot, map
// load, reads of every block, close) while two writers write the file
// system, then the faults cleared and a clean backup that must work.  The
// run then checks:
//  - every backup that reported success restores byte for byte to the
//    device at its frozen instant, and the chain verifies;
//  - every backup that failed named a module status (and state) or an errno;
//  - every write the writers completed is on the device as written;
//  - after rmmod nothing the kernel hands out is still live, and the lock
//    checker saw no violation.
// The sweep runs N = 1, 2, ... per site until a run no longer reaches the
// Nth call (or --max-n); a run past --timeout seconds counts as a hang, a
// run that dies on a signal as a crash.  It prints the sites, the N explored
// and the outcome classes, and exits 1 when any run was bad.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "backup.h"
#include "format.h"
#include "standin/block.h"
#include "standin/fault.h"
#include "standin/lockcheck.h"
#include "standin/memory.h"
#include "standin/module.h"
#include "standin/task.h"

namespace blk = standin::block;
namespace fault = standin::fault;
namespace fs = std::filesystem;
using nlohmann::json;
using namespace cowguard::agent;

namespace {

struct SiteName {
  fault::Site site;
  const char* name;
};
const SiteName kSites[] = {
    {fault::Site::kmalloc, "kmalloc"},         {fault::Site::vmalloc, "vmalloc"},
    {fault::Site::slab_alloc, "slab_alloc"},   {fault::Site::slab_create, "slab_create"},
    {fault::Site::page_alloc, "page_alloc"},   {fault::Site::kthread, "kthread"},
    {fault::Site::bio_alloc, "bio_alloc"},     {fault::Site::bh_alloc, "bh_alloc"},
    {fault::Site::disk_read, "disk_read"},     {fault::Site::disk_write, "disk_write"},
    {fault::Site::disk_partial, "disk_partial"}, {fault::Site::disk_notsupp, "disk_notsupp"},
};

std::optional<fault::Site> site_of(const std::string& name) {
  for (const auto& s : kSites)
    if (name == s.name) return s.site;
  return std::nullopt;
}

// ---- one run ------------------------------------------------------------------

constexpr std::uint64_t kPartStart = 2048;
constexpr std::uint64_t kPartSectors = 2048;  // 1 MiB
constexpr std::uint32_t kBlockSize = 4096;    // 256 blocks
constexpr int kWriters = 2;
constexpr int kWritesPerRound = 24;

// What the writers wrote: the partition as it must be, sector by sector,
// and the sectors whose last write failed (their contents are unknown).
struct Model {
  std::mutex m;
  std::vector<std::uint8_t> bytes;
  std::vector<bool> unknown;
  long done = 0, failed = 0;
};

// Writer w writes pieces of 1 to 8 sectors in its own 16-sector stripes
// (stripe % kWriters == w), so that no two writers share a sector and each
// sector's last write is the writer's own last one.  The file system's
// first 8 KiB stay untouched.
void writer_round(blk::devnum dev, Model* model, int w, unsigned seed) {
  std::mt19937 rng(seed);
  const std::uint64_t stripes = kPartSectors / 16;
  std::vector<std::uint8_t> buf(8 * 512);
  for (int i = 0; i < kWritesPerRound; i++) {
    std::uint64_t stripe;
    do stripe = 1 + rng() % (stripes - 1);
    while (stripe % kWriters != static_cast<unsigned>(w));
    std::uint64_t n = 1 + rng() % 8;
    std::uint64_t sector = stripe * 16 + rng() % (16 - n + 1);
    for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
    int rc = blk::fs_write(dev, sector * 512, buf.data(), n * 512);
    {
      std::lock_guard lk(model->m);
      for (std::uint64_t s = sector; s < sector + n; s++) model->unknown[s] = rc != 0;
      if (rc == 0)
        std::memcpy(&model->bytes[sector * 512], buf.data(), n * 512);
      (rc == 0 ? model->done : model->failed)++;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(150));
  }
}

std::vector<std::uint8_t> read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Attempt {
  std::string kind;     // "full", "incremental", "clean"
  std::string outcome;  // "verified", "failed: ...", or a bad class
  bool bad = false;
};

// The outcome of a backup that threw: named, or a bad class.
std::string failure_name(const std::exception& e, bool* bad) {
  if (auto* ce = dynamic_cast<const Error*>(&e)) {
    std::string s = "failed: ";
    if (ce->code() == Errc::system) {
      s += ce->command() + " " + std::strerror(ce->sys_errno());
    } else if (ce->code() == Errc::unknown_status) {
      *bad = true;
      return "unnamed status " + std::to_string(ce->status()) + " (" + e.what() + ")";
    } else if (ce->status() != CGD_OK) {
      s += std::string(status_name(ce->status()));
    } else {
      s += ce->command() + ": the session failed";
    }
    if (ce->state()) s += " in " + std::string(state_name(*ce->state()));
    return s;
  }
  *bad = true;
  return std::string("unexpected failure: ") + e.what();
}

json run_one(fault::Site site, const std::string& site_name, long nth, bool count_only) {
  json out;
  out["site"] = site_name;
  out["n"] = nth;
  std::vector<std::string> bad;
  char tmpl[] = "/tmp/cg-sweep-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    out["bad"] = json::array({"mkdtemp failed"});
    return out;
  }
  const fs::path tmp = tmpl;

  standin::lockcheck::take();
  const auto before = standin::mem::usage();
  auto disk = blk::Disk::ram(kPartStart + kPartSectors + 2048);
  if (!disk || !blk::write_mbr(*disk, {{kPartStart, kPartSectors}}) || disk->rescan() != 0) {
    out["bad"] = json::array({"setup: disk"});
    return out;
  }
  const blk::devnum part = disk->part_dev(1);
  if (!blk::format_testfs(part, kBlockSize) || blk::mount(part) != 0) {
    out["bad"] = json::array({"setup: file system"});
    return out;
  }
  Model model;
  model.bytes = blk::device_bytes(part);
  model.unknown.assign(kPartSectors, false);

  // The partition at every frozen instant.
  std::mutex fm;
  std::vector<std::vector<std::uint8_t>> frozen;
  blk::set_freeze_hook([&](blk::devnum dev, struct super_block*) {
    if (dev != part) return;
    std::lock_guard lk(fm);
    frozen.push_back(blk::device_bytes(dev));
  });
  auto frozen_count = [&] {
    std::lock_guard lk(fm);
    return frozen.size();
  };

  BackupOptions o;
  o.major = blk::major_of(part);
  o.minor = blk::minor_of(part);
  o.dir = tmp / "backups";

  // Points that reported success, with the bytes they must restore to.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> points;
  std::vector<Attempt> attempts;
  auto attempt = [&](const std::string& kind, bool with_writers, unsigned seed) {
    std::vector<std::thread> writers;
    if (with_writers)
      for (int w = 0; w < kWriters; w++)
        writers.emplace_back(writer_round, part, &model, w, seed * 31 + w);
    Attempt a{kind, "", false};
    std::size_t f0 = frozen_count();
    try {
      BackupResult r = kind == "full" ? full_backup(o) : incremental_backup(o);
      std::lock_guard lk(fm);
      if (frozen.size() == f0) {
        a.bad = true;
        a.outcome = "reported success without a frozen instant";
      } else {
        points.emplace_back(r.sequence, frozen.back());
        a.outcome = std::string("completed ") + (r.kind == BackupKind::full ? "full" : "incremental");
      }
    } catch (const std::exception& e) {
      a.outcome = failure_name(e, &a.bad);
    }
    for (auto& t : writers) t.join();
    attempts.push_back(a);
  };

  if (count_only) {
    for (const auto& s : kSites) fault::set(s.site, {});  // counts, never fails
  } else {
    fault::set(site, {.nth = nth, .times = 1});
  }
  int rc = standin::modules::insmod(CG_MODULE_PATH);
  if (rc == 0) {
    attempt("full", true, static_cast<unsigned>(nth) * 2 + 1);
    attempt("incremental", true, static_cast<unsigned>(nth) * 2 + 2);
  } else {
    out["insmod"] = rc;
  }
  if (count_only) {
    json calls;
    for (const auto& s : kSites) calls[s.name] = fault::calls(s.site);
    out["calls"] = calls;
  } else {
    out["calls"] = fault::calls(site);
    out["failures"] = fault::failures(site);
  }
  fault::clear_all();

  // Once the fault is gone, a backup must work again.
  if (rc != 0) rc = standin::modules::insmod(CG_MODULE_PATH);
  if (rc != 0) {
    bad.push_back("insmod without faults: " + std::to_string(rc));
  } else {
    attempt("clean", false, 0);
    if (attempts.back().outcome.rfind("completed", 0) != 0)
      bad.push_back("the backup after the fault: " + attempts.back().outcome);
  }

  // Every point that reported success, byte for byte.
  for (const auto& [seq, want] : points) {
    try {
      fs::path img = tmp / ("point-" + std::to_string(seq) + ".img");
      restore(o.dir, seq, img);
      auto got = read_file(img);
      std::uint64_t wrong = got.size() != want.size() ? std::max(got.size(), want.size()) : 0;
      for (std::size_t i = 0; i < std::min(got.size(), want.size()); i++) wrong += got[i] != want[i];
      if (wrong) bad.push_back("point " + std::to_string(seq) + ": " + std::to_string(wrong) + " wrong bytes");
    } catch (const std::exception& e) {
      bad.push_back("point " + std::to_string(seq) + " does not restore: " + e.what());
    }
  }
  if (!points.empty()) {
    try {
      VerifyReport rep = verify(o.dir);
      if (!rep.ok) bad.push_back("verify: " + rep.message);
    } catch (const std::exception& e) {
      bad.push_back(std::string("verify: ") + e.what());
    }
  }

  // Every completed write of the writers is on the device.
  {
    auto now = blk::device_bytes(part);
    long lost = 0;
    for (std::uint64_t s = 0; s < kPartSectors; s++)
      if (!model.unknown[s] && std::memcmp(&now[s * 512], &model.bytes[s * 512], 512) != 0) lost++;
    if (lost) bad.push_back(std::to_string(lost) + " sectors written and not on the device");
    out["writes"] = model.done;
    out["failed_writes"] = model.failed;
  }

  blk::set_freeze_hook({});
  if (standin::modules::loaded("cowguard")) {
    int r = standin::modules::rmmod("cowguard");
    if (r != 0) bad.push_back("rmmod: " + std::to_string(r));
  }
  if (!standin::task::wait_kernel_threads(10000)) bad.push_back("kernel threads still running");
  blk::umount(part);
  disk.reset();
  std::string leaks = standin::mem::leak_report(before);
  if (!leaks.empty()) bad.push_back("leaked after rmmod:\n" + leaks);
  for (const auto& v : standin::lockcheck::take()) bad.push_back("lock check: " + v.kind + "\n" + v.report);

  json a = json::array();
  for (const auto& x : attempts) {
    a.push_back({{"kind", x.kind}, {"outcome", x.outcome}});
    if (x.bad) bad.push_back(x.kind + ": " + x.outcome);
  }
  out["attempts"] = a;
  out["bad"] = bad;
  std::error_code ec;
  fs::remove_all(tmp, ec);
  return out;
}

// ---- the sweep ----------------------------------------------------------------------

struct Options {
  std::vector<std::string> sites;
  long max_n = 0;      // 0: until a run does not reach N
  long sample = 0;     // >0: N = 1..sample, then spread over the site's calls
  int jobs = 2;
  int timeout = 60;
  fs::path keep;       // logs of bad runs
  bool verbose = false;
};

struct Child {
  pid_t pid = -1;
  std::string site;
  long n = 0;
  fs::path out, err;
  std::chrono::steady_clock::time_point started;
};

std::string self_exe() {
  std::error_code ec;
  auto p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("sweep") : p.string();
}

Child spawn(const std::string& exe, const std::string& site, long n, const fs::path& dir) {
  Child c;
  c.site = site;
  c.n = n;
  c.out = dir / (site + "-" + std::to_string(n) + ".json");
  c.err = dir / (site + "-" + std::to_string(n) + ".log");
  c.started = std::chrono::steady_clock::now();
  c.pid = ::fork();
  if (c.pid == 0) {
    int o = ::open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::setpgid(0, 0);
    std::string ns = std::to_string(n);
    ::execl(exe.c_str(), exe.c_str(), "--run", site.c_str(), ns.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return c;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The class of a run's outcome: its attempts' outcomes, or what was bad.
struct Result {
  std::string site;
  long n = 0;
  bool reached = false;
  bool bad = false;
  std::string klass;
  std::string detail;
  long calls = 0;
};

std::string class_of(const json& j) {
  std::string k;
  if (j.contains("insmod")) k = "insmod refused (" + std::to_string(j["insmod"].get<int>()) + "); ";
  for (const auto& a : j["attempts"]) {
    if (a["kind"] == "clean") continue;
    std::string o = a["outcome"].get<std::string>();
    if (o.rfind("completed", 0) == 0) o = "ok";
    k += a["kind"].get<std::string>() + " " + o + "; ";
  }
  if (j.value("failed_writes", 0L) > 0) k += "a writer's write failed; ";
  if (k.size() >= 2) k.resize(k.size() - 2);
  return k;
}

Result finish(const Child& c, int status, bool timed_out) {
  Result r;
  r.site = c.site;
  r.n = c.n;
  if (timed_out) {
    r.bad = true;
    r.reached = true;
    r.klass = "HANG";
    r.detail = "no end within the timeout";
    return r;
  }
  if (WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) {
    r.bad = true;
    r.reached = true;
    r.klass = WIFSIGNALED(status) ? "CRASH (signal " + std::to_string(WTERMSIG(status)) + ")"
                                  : "CRASH (exit " + std::to_string(WEXITSTATUS(status)) + ")";
    std::string log = slurp(c.err);
    r.detail = log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    return r;
  }
  json j;
  try {
    j = json::parse(slurp(c.out));
  } catch (const std::exception& e) {
    r.bad = true;
    r.reached = true;
    r.klass = "NO RESULT";
    r.detail = e.what();
    return r;
  }
  r.calls = j.value("calls", 0L);
  r.reached = j.value("failures", 0L) > 0;
  r.klass = r.reached ? class_of(j) : "not reached";
  for (const auto& b : j["bad"]) {
    r.bad = true;
    r.detail += b.get<std::string>() + "\n";
  }
  if (r.bad) r.klass = "BAD: " + r.klass;
  return r;
}

int sweep(const Options& opt) {
  const std::string exe = self_exe();
  char tmpl[] = "/tmp/cg-sweep-runs-XXXXXX";
  if (!::mkdtemp(tmpl)) return 2;
  const fs::path dir = tmpl;
  const auto t0 = std::chrono::steady_clock::now();

  // Per site: the next N to run, whether it is done, and the calls a run
  // without the fault makes (for the sample's spread).
  struct SiteRun {
    std::string name;
    long next = 1;
    long last_n = 0;
    long max_seen_calls = 0;
    bool done = false;
    std::vector<long> plan;  // sample mode: the Ns to run
    std::size_t plan_i = 0;
    std::map<std::string, long> classes;
    long runs = 0, bad = 0;
  };
  std::vector<SiteRun> sites;
  for (const auto& s : opt.sites) {
    sites.emplace_back();
    sites.back().name = s;
  }

  // Sample mode: N = 1..sample and sample more spread over the calls a
  // clean run makes.
  if (opt.sample > 0) {
    Child c = spawn(exe, "count", 0, dir);
    int st = 0;
    ::waitpid(c.pid, &st, 0);
    json counts;
    try {
      counts = json::parse(slurp(c.out))["calls"];
    } catch (...) {
      std::fprintf(stderr, "sweep: the counting run failed:\n%s\n", slurp(c.err).c_str());
      return 2;
    }
    for (auto& s : sites) {
      long calls = counts.value(s.name, 0L);
      std::set<long> ns;
      for (long n = 1; n <= std::min(opt.sample, calls); n++) ns.insert(n);
      std::mt19937 rng(static_cast<unsigned>(calls));
      for (long i = 0; i < opt.sample && calls > opt.sample; i++)
        ns.insert(opt.sample + 1 + static_cast<long>(rng() % (calls - opt.sample)));
      ns.insert(calls + 1);  // past the end: not reached
      s.plan.assign(ns.begin(), ns.end());
    }
  }

  std::vector<Child> running;
  std::vector<Result> bad_runs;
  long total_runs = 0;
  auto next_job = [&](std::string* site, long* n) {
    for (auto& s : sites) {
      if (s.done) continue;
      // One run at a time per site when it sweeps until not reached, so that
      // the end is seen before more runs start past it.
      bool busy = std::any_of(running.begin(), running.end(),
                              [&](const Child& c) { return c.site == s.name; });
      if (opt.sample > 0) {
        if (s.plan_i >= s.plan.size()) continue;
        *site = s.name;
        *n = s.plan[s.plan_i++];
        return true;
      }
      if (busy && s.next > 1) {
        // Allow a second run of the same site ahead: the end is seen at
        // most one run late.
        long ahead = 0;
        for (const auto& c : running) ahead += c.site == s.name;
        if (ahead >= 2) continue;
      }
      if (opt.max_n > 0 && s.next > opt.max_n) continue;
      *site = s.name;
      *n = s.next++;
      return true;
    }
    return false;
  };
  auto site_of_name = [&](const std::string& name) -> SiteRun& {
    for (auto& s : sites)
      if (s.name == name) return s;
    return sites.front();
  };

  for (;;) {
    std::string site;
    long n = 0;
    while (static_cast<int>(running.size()) < opt.jobs && next_job(&site, &n))
      running.push_back(spawn(exe, site, n, dir));
    if (running.empty()) break;
    // Reap what ended; kill what ran past the timeout.
    bool reaped = false;
    for (std::size_t i = 0; i < running.size();) {
      Child& c = running[i];
      int st = 0;
      pid_t p = ::waitpid(c.pid, &st, WNOHANG);
      bool timed_out = false;
      if (p == 0) {
        auto age = std::chrono::steady_clock::now() - c.started;
        if (age < std::chrono::seconds(opt.timeout)) {
          i++;
          continue;
        }
        ::kill(-c.pid, SIGKILL);
        ::kill(c.pid, SIGKILL);
        ::waitpid(c.pid, &st, 0);
        timed_out = true;
      }
      Result r = finish(c, st, timed_out);
      SiteRun& s = site_of_name(c.site);
      s.runs++;
      total_runs++;
      s.last_n = std::max(s.last_n, r.n);
      s.max_seen_calls = std::max(s.max_seen_calls, r.calls);
      s.classes[r.klass]++;
      if (!r.reached && opt.sample == 0) s.done = true;
      if (r.bad) {
        s.bad++;
        bad_runs.push_back(r);
        if (!opt.keep.empty()) {
          std::error_code ec;
          fs::create_directories(opt.keep, ec);
          fs::copy_file(c.err, opt.keep / c.err.filename(), fs::copy_options::overwrite_existing, ec);
          fs::copy_file(c.out, opt.keep / c.out.filename(), fs::copy_options::overwrite_existing, ec);
        }
      }
      if (opt.verbose || r.bad)
        std::fprintf(stderr, "%-12s N=%-5ld %s\n%s", r.site.c_str(), r.n, r.klass.c_str(),
                     r.bad ? r.detail.c_str() : "");
      std::error_code ec;
      fs::remove(c.out, ec);
      fs::remove(c.err, ec);
      running.erase(running.begin() + static_cast<long>(i));
      reaped = true;
    }
    if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::error_code ec;
  fs::remove_all(dir, ec);

  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  long bad_total = 0;
  std::printf("fault sweep, kernel %s, %s\n", CG_KERNEL_LINE,
              opt.sample > 0 ? ("sample of " + std::to_string(opt.sample) + " per site").c_str()
                             : "every N until a run does not reach it");
  std::printf("%-13s %6s %6s %6s  %s\n", "site", "runs", "max N", "bad", "outcomes (runs)");
  for (const auto& s : sites) {
    bad_total += s.bad;
    std::printf("%-13s %6ld %6ld %6ld", s.name.c_str(), s.runs, s.last_n, s.bad);
    bool first = true;
    for (const auto& [k, v] : s.classes) {
      std::printf("%s%s (%ld)\n", first ? "  " : "                                     ", k.c_str(), v);
      first = false;
    }
    if (first) std::printf("\n");
  }
  std::printf("runs %ld, bad runs %ld, wall %.1f s\n", total_runs, bad_total, secs);
  return bad_total ? 1 : 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: sweep [--sites a,b,..] [--max-n N] [--sample K] [--jobs J] [--timeout S]\n"
               "             [--keep DIR] [--verbose]\n"
               "       sweep --run SITE N | --count\n"
               "sites:");
  for (const auto& s : kSites) std::fprintf(stderr, " %s", s.name);
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--count") {
    std::printf("%s\n", run_one(fault::Site::kmalloc, "count", 0, true).dump().c_str());
    return 0;
  }
  if (args.size() == 3 && args[0] == "--run") {
    if (args[1] == "count") {
      std::printf("%s\n", run_one(fault::Site::kmalloc, "count", 0, true).dump().c_str());
      return 0;
    }
    auto site = site_of(args[1]);
    if (!site) return usage();
    long n = std::atol(args[2].c_str());
    if (n < 1) return usage();
    std::printf("%s\n", run_one(*site, args[1], n, false).dump().c_str());
    return 0;
  }
  Options opt;
  for (std::size_t i = 0; i < args.size(); i++) {
    auto value = [&]() -> std::string { return i + 1 < args.size() ? args[++i] : std::string(); };
    if (args[i] == "--sites") {
      std::stringstream ss(value());
      for (std::string s; std::getline(ss, s, ',');) {
        if (!site_of(s)) return usage();
        opt.sites.push_back(s);
      }
    } else if (args[i] == "--max-n") {
      opt.max_n = std::atol(value().c_str());
    } else if (args[i] == "--sample") {
      opt.sample = std::atol(value().c_str());
    } else if (args[i] == "--jobs") {
      opt.jobs = std::max(1, std::atoi(value().c_str()));
    } else if (args[i] == "--timeout") {
      opt.timeout = std::max(1, std::atoi(value().c_str()));
    } else if (args[i] == "--keep") {
      opt.keep = value();
    } else if (args[i] == "--verbose") {
      opt.verbose = true;
    } else {
      return usage();
    }
  }
  if (opt.sites.empty())
    for (const auto& s : kSites) opt.sites.push_back(s.name);
  return sweep(opt);
}
