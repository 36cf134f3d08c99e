#include "demo.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "chain.h"
#include "exit_codes.h"
#include "progress.h"
#include "report.h"

#include "backup.h"
#include "format.h"
#include "fsmap.h"
#include "standin/block.h"
#include "standin/module.h"
#include "standin/task.h"
#include "workload/workload.h"

namespace cowguard::tool {


namespace fs = std::filesystem;
namespace agent = cowguard::agent;
namespace wl = cowguard::workload;
using nlohmann::json;

namespace {

// The arguments or the workdir may not be used (exit 2).
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The checks of one restored backup point.
struct PointCheck {
  bool restored = false;
  std::string restore_error;
  bool bytes_ok = false;
  std::uint64_t blocks_compared = 0;
  std::uint64_t blocks_differing = 0;
  std::uint32_t first_differing = 0;
  std::string bytes_error;
  bool fsck_ok = false;
  std::string fsck_output;
  bool files_ok = false;
  std::size_t files_checked = 0;
  std::vector<std::string> file_problems;
  bool ok() const { return restored && bytes_ok && fsck_ok && files_ok; }
};

struct Point {
  agent::BackupResult result;
  unsigned instant = 0;  // index of its frozen instant
  PointCheck check;
};

// The workdir.  The demo marks a workdir it uses with a file of its own,
// and removes only what it made: a directory it created whole, or in a
// given one its own entries.  A given directory must be new, empty or an
// earlier demo's (marked), so that nothing of anyone else's is replaced.
class Workdir {
 public:
  static constexpr const char* kMarker = ".cowguard-demo";
  static constexpr const char* kOwn[] = {"disk.img", "backups", "restored", "truth"};

  // Throws Refused when the directory may not be used.
  Workdir(const std::string& given, bool keep) : keep_(keep) {
    std::error_code ec;
    if (given.empty()) {
      std::string tmpl = (fs::temp_directory_path() / "cowguard-demo-XXXXXX").string();
      std::vector<char> buf(tmpl.begin(), tmpl.end());
      buf.push_back('\0');
      if (!::mkdtemp(buf.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp " + tmpl);
      path_ = buf.data();
      made_ = true;
    } else {
      path_ = given;
      if (fs::exists(path_, ec) && !fs::is_directory(path_, ec))
        throw Refused("the workdir " + given + " is not a directory");
      if (fs::is_directory(path_, ec)) {
        const bool marked = fs::exists(path_ / kMarker, ec);
        if (!marked && !fs::is_empty(path_, ec))
          throw Refused("the workdir " + given + " is not empty and no earlier demo's (it has no " +
                           kMarker + "): name a new or empty directory");
        if (ec) throw std::system_error(ec, "cannot read the workdir " + given);
        // An earlier demo's own files go; anything else there stays.
        for (const char* n : kOwn) fs::remove_all(path_ / n, ec);
      } else {
        made_ = fs::create_directories(path_, ec);
        if (ec) throw std::system_error(ec, "cannot create the workdir " + given);
      }
    }
    std::FILE* m = std::fopen((path_ / kMarker).c_str(), "we");
    if (!m) throw std::system_error(errno, std::generic_category(), "cannot write " + (path_ / kMarker).string());
    std::fputs("a workdir of cowguard demo: it removes disk.img, backups/, restored/ and truth/ here\n", m);
    std::fclose(m);
  }
  ~Workdir() {
    if (keep_) return;
    std::error_code ec;
    for (const char* n : kOwn) fs::remove_all(path_ / n, ec);
    fs::remove(path_ / kMarker, ec);
    if (made_) fs::remove(path_, ec);  // only when empty: what someone else put there stays
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool made_ = false;
  bool keep_;
};

// Compares the restored image with the checksums of every block the file
// system used at the frozen instant.
void compare_bytes(const std::string& image, const wl::FrozenInstant& fi, PointCheck* c) {
  wl::BlockSumCompare r = wl::compare_block_sums(image, fi);
  c->blocks_compared = r.compared;
  c->blocks_differing = r.differing;
  c->first_differing = static_cast<std::uint32_t>(r.first_differing);
  c->bytes_ok = r.ok();
  if (!r.readable) c->bytes_error = r.error;
}

// Peak resident memory of the process so far, in bytes.
std::uint64_t peak_memory() {
  struct rusage ru {};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<std::uint64_t>(ru.ru_maxrss) * 1024;
}

void print_table(std::ostream& out, const std::vector<Point>& points) {
  out << std::left << std::setw(6) << "point" << std::setw(13) << "kind" << std::right
      << std::setw(8) << "blocks" << std::setw(8) << "store" << std::setw(8) << "disk" << std::setw(7) << "peak"
      << std::setw(12) << "written" << std::setw(11) << "frozen ms" << std::setw(13) << "throughput"
      << "  verified\n";
  for (const auto& p : points) {
    const auto& r = p.result;
    std::ostringstream fz, tp;
    fz << std::fixed << std::setprecision(3) << r.frozen_seconds * 1000;
    tp << human_bytes(r.throughput) << "/s";
    out << std::left << std::setw(6) << r.sequence << std::setw(13) << agent::kind_name(r.kind)
        << std::right << std::setw(8) << r.blocks_wanted << std::setw(8) << r.blocks_from_store
        << std::setw(8) << r.blocks_from_disk << std::setw(7) << (r.stats ? r.stats->peakAllocCPs : 0)
        << std::setw(12) << human_bytes(static_cast<double>(r.bytes_written))
        << std::setw(11) << fz.str() << std::setw(13) << tp.str() << "  "
        << (p.check.ok() ? "yes" : "NO") << "\n";
  }
}

json point_json(const Point& p) {
  const auto& r = p.result;
  const auto& c = p.check;
  json j = {{"point", r.sequence},
            {"kind", std::string(agent::kind_name(r.kind))},
            {"file", r.file},
            {"blocks_changed", r.blocks_changed},
            {"blocks_taken", r.blocks_wanted},
            {"blocks_from_store", r.blocks_from_store},
            {"blocks_from_disk", r.blocks_from_disk},
            {"bytes_written", r.bytes_written},
            {"frozen_seconds", r.frozen_seconds},
            {"elapsed_seconds", r.elapsed_seconds},
            {"throughput_bytes_per_second", r.throughput},
            {"frozen_instant", p.instant},
            {"verified", c.ok()},
            {"checks",
             {{"restored", c.restored},
              {"bytes", {{"ok", c.bytes_ok}, {"blocks_compared", c.blocks_compared},
                         {"blocks_differing", c.blocks_differing}}},
              {"e2fsck", {{"ok", c.fsck_ok}}},
              {"files", {{"ok", c.files_ok}, {"files_checked", c.files_checked},
                         {"problems", c.file_problems}}}}}};
  if (!r.fallback_reason.empty()) j["fallback_reason"] = r.fallback_reason;
  if (!r.catalog_note.empty()) j["catalog_note"] = r.catalog_note;
  if (!c.bytes_error.empty()) j["checks"]["bytes"]["error"] = c.bytes_error;
  if (r.stats) j["module_stats"] = stats_json(*r.stats);
  if (!c.restore_error.empty()) j["checks"]["restore_error"] = c.restore_error;
  if (!c.fsck_ok) j["checks"]["e2fsck"]["output"] = c.fsck_output;
  return j;
}

class Demo {
 public:
  Demo(const DemoArgs& a, std::ostream& out, std::ostream& err)
      : a_(a), out_(out), err_(err), bar_(stderr, a.progress && !a.json) {}
  // Teardown in order: the writer, the module (its tracking hook sits on
  // the disk's queue), the disk, then the workdir.
  ~Demo() {
    load_.reset();
    if (standin::modules::loaded("cowguard")) standin::modules::rmmod("cowguard", true);
    mounted_.disk.reset();
    dir_.reset();
  }
  int run();
  // What is known so far, for the JSON object of a failed run.
  json partial() const;

 private:
  void say(const std::string& s) {
    if (a_.json) return;
    bar_.clear();
    out_ << s << "\n" << std::flush;
  }
  void check_room();
  void pause(const std::string& label);
  void backup(bool incremental, unsigned n);
  void check_points();

  const DemoArgs& a_;
  std::ostream& out_;
  std::ostream& err_;
  ProgressBar bar_;
  std::unique_ptr<Workdir> dir_;
  fs::path backups_;
  fs::path truth_;
  wl::DiskLayout layout_;
  wl::MountedImage mounted_;
  std::unique_ptr<wl::Ext4Workload> load_;
  std::vector<Point> points_;
  std::vector<wl::FrozenInstant> instants_;
  std::uint64_t ops_ = 0;
};

// The disk image and the full backups are sparse, but a busy file system
// may fill them: the workdir's file system must be able to hold the image.
void Demo::check_room() {
  struct statvfs sv {};
  if (::statvfs(dir_->path().c_str(), &sv) != 0) return;
  const std::uint64_t avail = static_cast<std::uint64_t>(sv.f_bavail) * sv.f_frsize;
  if (avail < a_.size)
    throw Refused("a " + human_bytes(static_cast<double>(a_.size)) + " disk image does not fit in " +
                  dir_->path().string() + ", which has " + human_bytes(static_cast<double>(avail)) +
                  " free: choose a smaller --size or another --workdir");
}

// Lets the workload write for the pause, showing it; stops early when
// interrupted.
void Demo::pause(const std::string& label) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(a_.pause_ms);
  while (std::chrono::steady_clock::now() < until) {
    agent::check_interrupt();
    bar_.status(label + " (" + std::to_string(load_->operations()) + " operations)");
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<unsigned>(a_.pause_ms, 20)));
  }
  if (!load_->error().empty()) throw std::runtime_error("the workload failed: " + load_->error());
}

void Demo::backup(bool incremental, unsigned n) {
  agent::BackupOptions o;
  o.major = standin::block::major_of(mounted_.part);
  o.minor = standin::block::minor_of(mounted_.part);
  o.dir = backups_;
  std::string label = incremental ? "incremental " + std::to_string(n) : std::string("full backup");
  std::uint64_t bs = layout_.block_size;
  o.progress = [this, label, bs](std::uint64_t done, std::uint64_t total) { bar_.update(label, done * bs, total * bs); };
  Point p;
  p.result = incremental ? agent::incremental_backup(o) : agent::full_backup(o);
  bar_.clear();
  unsigned recorded = load_->instants_recorded();
  if (recorded == 0) throw std::runtime_error("the workload recorded no frozen instant for the backup");
  p.instant = recorded - 1;
  const auto& r = p.result;
  std::ostringstream s;
  s << "  " << label << ": point " << r.sequence << ", " << agent::kind_name(r.kind) << ", "
    << r.blocks_wanted << " blocks (" << r.blocks_from_store << " from the store, "
    << r.blocks_from_disk << " from disk), frozen " << std::fixed << std::setprecision(3)
    << r.frozen_seconds * 1000 << " ms, " << load_->operations() << " workload operations so far";
  if (!r.fallback_reason.empty()) s << "\n    full instead of incremental: " << r.fallback_reason;
  if (!r.catalog_note.empty()) s << "\n    " << r.catalog_note;
  if (r.all_blocks && !r.fs_note.empty()) s << "\n    every block taken: " << r.fs_note;
  say(s.str());
  points_.push_back(std::move(p));
}

void Demo::check_points() {
  fs::path rdir = dir_->path() / "restored";
  fs::create_directories(rdir);
  for (auto& p : points_) {
    agent::check_interrupt();
    const std::string point = "point " + std::to_string(p.result.sequence);
    auto& c = p.check;
    std::string image = (rdir / ("point-" + std::to_string(p.result.sequence) + ".img")).string();
    try {
      agent::restore(backups_, p.result.sequence, image,
                     [&](std::uint64_t done, std::uint64_t total) { bar_.update("restoring " + point, done, total); });
      c.restored = true;
    } catch (const agent::Interrupted&) {
      throw;
    } catch (const std::exception& e) {
      c.restore_error = e.what();
      continue;
    }
    const wl::FrozenInstant& fi = instants_.at(p.instant);
    bar_.status("comparing " + point + " with its frozen instant");
    compare_bytes(image, fi, &c);
    bar_.status("e2fsck -fn on " + point);
    c.fsck_ok = wl::run_e2fsck(image, &c.fsck_output);
    agent::check_interrupt();
    bar_.status("checking the files of " + point);
    wl::CheckReport rep;
    c.files_ok = wl::check_image(image, fi, &rep);
    c.files_checked = rep.files_checked;
    c.file_problems = rep.problems;
    if (!a_.keep) fs::remove(image);
  }
  bar_.clear();
}

json Demo::partial() const {
  json j = {{"schema", kJsonSchema},
            {"command", "demo"},
            {"kernel_line", CG_KERNEL_LINE},
            {"workdir", dir_ ? dir_->path().string() : std::string()},
            {"kept", a_.keep && dir_},
            {"disk_bytes", a_.size},
            {"block_size", a_.block_size},
            {"rounds", a_.rounds},
            {"workload_operations", ops_},
            {"peak_memory_bytes", peak_memory()},
            {"backups", json::array()}};
  for (const auto& p : points_) j["backups"].push_back(point_json(p));
  return j;
}

int Demo::run() {
  auto t0 = std::chrono::steady_clock::now();
  dir_ = std::make_unique<Workdir>(a_.workdir, a_.keep);
  check_room();
  backups_ = dir_->path() / "backups";
  truth_ = dir_->path() / "truth";
  fs::create_directories(truth_);
  std::string image = (dir_->path() / "disk.img").string();
  std::string err;
  say("cowguard demo (" + std::string(CG_KERNEL_LINE) + "): " + human_bytes(static_cast<double>(a_.size)) +
      " disk, ext4 with " + std::to_string(a_.block_size) + "-byte blocks, a full backup and " +
      std::to_string(a_.rounds) + " incremental" + (a_.rounds == 1 ? "" : "s") + " of the live file system");
  say("  workdir " + dir_->path().string());
  bar_.status("making the disk image (mke2fs)");
  if (!wl::make_disk_image(image, a_.size, a_.block_size, &layout_, &err))
    throw std::runtime_error("cannot make the disk image: " + err);
  agent::check_interrupt();
  if (!wl::attach_and_mount(image, &mounted_, &err))
    throw std::runtime_error("cannot attach and mount the disk image: " + err);
  int rc = standin::modules::insmod(a_.module_path);
  if (rc != 0)
    throw std::runtime_error("insmod " + a_.module_path + " failed: " + std::strerror(-rc));
  {
    std::ostringstream s;
    s << "  disk " << mounted_.disk->name() << ": partition 1 (" << standin::block::major_of(mounted_.part)
      << ":" << standin::block::minor_of(mounted_.part) << ") ext4 " << layout_.fs_blocks << " blocks, module loaded";
    say(s.str());
  }
  // The ground truth of every frozen instant: its files in memory (a few
  // dozen records) and a checksum of every used block on disk, so that
  // memory does not grow with the size or the rounds.
  wl::WorkloadOptions wo;
  wo.seed = a_.seed;
  wo.keep_device_bytes = false;
  wo.block_sums_dir = truth_.string();
  load_ = wl::Ext4Workload::open(mounted_.part, wo, &err);
  if (!load_) throw std::runtime_error("cannot open the workload: " + err);
  load_->start();
  // Let the writer change things before the first backup too.
  pause("workload writing before the full backup");
  backup(false, 0);
  for (unsigned i = 1; i <= a_.rounds; i++) {
    pause("workload writing before incremental " + std::to_string(i));
    backup(true, i);
  }
  bar_.status("stopping the workload");
  load_->stop();
  ops_ = load_->operations();
  std::string werr = load_->error();
  instants_ = load_->take_instants();
  load_.reset();
  if (!werr.empty()) throw std::runtime_error("the workload failed: " + werr);
  say("  workload stopped after " + std::to_string(ops_) + " operations; restoring and checking every point");

  check_points();
  agent::VerifyOptions vo;
  vo.progress = [this](std::uint64_t done, std::uint64_t total) { bar_.update("verifying the chain", done, total); };
  agent::VerifyReport vr = agent::verify(backups_, vo);
  bar_.clear();
  bool ok = vr.ok;
  for (const auto& p : points_) ok = ok && p.check.ok();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const std::uint64_t peak = peak_memory();

  if (a_.json) {
    json j = partial();
    j["ok"] = ok;
    j["fs_blocks"] = layout_.fs_blocks;
    j["chain_verified"] = vr.ok;
    j["seconds"] = secs;
    if (!ok) j["exit_code"] = kExitFailed;
    out_ << j.dump(2) << "\n";
  } else {
    out_ << "\n";
    print_table(out_, points_);
    for (const auto& p : points_) {
      const auto& c = p.check;
      if (c.ok()) continue;
      out_ << "point " << p.result.sequence << ":";
      if (!c.restored) out_ << " restore failed: " << c.restore_error;
      if (c.restored && !c.bytes_error.empty()) out_ << " " << c.bytes_error << ";";
      if (c.restored && c.bytes_error.empty() && !c.bytes_ok)
        out_ << " " << c.blocks_differing << " of " << c.blocks_compared
             << " blocks differ from the frozen instant (first: block " << c.first_differing << ");";
      if (c.restored && !c.fsck_ok) out_ << " e2fsck -fn found problems:\n" << c.fsck_output;
      for (const auto& pr : c.file_problems) out_ << "\n  " << pr;
      out_ << "\n";
    }
    if (!vr.ok) out_ << "chain verify: " << vr.message << "\n";
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << secs;
    out_ << "\nchecks per point: restored image equal to the device at its frozen instant (every block the file "
            "system used), e2fsck -fn clean, every file present with its checksum and no other\n";
    out_ << "peak memory " << human_bytes(static_cast<double>(peak)) << "\n";
    out_ << (ok ? "all checks passed" : "CHECKS FAILED") << " in " << s.str() << " s\n";
    if (a_.keep) out_ << "kept " << dir_->path().string() << "\n";
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

int demo_command(const DemoArgs& a, std::ostream& out, std::ostream& err) {
  int code = kExitFailed;
  json failed;
  std::string message;
  {
    std::unique_ptr<Demo> d;
    try {
      d = std::make_unique<Demo>(a, out, err);
      code = d->run();
    } catch (const Refused& e) {
      code = kExitUsage;
      message = e.what();
    } catch (...) {
      Failure f = failure_of(std::current_exception());
      code = f.code;
      message = f.message;
    }
    if (!message.empty() && a.json && d) failed = d->partial();
    // The demo's own files go here (unless kept), interrupted or not.
  }
  standin::task::wait_kernel_threads(5000);
  if (!message.empty()) {
    err << "cowguard demo: " << message << "\n";
    if (a.json) {
      if (failed.is_null()) failed = {{"schema", kJsonSchema}, {"command", "demo"}};
      failed["ok"] = false;
      failed["error"] = message;
      failed["exit_code"] = code;
      out << failed.dump(2) << "\n";
    }
  }
  return code;
}


}  // namespace cowguard::tool
