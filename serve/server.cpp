#include "server.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "backup.h"
#include "exit_codes.h"
#include "format.h"
#include "fsmap.h"
#include "report.h"
#include "standin/module.h"

namespace cowguard::serve {

namespace blk = standin::block;
namespace fs = std::filesystem;
namespace agent = cowguard::agent;
using nlohmann::json;

std::uint64_t monotonic_ns() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

// One image: its lock, the disk on it once started, and the write gate of
// the disk's exports.
struct Server::Image {
  std::string path;
  int lock_fd = -1;           // flock'ed exclusively while served; also the fd flushed
  std::uint64_t sectors = 0;  // whole sectors of the file or device
  bool has_table = false;     // an MBR signature
  std::unique_ptr<blk::Disk> disk;
  WriteGate gate;
  ~Image() {
    if (lock_fd >= 0) ::close(lock_fd);
  }
};

namespace {

std::string errno_text(int e) { return std::strerror(e); }

struct MbrSlot {
  std::uint8_t type = 0;
  std::uint64_t start = 0, sectors = 0;
};

// Checks the four primary entries of an MBR against the disk's size: an
// entry that starts at sector 0, ends beyond the disk or overlaps another
// makes the table corrupt (the kernel would drop or clip it silently).
void check_mbr(const std::string& path, const std::uint8_t* sector0, std::uint64_t disk_sectors) {
  std::vector<std::pair<int, MbrSlot>> used;
  for (int i = 0; i < 4; i++) {
    const std::uint8_t* e = sector0 + 446 + 16 * i;
    MbrSlot s;
    s.type = e[4];
    s.start = static_cast<std::uint64_t>(e[8]) | e[9] << 8 | e[10] << 16 | static_cast<std::uint64_t>(e[11]) << 24;
    s.sectors = static_cast<std::uint64_t>(e[12]) | e[13] << 8 | e[14] << 16 | static_cast<std::uint64_t>(e[15]) << 24;
    if (s.type == 0 || s.sectors == 0) continue;
    auto bad = [&](const std::string& why) {
      throw StartError(tool::kExitCorrupt, path + ": the partition table is corrupt: partition " +
                                               std::to_string(i + 1) + " (start " + std::to_string(s.start) +
                                               ", " + std::to_string(s.sectors) + " sectors) " + why);
    };
    if (s.start == 0) bad("starts on the partition table itself");
    if (s.start + s.sectors > disk_sectors)
      bad("ends beyond the image's " + std::to_string(disk_sectors) + " sectors");
    for (const auto& [j, o] : used)
      if (s.start < o.start + o.sectors && o.start < s.start + s.sectors)
        bad("overlaps partition " + std::to_string(j + 1));
    used.emplace_back(i, s);
  }
}

}  // namespace

std::unique_ptr<Server> Server::prepare(const ServerOptions& o) {
  if (o.images.empty()) throw StartError(tool::kExitUsage, "no image to serve");
  std::unique_ptr<Server> s(new Server(o));
  for (const auto& path : o.images) {
    for (const auto& other : s->images_)
      if (fs::equivalent(other->path, path))
        throw StartError(tool::kExitUsage, path + " is named twice");
    auto img = std::make_unique<Image>();
    img->path = path;
    img->lock_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (img->lock_fd < 0)
      throw StartError(errno == ENOENT ? tool::kExitMissing : tool::kExitFailed,
                       "cannot open the image " + path + ": " + errno_text(errno));
    struct stat st {};
    ::fstat(img->lock_fd, &st);
    if (!S_ISREG(st.st_mode))
      throw StartError(tool::kExitUsage, path + " is not a regular file: serve disk image files");
    if (::flock(img->lock_fd, LOCK_EX | LOCK_NB) != 0)
      throw StartError(tool::kExitFailed, "the image " + path + " is in use: another cowguard serve (or another "
                                          "program holding a lock on it) has it");
    if (::access(path.c_str(), R_OK | W_OK) != 0)
      throw StartError(tool::kExitUsage, "the image " + path + " is not readable and writable: " + errno_text(errno));
    img->sectors = static_cast<std::uint64_t>(st.st_size) / 512;
    if (img->sectors < 8) throw StartError(tool::kExitUsage, "the image " + path + " is too small to be a disk");
    std::uint8_t sector0[512];
    if (::pread(img->lock_fd, sector0, 512, 0) != 512)
      throw StartError(tool::kExitFailed, "cannot read the image " + path + ": " + errno_text(errno));
    img->has_table = sector0[510] == 0x55 && sector0[511] == 0xaa;
    if (img->has_table) check_mbr(path, sector0, img->sectors);
    s->images_.push_back(std::move(img));
  }
  return s;
}

Server::Server(const ServerOptions& o) : opts_(o) {}

Server::~Server() { shutdown(); }


void Server::attach(std::size_t i) {
  Image& img = *images_[i];
  img.disk = blk::Disk::file(img.path);
  if (!img.disk) throw StartError(tool::kExitFailed, "cannot attach the image " + img.path + ": " + errno_text(errno));
  Export whole;
  whole.name = img.disk->name();
  whole.dev = img.disk->dev();
  whole.disk = i;
  whole.range = {0, img.disk->sectors()};
  auto parts = img.disk->partitions();
  if (img.has_table && parts.empty())
    throw StartError(tool::kExitCorrupt, img.path + ": the partition table is corrupt: it has a signature but no "
                                         "partition the kernel accepts");
  std::vector<Export> found;
  for (const auto& p : parts) {
    Export e;
    e.name = whole.name + std::to_string(p.number);
    e.dev = img.disk->part_dev(p.number);
    e.disk = i;
    e.partition = p.number;
    e.range = {p.start, p.sectors};
    found.push_back(e);
  }
  // A disk without a partition table may hold a file system whole.
  if (parts.empty()) found.push_back(whole);
  for (auto& e : found) {
    int rc = blk::mount(e.dev);
    if (rc == 0) {
      blk::FsInfo fi;
      blk::fs_info(e.dev, &fi);
      e.mounted = true;
      e.fs_type = fi.type;
      e.block_size = fi.block_size;
    } else {
      e.note = rc == -EINVAL ? "no file system the kernel knows: exported, not backed up"
                             : "not mounted: " + errno_text(-rc);
    }
  }
  if (!parts.empty()) exports_.push_back(whole);
  for (auto& e : found) exports_.push_back(e);
}

void Server::hook_freeze(const Export& e) {
  WriteGate* gate = &images_[e.disk]->gate;
  SectorRange range = e.range;
  std::string name = e.name;
  blk::LockfsHooks hooks;
  hooks.lockfs = [this, gate, range, name](blk::devnum) {
    gate->freeze(range);
    std::lock_guard<std::mutex> g(state_lock_);
    frozen_at_ns_[name] = monotonic_ns();
  };
  hooks.unlockfs = [gate, range](blk::devnum) { gate->thaw(range); };
  blk::set_lockfs_hooks(e.dev, std::move(hooks));
}

// The ground truth of a frozen instant (tests): the device's bytes, straight
// from its storage, while the gate holds every write to it.
void Server::on_frozen_instant(blk::devnum dev) {
  const Export* e = nullptr;
  for (const auto& x : exports_)
    if (x.dev == dev) e = &x;
  if (!e) return;
  unsigned n;
  {
    std::lock_guard<std::mutex> g(state_lock_);
    n = ++truth_count_[e->name];
  }
  fs::path out = fs::path(opts_.truth_dir) / (e->name + "-" + std::to_string(n) + ".img");
  int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::vector<std::uint8_t> buf(1 << 20);
  const std::uint64_t bytes = e->range.count * 512;
  bool ok = true;
  for (std::uint64_t off = 0; off < bytes && ok; off += buf.size()) {
    std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), bytes - off));
    ok = blk::read_device(dev, off, buf.data(), len) &&
         ::pwrite(fd, buf.data(), len, static_cast<off_t>(off)) == static_cast<ssize_t>(len);
  }
  ::close(fd);
  std::lock_guard<std::mutex> g(state_lock_);
  if (ok) truth_[e->name] = out.string();
}

void Server::start() {
  if (!opts_.truth_dir.empty()) {
    std::error_code ec;
    fs::create_directories(opts_.truth_dir, ec);
    blk::set_freeze_hook([this](blk::devnum dev, struct super_block*) { on_frozen_instant(dev); });
  }
  for (std::size_t i = 0; i < images_.size(); i++) attach(i);
  for (const auto& e : exports_)
    if (e.mounted) hook_freeze(e);
  for (const auto& e : exports_)
    if (e.mounted && default_export_.empty()) default_export_ = e.name;
  if (default_export_.empty()) default_export_ = exports_.front().name;
  int rc = standin::modules::insmod(opts_.module_path);
  if (rc != 0)
    throw StartError(tool::kExitFailed, "cannot load the module " + opts_.module_path + ": " + errno_text(-rc));
  module_loaded_ = true;
  started_ = std::chrono::steady_clock::now();
}

void Server::shutdown() {
  if (shut_down_.exchange(true)) return;
  cancel();
  // Waits for the running backup to end.
  std::lock_guard<std::mutex> b(backup_lock_);
  agent::clear_interrupt();
  if (module_loaded_) standin::modules::rmmod("cowguard", true);
  module_loaded_ = false;
  if (!opts_.truth_dir.empty()) blk::set_freeze_hook({});
  for (const auto& e : exports_)
    if (e.mounted) blk::umount(e.dev);
  for (auto& img : images_) {
    img->disk.reset();  // waits for the I/O in flight
    if (img->lock_fd >= 0) ::fdatasync(img->lock_fd);
  }
}

const Export* Server::find(const std::string& name) const {
  for (const auto& e : exports_)
    if (e.name == name) return &e;
  return nullptr;
}

const std::string& Server::default_export() const { return default_export_; }

int Server::read(const Export& e, void* buf, std::uint32_t count, std::uint64_t offset) {
  if (offset % 512 || count % 512 || offset + count > e.range.count * 512) return -EINVAL;
  return blk::rw_sectors(e.dev, 0, offset / 512, buf, count);
}

int Server::write(const Export& e, const void* buf, std::uint32_t count, std::uint64_t offset) {
  if (offset % 512 || count % 512 || offset + count > e.range.count * 512) return -EINVAL;
  WriteGate& gate = images_[e.disk]->gate;
  auto ticket = gate.enter({e.range.first + offset / 512, count / 512});
  int rc = blk::rw_sectors(e.dev, 1, offset / 512, const_cast<void*>(buf), count);
  gate.leave(ticket);
  return rc;
}

int Server::flush(const Export& e) {
  return ::fdatasync(images_[e.disk]->lock_fd) == 0 ? 0 : -errno;
}

bool Server::cancel() {
  std::lock_guard<std::mutex> g(state_lock_);
  if (!running_) return false;
  agent::request_interrupt();
  return true;
}

nlohmann::json Server::backup(const BackupRequest& r,
                              const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
  auto refuse = [](int code, const std::string& kind, const std::string& msg) {
    return json{{"ok", false}, {"exit_code", code}, {"error_kind", kind}, {"error", msg}};
  };
  std::unique_lock<std::mutex> b(backup_lock_, std::try_to_lock);
  if (!b.owns_lock()) {
    std::lock_guard<std::mutex> g(state_lock_);
    std::string who = running_ ? std::string(running_->kind == "full" ? "a " : "an ") + running_->kind + " backup of " + running_->device + " into " + running_->dir
                               : std::string("another backup");
    return refuse(tool::kExitFailed, "busy", "busy: " + who + " is running; one backup at a time");
  }
  if (shut_down_) return refuse(tool::kExitFailed, "stopping", "the daemon is stopping");
  const Export* e = find(r.device);
  if (!e) {
    std::string names;
    for (const auto& x : exports_) names += (names.empty() ? "" : ", ") + x.name;
    return refuse(tool::kExitUsage, "usage", "no device named '" + r.device + "'; the devices are " + names);
  }
  if (!e->mounted)
    return refuse(tool::kExitUsage, "usage", r.device + " has no mounted file system (" + e->note +
                                                 "): only a mounted partition can be backed up");
  if (r.dir.empty() || !fs::path(r.dir).is_absolute())
    return refuse(tool::kExitUsage, "usage", "the backup directory must be an absolute path, not '" + r.dir + "'");

  // Another source's directory is refused before the snapshot, which would
  // take the device's tracked changes with it.
  if (!r.new_chain) {
    std::optional<agent::Catalog> cat;
    try {
      cat = agent::Catalog::load(r.dir);
    } catch (const std::exception&) {
    }
    if (cat && cat->fs_uuid) {
      const blk::devnum dev = e->dev;
      auto now = agent::ext_uuid(
          [dev](std::uint64_t off, void* buf, std::size_t len) {
            if (blk::rw_sectors(dev, 0, off / 512, buf, len) != 0) std::memset(buf, 0, len);
          },
          e->range.count * 512);
      if (now && *now != *cat->fs_uuid)
        return refuse(tool::kExitUsage, "source",
                      r.dir + " holds backups of another source (" + cat->source().describe() + "), not of " +
                          r.device + " (ext UUID " + *now + "); ask for a new chain to start one there");
    }
  }

  agent::BackupOptions o;
  o.major = blk::major_of(e->dev);
  o.minor = blk::minor_of(e->dev);
  o.dir = r.dir;
  o.all_blocks = r.all_blocks;
  o.max_cache_blocks = r.cache_blocks;
  o.new_chain = r.new_chain;
  o.progress = [this, &progress](std::uint64_t done, std::uint64_t total) {
    {
      std::lock_guard<std::mutex> g(state_lock_);
      if (running_) running_->done = done, running_->total = total;
    }
    if (progress) progress(done, total);
  };
  unsigned earlier;
  bool last_failed;
  // A cancel counts from the moment the backup is listed as running.
  agent::clear_interrupt();
  {
    std::lock_guard<std::mutex> g(state_lock_);
    running_ = Running{r.device, r.dir, r.incremental ? "incremental" : "full", std::chrono::steady_clock::now()};
    earlier = backups_of_[r.device];
    last_failed = last_failed_[r.device];
  }
  const std::uint64_t held_before = images_[e->disk]->gate.held_writes();
  // Whether the directory had a key to present: after a restart of the
  // daemon the module no longer knows it.
  bool had_key = false;
  try {
    auto cat = agent::Catalog::load(r.dir);
    had_key = cat && cat->key.has_value();
  } catch (const std::exception&) {
  }
  json out;
  try {
    agent::BackupResult res = r.incremental ? agent::incremental_backup(o) : agent::full_backup(o);
    if (res.requested_incremental && res.kind == agent::BackupKind::full && earlier == 0 && had_key)
      res.fallback_reason += " (the first backup of " + r.device +
                             " since the daemon started: the module's tracking sessions end when it is unloaded)";
    else if (res.requested_incremental && res.kind == agent::BackupKind::full && last_failed)
      res.fallback_reason += " (the backup of " + r.device +
                             " before this one did not complete, and its snapshot took the changes since the "
                             "last good point)";
    out = tool::backup_result_json(res);
    out["ok"] = true;
  } catch (...) {
    tool::Failure f = tool::failure_of(std::current_exception());
    out = refuse(f.code, f.code == tool::kExitInterrupted ? "interrupted" : "failed", f.message);
    if (f.code == tool::kExitInterrupted) out["error"] = "cancelled; the catalog keeps its last good point";
  }
  agent::clear_interrupt();
  out["device"] = r.device;
  out["dir"] = r.dir;
  out["held_writes"] = images_[e->disk]->gate.held_writes() - held_before;
  std::lock_guard<std::mutex> g(state_lock_);
  running_.reset();
  // A refusal (a usage error) took no snapshot; any other failure may have.
  last_failed_[r.device] = !out["ok"].get<bool>() && out.value("exit_code", 0) != tool::kExitUsage;
  if (out["ok"].get<bool>()) {
    backups_ok_++;
    backups_of_[r.device]++;
    if (auto it = frozen_at_ns_.find(r.device); it != frozen_at_ns_.end()) out["frozen_at_ns"] = it->second;
    if (auto it = truth_.find(r.device); it != truth_.end()) out["truth_file"] = it->second;
  } else {
    backups_failed_++;
  }
  return out;
}

json Server::list() const {
  json a = json::array();
  for (const auto& e : exports_) {
    json j = {{"name", e.name},
              {"device", std::to_string(blk::major_of(e.dev)) + ":" + std::to_string(blk::minor_of(e.dev))},
              {"image", images_[e.disk]->path},
              {"partition", e.partition},
              {"start_sector", e.range.first},
              {"bytes", e.range.count * 512},
              {"mounted", e.mounted}};
    if (e.mounted) j["fs_type"] = e.fs_type, j["block_size"] = e.block_size;
    if (!e.note.empty()) j["note"] = e.note;
    a.push_back(j);
  }
  return a;
}

json Server::status() const {
  json j = {{"pid", ::getpid()},
            {"kernel_line", CG_KERNEL_LINE},
            {"module_loaded", module_loaded_},
            {"uptime_seconds",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count()},
            {"devices", list()}};
  std::uint64_t held = 0;
  for (const auto& img : images_) held += img->gate.held_writes();
  j["held_writes"] = held;
  std::lock_guard<std::mutex> g(state_lock_);
  j["backups_ok"] = backups_ok_;
  j["backups_failed"] = backups_failed_;
  if (running_) {
    j["running"] = {{"device", running_->device},
                    {"dir", running_->dir},
                    {"kind", running_->kind},
                    {"blocks_done", running_->done},
                    {"blocks_wanted", running_->total},
                    {"seconds",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - running_->since).count()}};
  } else {
    j["running"] = nullptr;
  }
  return j;
}

}  // namespace cowguard::serve
