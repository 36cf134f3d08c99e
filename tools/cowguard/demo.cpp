#include "demo.h"

#include <fcntl.h>
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

#include "exit_codes.h"
#include "progress.h"

#if defined(CG_HAVE_AGENT) && defined(CG_HAVE_WORKLOAD)
#include "backup.h"
#include "format.h"
#include "fsmap.h"
#include "standin/block.h"
#include "standin/module.h"
#include "standin/task.h"
#include "standin/workload.h"
#define CG_DEMO 1
#endif

namespace cowguard::tool {

#ifndef CG_DEMO
int demo_command(const DemoArgs&, std::ostream&, std::ostream& err) {
  err << "cowguard demo: this build has no backup agent or no workload\n";
  return kExitFailed;
}
#else

namespace fs = std::filesystem;
namespace agent = cowguard::agent;
namespace wl = standin::workload;
using nlohmann::json;

namespace {

// The checks of one restored backup point.
struct PointCheck {
  bool restored = false;
  std::string restore_error;
  bool bytes_ok = false;
  std::uint64_t blocks_compared = 0;
  std::uint64_t blocks_differing = 0;
  std::uint32_t first_differing = 0;
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

// The workdir: made for the demo (removed whole at the end) or given (only
// the demo's own files are removed from it).
class Workdir {
 public:
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
      made_ = fs::create_directories(path_, ec);
      if (ec) throw std::system_error(ec, "cannot create the workdir " + given);
      if (!fs::is_directory(path_)) throw std::runtime_error(given + " is not a directory");
    }
  }
  ~Workdir() {
    if (keep_) return;
    std::error_code ec;
    if (made_) {
      fs::remove_all(path_, ec);
      return;
    }
    fs::remove(path_ / "disk.img", ec);
    fs::remove_all(path_ / "backups", ec);
    fs::remove_all(path_ / "restored", ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool made_ = false;
  bool keep_;
};

// Compares the restored image with the device bytes of the frozen instant:
// every block the file system used then (every block with all_blocks).
void compare_bytes(const std::string& image, const wl::FrozenInstant& fi, std::uint32_t bs,
                   std::uint32_t total_blocks, bool all_blocks, PointCheck* c) {
  std::optional<agent::BlockBitmap> used;
  if (!all_blocks) {
    auto read = [&](std::uint64_t off, void* buf, std::size_t len) {
      if (off + len > fi.device.size()) throw std::runtime_error("read past the device copy");
      std::memcpy(buf, fi.device.data() + off, len);
    };
    used = agent::used_blocks(read, fi.device.size(), bs, total_blocks).map;
  }
  int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    c->bytes_ok = false;
    return;
  }
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(bs) * 256);
  bool ok = static_cast<std::uint64_t>(total_blocks) * bs <= fi.device.size();
  for (std::uint32_t b = 0; ok && b < total_blocks; b += 256) {
    std::uint32_t n = std::min<std::uint32_t>(256, total_blocks - b);
    ssize_t got = ::pread(fd, buf.data(), static_cast<std::size_t>(n) * bs, static_cast<off_t>(b) * bs);
    if (got != static_cast<ssize_t>(n) * bs) {
      ok = false;
      break;
    }
    for (std::uint32_t i = 0; i < n; i++) {
      if (used && !used->test(b + i)) continue;
      c->blocks_compared++;
      if (std::memcmp(buf.data() + static_cast<std::size_t>(i) * bs,
                      fi.device.data() + static_cast<std::size_t>(b + i) * bs, bs) != 0) {
        if (!c->blocks_differing) c->first_differing = b + i;
        c->blocks_differing++;
      }
    }
  }
  ::close(fd);
  c->bytes_ok = ok && c->blocks_differing == 0;
}

std::string human_bytes(double v) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (v >= 1024 && u < 3) {
    v /= 1024;
    u++;
  }
  std::ostringstream o;
  o << std::fixed << std::setprecision(u ? 1 : 0) << v << " " << units[u];
  return o.str();
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

// The module's statistics record as the stats command returned it.
json stats_json(const Stats& s) {
  auto t = [](const StatsTime& x) { return static_cast<double>(x.tv_sec) + static_cast<double>(x.tv_nsec) / 1e9; };
  return {{"major", s.major}, {"minor", s.minor}, {"state", s.state},
          {"partitionStart", s.partitionStart}, {"blockSize", s.blockSize},
          {"blocksPerPage", s.blocksPerPage}, {"partitionSizeKB", s.partitionSizeKB},
          {"numBlocks", s.numBlocks}, {"maxVMPages", s.maxVMPages}, {"vmPages", s.vmPages},
          {"maxCacheBlocks", s.maxCacheBlocks}, {"curAllocAMPages", s.curAllocAMPages},
          {"totalAllocPages", s.totalAllocPages}, {"curAllocPages", s.curAllocPages},
          {"totalAllocBRs", s.totalAllocBRs}, {"curAllocBRs", s.curAllocBRs},
          {"totalAllocCPs", s.totalAllocCPs}, {"curAllocCPs", s.curAllocCPs},
          {"peakAllocCPs", s.peakAllocCPs}, {"totalCBs", s.totalCBs}, {"curCBs", s.curCBs},
          {"totalReadBlocks", s.totalReadBlocks}, {"totalReadCBs", s.totalReadCBs},
          {"totalCleanedCBs", s.totalCleanedCBs}, {"ioctlCount", s.ioctlCount},
          {"eTimeToFreeze", t(s.eTimeToFreeze)}, {"eTimeFrozen", t(s.eTimeFrozen)}};
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
  if (r.stats) j["module_stats"] = stats_json(*r.stats);
  if (!c.restore_error.empty()) j["checks"]["restore_error"] = c.restore_error;
  if (!c.fsck_ok) j["checks"]["e2fsck"]["output"] = c.fsck_output;
  return j;
}

class Demo {
 public:
  Demo(const DemoArgs& a, std::ostream& out, std::ostream& err)
      : a_(a), out_(out), err_(err), bar_(stdout, a.progress && !a.json) {}
  // Teardown in order: the writer, the module (its tracking hook sits on
  // the disk's queue), the disk, then the workdir.
  ~Demo() {
    load_.reset();
    if (standin::modules::loaded("cowguard")) standin::modules::rmmod("cowguard", true);
    mounted_.disk.reset();
    dir_.reset();
  }
  int run();

 private:
  void say(const std::string& s) {
    if (a_.json) return;
    bar_.clear();
    out_ << s << "\n" << std::flush;
  }
  void backup(bool incremental, unsigned n);
  void check_points();

  const DemoArgs& a_;
  std::ostream& out_;
  std::ostream& err_;
  ProgressBar bar_;
  std::unique_ptr<Workdir> dir_;
  fs::path backups_;
  wl::DiskLayout layout_;
  wl::MountedImage mounted_;
  std::unique_ptr<wl::Ext4Workload> load_;
  std::vector<Point> points_;
  std::vector<wl::FrozenInstant> instants_;
};

void Demo::backup(bool incremental, unsigned n) {
  agent::BackupOptions o;
  o.major = standin::block::major_of(mounted_.part);
  o.minor = standin::block::minor_of(mounted_.part);
  o.dir = backups_;
  std::string label = incremental ? "incremental " + std::to_string(n) : std::string("full backup");
  o.progress = [this, label](std::uint64_t done, std::uint64_t total) { bar_.update(label, done, total); };
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
  if (r.all_blocks && !r.fs_note.empty()) s << "\n    every block taken: " << r.fs_note;
  say(s.str());
  points_.push_back(std::move(p));
}

void Demo::check_points() {
  fs::path rdir = dir_->path() / "restored";
  fs::create_directories(rdir);
  std::size_t i = 0;
  for (auto& p : points_) {
    bar_.update("checking point " + std::to_string(p.result.sequence), i++, points_.size());
    auto& c = p.check;
    std::string image = (rdir / ("point-" + std::to_string(p.result.sequence) + ".img")).string();
    try {
      agent::restore(backups_, p.result.sequence, image);
      c.restored = true;
    } catch (const std::exception& e) {
      c.restore_error = e.what();
      continue;
    }
    const wl::FrozenInstant& fi = instants_.at(p.instant);
    compare_bytes(image, fi, p.result.block_size, p.result.total_blocks, p.result.all_blocks, &c);
    c.fsck_ok = wl::run_e2fsck(image, &c.fsck_output);
    wl::CheckReport rep;
    c.files_ok = wl::check_image(image, fi, &rep);
    c.files_checked = rep.files_checked;
    c.file_problems = rep.problems;
    if (!a_.keep) fs::remove(image);
  }
  bar_.clear();
}

int Demo::run() {
  auto t0 = std::chrono::steady_clock::now();
  dir_ = std::make_unique<Workdir>(a_.workdir, a_.keep);
  backups_ = dir_->path() / "backups";
  std::string image = (dir_->path() / "disk.img").string();
  std::string err;
  say("cowguard demo (" + std::string(CG_KERNEL_LINE) + "): " + human_bytes(static_cast<double>(a_.size)) +
      " disk, ext4 with " + std::to_string(a_.block_size) + "-byte blocks, a full backup and " +
      std::to_string(a_.rounds) + " incremental" + (a_.rounds == 1 ? "" : "s") + " of the live file system");
  say("  workdir " + dir_->path().string());
  if (!wl::make_disk_image(image, a_.size, a_.block_size, &layout_, &err))
    throw std::runtime_error("cannot make the disk image: " + err);
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
  wl::WorkloadOptions wo;
  wo.seed = a_.seed;
  wo.keep_device_bytes = true;
  load_ = wl::Ext4Workload::open(mounted_.part, wo, &err);
  if (!load_) throw std::runtime_error("cannot open the workload: " + err);
  load_->start();
  // Let the writer change things before the first backup too.
  auto pause = [this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(a_.pause_ms));
    if (!load_->error().empty()) throw std::runtime_error("the workload failed: " + load_->error());
  };
  pause();
  backup(false, 0);
  for (unsigned i = 1; i <= a_.rounds; i++) {
    pause();
    backup(true, i);
  }
  load_->stop();
  std::uint64_t ops = load_->operations();
  std::string werr = load_->error();
  instants_ = load_->take_instants();
  load_.reset();
  if (!werr.empty()) throw std::runtime_error("the workload failed: " + werr);
  say("  workload stopped after " + std::to_string(ops) + " operations; restoring and checking every point");

  check_points();
  agent::VerifyReport vr = agent::verify(backups_);
  bool ok = vr.ok;
  for (const auto& p : points_) ok = ok && p.check.ok();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  if (a_.json) {
    json j = {{"ok", ok},
              {"kernel_line", CG_KERNEL_LINE},
              {"workdir", dir_->path().string()},
              {"kept", a_.keep},
              {"disk_bytes", a_.size},
              {"block_size", a_.block_size},
              {"fs_blocks", layout_.fs_blocks},
              {"rounds", a_.rounds},
              {"workload_operations", ops},
              {"chain_verified", vr.ok},
              {"seconds", secs},
              {"backups", json::array()}};
    for (const auto& p : points_) j["backups"].push_back(point_json(p));
    out_ << j.dump(2) << "\n";
  } else {
    out_ << "\n";
    print_table(out_, points_);
    for (const auto& p : points_) {
      const auto& c = p.check;
      if (c.ok()) continue;
      out_ << "point " << p.result.sequence << ":";
      if (!c.restored) out_ << " restore failed: " << c.restore_error;
      if (c.restored && !c.bytes_ok)
        out_ << " " << c.blocks_differing << " of " << c.blocks_compared
             << " blocks differ from the frozen instant (first: block " << c.first_differing << ");";
      if (c.restored && !c.fsck_ok) out_ << " e2fsck -fn found problems:\n" << c.fsck_output;
      for (const auto& pr : c.file_problems) out_ << "\n  " << pr;
      out_ << "\n";
    }
    if (!vr.ok) out_ << "chain verify: " << vr.file << ": " << vr.message << "\n";
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << secs;
    out_ << "\nchecks per point: restored image equal to the device at its frozen instant ("
         << (points_.empty() || !points_[0].result.all_blocks ? "every block in use" : "every block")
         << "), e2fsck -fn clean, every file present with its checksum and no other\n";
    out_ << (ok ? "all checks passed" : "CHECKS FAILED") << " in " << s.str() << " s\n";
    if (a_.keep) out_ << "kept " << dir_->path().string() << "\n";
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

int demo_command(const DemoArgs& a, std::ostream& out, std::ostream& err) {
  int code = kExitFailed;
  try {
    Demo d(a, out, err);
    try {
      code = d.run();
    } catch (const std::exception& e) {
      err << "cowguard demo: " << e.what() << "\n";
      code = kExitFailed;
    }
  } catch (const std::exception& e) {
    err << "cowguard demo: " << e.what() << "\n";
  }
  standin::task::wait_kernel_threads(5000);
  return code;
}

#endif

}  // namespace cowguard::tool
