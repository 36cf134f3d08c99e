// Console steps for the backup agent and the live workload: full and
// incremental backups of a device into a backup directory (the agent opens
// its own file of the control device), restore and verify of that directory,
// and a live ext4 writer to back up while it runs.
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "chain.h"
#include "console.h"
#include "exit_codes.h"
#include "names.h"

#include "backup.h"
#include "workload/workload.h"

namespace cowguard::tool {

namespace blk = standin::block;

namespace {

// The outcome of a step that ran one of the command's own subcommands.
Console::Outcome exit_outcome(int rc) {
  switch (rc) {
    case kExitOk: return {};
    case kExitMissing: return {false, rc, 0, "MISSING_INPUT"};
    case kExitCorrupt: return {false, rc, 0, "CORRUPT_INPUT"};
    case kExitUsage: return {false, rc, 0, "BAD_ARGUMENTS"};
    default: return {false, rc, 0, "FAILED"};
  }
}

}  // namespace

namespace {

namespace fs = std::filesystem;

// The directories a backup step makes for its backup directory: the
// directory itself and those of its parents that are not there before the
// step.  Everything under the first of them is the step's own.
class MadeDirectory {
 public:
  explicit MadeDirectory(const fs::path& dir) {
    std::error_code ec;
    // No ".." may remain: removing "new/.." would remove what was there.
    fs::path p = fs::absolute(dir, ec).lexically_normal();
    if (ec) return;
    if (!p.has_filename()) p = p.parent_path();  // "dir/"
    // Only a path known not to be there is taken (not one that cannot be looked at).
    while (p.has_relative_path() && fs::symlink_status(p, ec).type() == fs::file_type::not_found) {
      top_ = p;
      p = p.parent_path();
    }
  }
  const fs::path& path() const { return top_; }
  // Removes what the step made; false when it made nothing or it is gone.
  bool remove() const {
    std::error_code ec;
    return !top_.empty() && fs::remove_all(top_, ec) > 0 && !ec;
  }

 private:
  fs::path top_;
};

void print_result(std::ostream& out, const agent::BackupResult& r) {
  out << "  point " << r.sequence << ": " << agent::kind_name(r.kind) << " backup of "
      << r.major << ":" << r.minor << " into " << r.file << "\n";
  if (!r.fallback_reason.empty()) out << "  full instead of incremental: " << r.fallback_reason << "\n";
  if (!r.catalog_note.empty()) out << "  catalog: " << r.catalog_note << "\n";
  if (!r.fs_note.empty()) out << "  file system: " << r.fs_note << "\n";
  out << "  blocks=" << r.total_blocks << " blockSize=" << r.block_size;
  if (r.kind == agent::BackupKind::incremental) out << " changed=" << r.blocks_changed;
  out << " taken=" << r.blocks_wanted << " fromStore=" << r.blocks_from_store
      << " fromDisk=" << r.blocks_from_disk << " bytesWritten=" << r.bytes_written << "\n";
  std::ostringstream t;
  t << std::fixed << std::setprecision(3) << "  frozen=" << r.frozen_seconds * 1000 << "ms elapsed="
    << r.elapsed_seconds << "s throughput=" << std::setprecision(1) << r.throughput / (1 << 20)
    << "MiB/s keyStored=" << (r.key_stored ? "yes" : "no") << "\n";
  out << t.str();
  if (r.stats) out << "  module statistics before the close:\n" << format(*r.stats, "    ");
}

}  // namespace

Console::Outcome Console::step_backup(const Fields& f) {
  agent::BackupOptions o;
  blk::devnum d = device(need(f, 0, "DEV"));
  o.dir = need(f, 1, "DIR");
  o.major = blk::major_of(d);
  o.minor = blk::minor_of(d);
  bool incremental = false;
  for (std::size_t i = 2; i < f.positional().size(); i++) {
    const std::string& w = f.positional()[i];
    if (w == "incremental") incremental = true;
    else if (w == "full") incremental = false;
    else if (w == "all-blocks") o.all_blocks = true;
    else if (w == "new-chain") o.new_chain = true;
    else throw UsageError("unknown word '" + w + "' (incremental, full, all-blocks or new-chain)");
  }
  o.max_cache_blocks = static_cast<std::uint32_t>(uint_field(f, "cache", 0));
  // A failed backup takes back the directory it made.
  auto failed = [this, made = MadeDirectory(o.dir)](const char* what) {
    out_ << "  backup failed: " << what << "\n";
    if (made.remove()) out_ << "  removed " << made.path().string() << " (made by this step)\n";
  };
  try {
    agent::BackupResult r = incremental ? agent::incremental_backup(o) : agent::full_backup(o);
    print_result(out_, r);
    return Outcome{};
  } catch (const agent::Error& e) {
    failed(e.what());
    if (e.status()) return Outcome{true, e.status(), 0, ""};
    if (e.sys_errno()) return Outcome{false, -1, e.sys_errno(), ""};
    return Outcome{false, -1, 0, "FAILED"};
  } catch (const agent::SourceMismatch& e) {
    failed(e.what());
    return Outcome{false, kExitUsage, 0, "BAD_ARGUMENTS"};
  } catch (const std::exception& e) {
    failed(e.what());
    return Outcome{false, -1, 0, "FAILED"};
  }
}

Console::Outcome Console::step_restore(const Fields& f) {
  RestoreArgs a;
  a.dir = need(f, 0, "DIR");
  a.output = need(f, 1, "FILE");
  if (f.has("point")) a.point = static_cast<std::uint32_t>(uint_field(f, "point", 0));
  return exit_outcome(restore_command(a, out_, out_));
}

Console::Outcome Console::step_verify(const Fields& f) {
  VerifyArgs a;
  a.dir = need(f, 0, "DIR");
  return exit_outcome(verify_command(a, out_, out_));
}

Console::Outcome Console::step_workload(const Fields& f) {
  std::string verb = need(f, 0, "start|stop|status");
  auto* w = workload_.get();
  if (verb == "start") {
    blk::devnum d = device(need(f, 1, "DEV"));
    cowguard::workload::WorkloadOptions wo;
    wo.threads = static_cast<unsigned>(uint_field(f, "threads", wo.threads));
    wo.seed = uint_field(f, "seed", wo.seed);
    wo.pause_us = static_cast<unsigned>(uint_field(f, "pause-us", wo.pause_us));
    wo.keep_device_bytes = false;
    if (wo.threads == 0 || wo.threads > 16) throw UsageError("threads must be 1 to 16");
    if (w) throw UsageError("a workload runs already (workload stop first)");
    std::string err;
    auto load = cowguard::workload::Ext4Workload::open(d, wo, &err);
    if (!load) {
      out_ << "  " << err << "\n";
      return Outcome{false, -1, 0, "FAILED"};
    }
    load->start();
    workload_ = std::move(load);
    out_ << "  workload running on " << devname(d) << " with " << wo.threads << " threads\n";
    return Outcome{};
  }
  if (verb != "stop" && verb != "status") throw UsageError("workload start, stop or status");
  if (!w) throw UsageError("no workload runs");
  if (verb == "stop") w->stop();
  out_ << "  " << w->operations() << " operations, " << w->instants_recorded()
       << " frozen instants, " << (w->running() ? "running" : "stopped") << "\n";
  std::string err = w->error();
  if (verb == "stop") workload_.reset();
  if (!err.empty()) {
    out_ << "  failed: " << err << "\n";
    return Outcome{false, -1, 0, "FAILED"};
  }
  return Outcome{};
}


}  // namespace cowguard::tool
