#include "chain.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "exit_codes.h"
#include "progress.h"

#include "format.h"

namespace cowguard::tool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// One command's reply: the message on err, and the JSON object (success or
// failure) or the text on out.
class Reply {
 public:
  Reply(const char* command, bool as_json, std::ostream& out, std::ostream& err)
      : command_(command), json_(as_json), out_(out), err_(err) {
    j_ = {{"schema", kJsonSchema}, {"command", command}};
  }
  json& j() { return j_; }
  std::ostream& err() { return err_; }
  void note(const std::string& line) { err_ << "cowguard " << command_ << ": " << line << "\n"; }
  int fail(int code, const std::string& msg) {
    note(msg);
    j_["ok"] = false;
    j_["error"] = msg;
    j_["exit_code"] = code;
    if (json_) out_ << j_.dump(2) << "\n";
    return code;
  }
  int fail(const Failure& f) { return fail(f.code, f.message); }
  // The result, with exit code `code` (0 unless a finding fails it).
  int done(const std::string& text, int code = kExitOk) {
    j_["ok"] = code == kExitOk;
    if (code != kExitOk) j_["exit_code"] = code;
    if (json_) out_ << j_.dump(2) << "\n";
    else if (!text.empty()) out_ << text << (text.back() == '\n' ? "" : "\n");
    return code;
  }

 private:
  const char* command_;
  bool json_;
  std::ostream& out_;
  std::ostream& err_;
  json j_;
};

std::string plural(std::uint64_t n, const std::string& one, const std::string& many = "") {
  return std::to_string(n) + " " + (n == 1 ? one : (many.empty() ? one + "s" : many));
}

std::string join(const std::vector<std::uint32_t>& v) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); i++) s += (i ? ", " : "") + std::to_string(v[i]);
  return s;
}

std::string utc_time(std::int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  ::gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string local_time(std::int64_t t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

namespace agent = cowguard::agent;

json leftovers_json(const agent::Leftovers& l) {
  return {{"temporary", l.temporary}, {"orphans", l.orphans}};
}

std::string leftovers_text(const agent::Leftovers& l) {
  std::string s;
  auto names = [](const std::vector<std::string>& v) {
    std::string t;
    for (std::size_t i = 0; i < v.size(); i++) t += (i ? ", " : "") + v[i];
    return t;
  };
  if (!l.temporary.empty()) s += plural(l.temporary.size(), "temporary file") + " (" + names(l.temporary) + ")";
  if (!l.orphans.empty())
    s += std::string(s.empty() ? "" : "; ") + plural(l.orphans.size(), "file") + " of points the catalog never took (" +
         names(l.orphans) + ")";
  return s;
}

// ---- the restore target ----------------------------------------------------------------

enum class TargetKind { file, block_device, character_device, standard_output };

const char* target_name(TargetKind k) {
  switch (k) {
    case TargetKind::file: return "file";
    case TargetKind::block_device: return "block_device";
    case TargetKind::character_device: return "character_device";
    case TargetKind::standard_output: return "stdout";
  }
  return "?";
}

struct Target {
  TargetKind kind = TargetKind::file;
  fs::path path;  // symlinks followed
  dev_t rdev = 0;
};

// A path of the mounts table, with its octal escapes ("\040" for a blank) undone.
std::string unescape_mount_field(const std::string& s) {
  std::string r;
  for (std::size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7') {
      r += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      r += s[i];
    }
  }
  return r;
}

// The sysfs directory of a block device number, resolved ("" when unknown).
fs::path sysfs_of(dev_t d) {
  std::error_code ec;
  fs::path p = fs::canonical("/sys/dev/block/" + std::to_string(major(d)) + ":" + std::to_string(minor(d)), ec);
  return ec ? fs::path() : p;
}

// Where the block device `rdev`, or a partition of it, is mounted, per the
// mounts table; "" when nowhere.  nullopt when the table cannot be read.
std::optional<std::string> mounted_at(dev_t rdev, const std::string& mounts) {
  std::ifstream in(mounts);
  if (!in) return std::nullopt;
  const fs::path whole = sysfs_of(rdev);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string dev, dir;
    if (!(words >> dev >> dir) || dev.empty() || dev[0] != '/') continue;
    dev = unescape_mount_field(dev);
    struct stat st {};
    if (::stat(dev.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
    if (st.st_rdev == rdev) return unescape_mount_field(dir);
    if (!whole.empty()) {
      fs::path part = sysfs_of(st.st_rdev);
      if (!part.empty() && part.parent_path() == whole)
        return unescape_mount_field(dir) + " (its partition " + dev + ")";
    }
  }
  return std::string();
}

// Checks the output before any work: what it is, that it may be written,
// and that it is no file of the backup directory.  kExitOk, or a code with
// *msg saying why.
int resolve_target(const RestoreArgs& a, Target* t, std::string* msg) {
  if (a.output.empty()) {
    *msg = "the output is an empty path; name a file, a device or - for stdout";
    return kExitUsage;
  }
  if (a.output == "-") {
    if (::isatty(1)) {
      *msg = "not writing a disk image to a terminal: redirect stdout or name an output file";
      return kExitUsage;
    }
    if (a.json) {
      *msg = "--json and -o - would share stdout: name an output file, or leave out --json";
      return kExitUsage;
    }
    t->kind = TargetKind::standard_output;
    t->path = "-";
    return kExitOk;
  }
  // Follow symbolic links, dangling ones too: the link stays, its target
  // is written.
  fs::path p = a.output;
  struct stat st {};
  bool exists = false;
  for (int hops = 0;; hops++) {
    if (hops > 40) {
      *msg = "too many symbolic links from " + a.output;
      return kExitUsage;
    }
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        *msg = "cannot use the output " + p.string() + ": " + std::strerror(errno);
        return errno == ENOTDIR ? kExitUsage : kExitFailed;
      }
      break;
    }
    if (!S_ISLNK(st.st_mode)) {
      exists = true;
      break;
    }
    std::error_code ec;
    fs::path to = fs::read_symlink(p, ec);
    if (ec) {
      *msg = "cannot read the symbolic link " + p.string() + ": " + ec.message();
      return kExitFailed;
    }
    p = to.is_absolute() ? to : p.parent_path() / to;
  }
  t->path = p;
  std::error_code ec;
  if (!exists) {
    fs::path parent = p.parent_path().empty() ? fs::path(".") : p.parent_path();
    if (!fs::exists(parent, ec)) {
      *msg = "no directory " + parent.string() + " for the output " + a.output;
      return kExitMissing;
    }
    if (!fs::is_directory(parent, ec)) {
      *msg = parent.string() + " is not a directory (output " + a.output + ")";
      return kExitUsage;
    }
    t->kind = TargetKind::file;
  } else if (S_ISDIR(st.st_mode)) {
    *msg = "the output " + a.output + " is a directory; name the image file to write";
    return kExitUsage;
  } else if (S_ISFIFO(st.st_mode)) {
    *msg = "the output " + a.output + " is a FIFO; to stream the image, use -o - and a pipe";
    return kExitUsage;
  } else if (S_ISSOCK(st.st_mode)) {
    *msg = "the output " + a.output + " is a socket";
    return kExitUsage;
  } else if (S_ISBLK(st.st_mode)) {
    std::optional<std::string> where = mounted_at(st.st_rdev, a.mounts);
    if (!where) {
      *msg = "cannot read " + a.mounts + " to tell whether " + a.output + " is mounted";
      return kExitFailed;
    }
    if (!where->empty()) {
      *msg = "the block device " + a.output + " is mounted on " + *where + "; unmount it first";
      return kExitUsage;
    }
    t->kind = TargetKind::block_device;
    t->rdev = st.st_rdev;
  } else if (S_ISCHR(st.st_mode)) {
    t->kind = TargetKind::character_device;
  } else {
    t->kind = TargetKind::file;
  }
  if (t->kind != TargetKind::file) return kExitOk;

  // Never a file of the backup directory: not inside it, not one of its
  // files under another name.
  const fs::path dir = fs::weakly_canonical(a.dir, ec);
  if (ec || !fs::is_directory(dir, ec)) return kExitOk;  // a missing directory is the restore's to report
  const fs::path parent = fs::weakly_canonical(p.parent_path().empty() ? fs::path(".") : p.parent_path(), ec);
  if (!ec) {
    auto [d, pp] = std::mismatch(dir.begin(), dir.end(), parent.begin(), parent.end());
    if (d == dir.end()) {
      *msg = "the output " + a.output + " is inside the backup directory " + a.dir +
             "; restoring there would destroy the backups";
      return kExitUsage;
    }
  }
  if (exists) {
    for (const auto& de : fs::directory_iterator(dir, ec)) {
      struct stat in {};
      if (::stat(de.path().c_str(), &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino) {
        *msg = "the output " + a.output + " is the backup file " + de.path().filename().string() + " of " + a.dir;
        return kExitUsage;
      }
    }
  }
  return kExitOk;
}

// Closes a descriptor on every path out.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

// ---- restore ----------------------------------------------------------------------------

int restore_command(const RestoreArgs& a, std::ostream& out, std::ostream& err) {
  Reply reply("restore", a.json, out, err);
  reply.j()["dir"] = a.dir;
  reply.j()["output"] = a.output;
  Target t;
  std::string msg;
  if (int rc = resolve_target(a, &t, &msg); rc != kExitOk) return reply.fail(rc, msg);
  reply.j()["target"] = target_name(t.kind);
  try {
    // The catalog first: the point must be there, and its size known,
    // before the output is touched.
    std::optional<agent::Catalog> cat = agent::Catalog::load(a.dir);
    if (!cat)
      return reply.fail(kExitMissing, a.dir + ": not a backup directory: it has no " + agent::Catalog::kFileName);
    if (!a.point && !cat->latest()) return reply.fail(kExitMissing, a.dir + ": the catalog lists no backup point");
    const agent::ChainEntry& last = *cat->chain_to(a.point ? *a.point : cat->latest()->sequence).back();
    const std::uint64_t image_bytes = static_cast<std::uint64_t>(last.block_count) * last.block_size;

    ProgressBar bar(stderr, a.progress && !a.json);
    const std::string label = "restoring point " + std::to_string(last.sequence);
    agent::Progress progress = [&](std::uint64_t done, std::uint64_t total) { bar.update(label, done, total); };

    agent::RestoreResult r;
    std::string where = t.path.string();
    if (t.kind == TargetKind::file) {
      r = agent::restore(a.dir, a.point, t.path, progress);
    } else if (t.kind == TargetKind::standard_output) {
      where = "stdout";
      r = agent::restore_to_fd(a.dir, a.point, 1, false, progress);
    } else {
      Fd f;
      // O_EXCL on a block device: refused while the kernel has it in use
      // (a mount, a mapper, another exclusive opener).
      f.fd = ::open(t.path.c_str(), O_WRONLY | O_CLOEXEC | (t.kind == TargetKind::block_device ? O_EXCL : 0));
      if (f.fd < 0) {
        int e = errno;
        if (e == EBUSY)
          return reply.fail(kExitUsage, "the block device " + a.output + " is in use (mounted, or held by another program)");
        return reply.fail(e == ENOENT ? kExitMissing : kExitFailed, "cannot open " + a.output + ": " + std::strerror(e));
      }
      if (t.kind == TargetKind::block_device) {
        std::uint64_t size = 0;
        if (::ioctl(f.fd, BLKGETSIZE64, &size) != 0)
          return reply.fail(kExitFailed, "cannot read the size of " + a.output + ": " + std::strerror(errno));
        if (size < image_bytes)
          return reply.fail(kExitUsage, "the block device " + a.output + " holds " + human_bytes(static_cast<double>(size)) +
                                            " (" + std::to_string(size) + " bytes); point " + std::to_string(last.sequence) +
                                            " needs " + std::to_string(image_bytes) + " bytes");
        reply.j()["device_bytes"] = size;
      }
      try {
        r = agent::restore_to_fd(a.dir, a.point, f.fd, t.kind == TargetKind::block_device, progress);
      } catch (...) {
        bar.clear();
        Failure fl = failure_of(std::current_exception());
        // The chain is verified before the first write: only a fault while
        // writing (or an interrupt) leaves the device changed.
        if (t.kind == TargetKind::block_device && fl.code != kExitCorrupt && fl.code != kExitMissing)
          fl.message += "; the device " + a.output + " may be partly written";
        return reply.fail(fl);
      }
    }
    bar.clear();
    const std::uint64_t bytes = static_cast<std::uint64_t>(r.block_count) * r.block_size;
    reply.j()["point"] = r.point;
    reply.j()["files_applied"] = r.files_applied;
    reply.j()["block_size"] = r.block_size;
    reply.j()["blocks"] = r.block_count;
    reply.j()["bytes"] = bytes;
    std::string text = "restored backup point " + std::to_string(r.point) + " (" + plural(r.files_applied, "file") +
                       ") of " + a.dir + " to " + where + ": " + std::to_string(r.block_count) + " blocks of " +
                       std::to_string(r.block_size) + " bytes";
    if (t.kind == TargetKind::block_device && reply.j()["device_bytes"].get<std::uint64_t>() > bytes)
      text += " (the device's bytes after " + human_bytes(static_cast<double>(bytes)) + " are left as they were)";
    // On stdout the image is the output: the summary goes to stderr.
    if (t.kind == TargetKind::standard_output) {
      reply.note(text);
      return kExitOk;
    }
    return reply.done(text);
  } catch (...) {
    return reply.fail(failure_of(std::current_exception()));
  }
}

// ---- verify -----------------------------------------------------------------------------

int verify_command(const VerifyArgs& a, std::ostream& out, std::ostream& err) {
  Reply reply("verify", a.json, out, err);
  reply.j()["dir"] = a.dir;
  reply.j()["quick"] = a.quick;
  try {
    ProgressBar bar(stderr, a.progress && !a.quick && !a.json);
    agent::VerifyOptions o;
    o.point = a.point;
    o.quick = a.quick;
    o.progress = [&](std::uint64_t done, std::uint64_t total) { bar.update("verifying", done, total); };
    agent::VerifyReport r = agent::verify(a.dir, o);
    bar.clear();

    json files = json::array();
    bool any_corrupt = false;
    for (const agent::FileCheck& f : r.files) {
      json jf = {{"point", f.point}, {"kind", std::string(agent::kind_name(f.kind))}, {"file", f.file}, {"ok", f.ok}};
      if (!f.ok) {
        jf["error"] = f.message;
        jf["missing"] = f.missing;
        if (f.block) jf["block"] = *f.block;
        any_corrupt = any_corrupt || !f.missing;
        reply.note(f.message);
      }
      files.push_back(jf);
    }
    reply.j()["files_checked"] = r.files_checked;
    reply.j()["points_checked"] = r.points_checked;
    reply.j()["points"] = files;
    reply.j()["restorable"] = r.restorable;
    reply.j()["unrestorable"] = r.unrestorable;
    reply.j()["leftovers"] = leftovers_json(r.leftovers);

    const std::string what =
        a.point ? "the chain of point " + std::to_string(*a.point) : plural(r.points_checked, "backup point");
    const auto bad = std::count_if(r.files.begin(), r.files.end(), [](const agent::FileCheck& f) { return !f.ok; });
    std::string text = a.dir + ": " + what + ", " + plural(r.files_checked, "file") + " checked";
    if (a.quick) text += " (quick: the catalog and each file's structure, blocks not read)";
    if (r.ok) {
      text += a.quick ? ", all sound" : ", every checksum good";
    } else {
      text += ", " + plural(static_cast<std::uint64_t>(bad), "point") + " with a bad file" +
              "\nrestorable points: " + (r.restorable.empty() ? "none" : join(r.restorable)) +
              "\nnot restorable: " + join(r.unrestorable);
    }
    if (!r.leftovers.empty())
      reply.note("leftovers of an interrupted run: " + leftovers_text(r.leftovers) +
                 "; `cowguard check --repair " + a.dir + "` removes them");
    if (r.ok) return reply.done(text);
    const int code = any_corrupt ? kExitCorrupt : kExitMissing;
    reply.j()["error"] = r.message;
    return reply.done(text, code);
  } catch (...) {
    return reply.fail(failure_of(std::current_exception()));
  }
}

// ---- list -------------------------------------------------------------------------------

int list_command(const ListArgs& a, std::ostream& out, std::ostream& err) {
  Reply reply("list", a.json, out, err);
  reply.j()["dir"] = a.dir;
  try {
    std::optional<agent::Catalog> cat;
    agent::Leftovers left;
    {
      agent::DirLock lock(a.dir, agent::DirLock::Mode::shared, "a list");
      cat = agent::Catalog::load(a.dir);
      if (!cat)
        return reply.fail(kExitMissing, a.dir + ": not a backup directory: it has no " + agent::Catalog::kFileName);
      left = agent::find_leftovers(a.dir, &*cat);
    }
    const agent::SourceIdentity src = cat->source();
    json js = {{"major", src.major}, {"minor", src.minor}, {"device_bytes", src.device_bytes},
               {"block_size", src.block_size}};
    js["fs_uuid"] = src.fs_uuid ? json(*src.fs_uuid) : json(nullptr);
    reply.j()["source"] = js;
    json points = json::array();
    std::ostringstream t;
    t << a.dir << ": backups of " << src.describe() << "\n";
    if (cat->entries.empty()) t << "no backup points\n";
    else {
      char head[160];
      std::snprintf(head, sizeof head, "%6s  %-19s  %-11s  %5s  %6s  %10s  %10s  %s\n", "point", "time", "kind", "chain",
                    "parent", "blocks", "bytes", "file");
      t << head;
    }
    for (const agent::ChainEntry& e : cat->entries) {
      json je = {{"point", e.sequence},
                 {"time", utc_time(e.time)},
                 {"epoch", e.time},
                 {"kind", std::string(agent::kind_name(e.kind))},
                 {"chain", e.chain},
                 {"parent", e.parent ? json(*e.parent) : json(nullptr)},
                 {"block_size", e.block_size},
                 {"device_blocks", e.block_count},
                 {"blocks", e.info.blocks},
                 {"bytes", e.info.bytes_written},
                 {"file", e.info.file}};
      if (!e.info.index.empty()) je["index"] = e.info.index;
      points.push_back(je);
      char row[256];
      std::snprintf(row, sizeof row, "%6u  %-19s  %-11s  %5u  %6s  %10llu  %10s  %s\n", e.sequence,
                    local_time(e.time).c_str(), std::string(agent::kind_name(e.kind)).c_str(), e.chain,
                    e.parent ? std::to_string(*e.parent).c_str() : "-",
                    static_cast<unsigned long long>(e.info.blocks),
                    human_bytes(static_cast<double>(e.info.bytes_written)).c_str(), e.info.file.c_str());
      t << row;
    }
    // Chains whose geometry differs from the source's now.
    for (const agent::ChainEntry& e : cat->entries)
      if (e.kind == agent::BackupKind::full && (e.block_size != src.block_size || e.block_count * std::uint64_t{e.block_size} != src.device_bytes))
        t << "chain " << e.chain << " (from point " << e.sequence << ") is of " << e.block_count << " blocks of "
          << e.block_size << " bytes\n";
    reply.j()["points"] = points;
    reply.j()["leftovers"] = leftovers_json(left);
    if (!left.empty())
      t << "leftovers: " << leftovers_text(left) << "; `cowguard check --repair " << a.dir << "` removes them\n";
    return reply.done(t.str());
  } catch (...) {
    return reply.fail(failure_of(std::current_exception()));
  }
}

// ---- check ------------------------------------------------------------------------------

int check_command(const CheckArgs& a, std::ostream& out, std::ostream& err) {
  Reply reply("check", a.json, out, err);
  reply.j()["dir"] = a.dir;
  reply.j()["repair"] = a.repair;
  try {
    agent::VerifyOptions o;
    o.quick = true;
    agent::VerifyReport r = agent::verify(a.dir, o);
    reply.j()["files_checked"] = r.files_checked;
    reply.j()["leftovers"] = leftovers_json(r.leftovers);
    json bad = json::array();
    for (const agent::FileCheck& f : r.files)
      if (!f.ok) {
        bad.push_back({{"point", f.point}, {"file", f.file}, {"error", f.message}, {"missing", f.missing}});
        reply.note(f.message);
      }
    reply.j()["bad_files"] = bad;
    std::string text = a.dir + ": " + plural(r.files_checked, "file") + " of " + plural(r.points_checked, "point") +
                       (r.ok ? " sound" : " checked, " + std::to_string(bad.size()) + " bad") +
                       " (structure only; `cowguard verify` reads every block)";
    agent::Leftovers removed;
    if (a.repair && !r.leftovers.empty()) {
      removed = agent::remove_leftovers(a.dir);
      text += "\nremoved " + leftovers_text(removed);
    } else if (!r.leftovers.empty()) {
      text += "\nleftovers of an interrupted run: " + leftovers_text(r.leftovers) + "; --repair removes them";
    } else {
      text += "\nno leftovers";
    }
    reply.j()["removed"] = leftovers_json(removed);
    int code = kExitOk;
    if (!r.ok) {
      bool corrupt = false;
      for (const auto& f : r.files) corrupt = corrupt || (!f.ok && !f.missing);
      code = corrupt ? kExitCorrupt : kExitMissing;
      reply.j()["error"] = r.message;
    } else if (!a.repair && !r.leftovers.empty()) {
      code = kExitFailed;
      reply.j()["error"] = "leftover files";
    }
    return reply.done(text, code);
  } catch (...) {
    return reply.fail(failure_of(std::current_exception()));
  }
}

}  // namespace cowguard::tool
