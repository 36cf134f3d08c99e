#include "console.h"

#include <sys/mman.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include "names.h"
#include "standin/log.h"
#include "standin/module.h"
#include "standin/user.h"

namespace cowguard::tool {

namespace blk = standin::block;
namespace user = standin::user;

constexpr std::size_t kPage = 4096;

// The module of this command's line, found from where the executable itself
// lies (/proc/self/exe names the file, whatever link it was started through,
// such as an installed bin/cowguard): beside it, as in the build tree, or in
// the installed tree's module folder.  Failing both, the module of the build
// tree the command was built in.
std::string default_module_path() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.is_absolute()) {
    for (const char* rel : {"cowguard.ko", CG_INSTALLED_MODULE}) {
      fs::path p = (exe.parent_path() / rel).lexically_normal();
      if (fs::is_regular_file(p, ec)) return p.string();
    }
  }
  return CG_MODULE_PATH;
}
std::string kernel_line() { return CG_KERNEL_LINE; }

Console::Console(std::ostream& out, ConsoleOptions opts) : sink_(out), opts_(std::move(opts)) {
  // Three pages for pointer fields: read-write, read-only, inaccessible.
  void* p = ::mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p != MAP_FAILED) {
    pages_ = static_cast<char*>(p);
    ::mprotect(pages_ + kPage, kPage, PROT_READ);
    ::mprotect(pages_ + 2 * kPage, kPage, PROT_NONE);
  }
  log_mark_ = standin::log::mark();
  add_commands();
}

Console::~Console() {
  workload_.reset();
  for (auto& [id, w] : windows_) user::munmap(w.addr, w.len);
  windows_.clear();
  for (int fd : fds_) user::close(fd);
  fds_.clear();
  if (standin::modules::loaded("cowguard")) standin::modules::rmmod("cowguard", true);
  for (auto d : mounted_) blk::umount(d);
  mounted_.clear();
  // Disks go last-made first: a later disk may sit on an earlier one's file.
  while (!disks_.empty()) disks_.pop_back();
  if (pages_) ::munmap(pages_, 3 * kPage);
}

void Console::add(const std::string& group, const std::string& name, const std::string& usage,
                  const std::string& help, Handler h) {
  commands_[name] = Command{group, usage, help, std::move(h)};
}

void Console::add_commands() {
  add("general", "help", "help [COMMAND]", "list the commands, or show one command's usage",
      [](Fields&) { return Outcome{}; });
  add("general", "echo", "echo TEXT...", "print the text", [this](Fields& f) {
    std::string s;
    for (const auto& w : f.positional()) s += (s.empty() ? "" : " ") + w;
    out_ << s << "\n";
    return Outcome{};
  });
  add("general", "log", "log [all]",
      "print the kernel log: every line with `all`, else the lines of the last step",
      [this](Fields& f) {
        const auto& p = f.positional();
        auto lines = (!p.empty() && p[0] == "all") ? standin::log::lines() : last_log_;
        for (const auto& l : lines) out_ << "  log " << l << "\n";
        return Outcome{};
      });
  add("general", "sleep", "sleep MS", "wait MS milliseconds", [this](Fields& f) {
    auto ms = uint_arg(need(f, 0, "MS"), "MS");
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return Outcome{};
  });
  add_disk_commands();
  add_module_commands();
  add_agent_commands();
}

void Console::help(const std::vector<std::string>& words) {
  if (words.size() > 1) {
    auto it = commands_.find(words[1]);
    if (it == commands_.end() && words[1] != "expect" && words[1] != "expect-log" &&
        words[1] != "quit")
      throw UsageError("no command " + words[1]);
    if (words[1] == "expect") {
      out_ << "usage: expect STATUS\n  check the status of the step before: a number, a status "
              "name (CGD_ERR_INVALID), an errno name (EBUSY), ok or fail\n";
      return;
    }
    if (words[1] == "expect-log") {
      out_ << "usage: expect-log TEXT\n  check that the step before wrote this kernel log line "
              "(quote it)\n";
      return;
    }
    if (words[1] == "quit") {
      out_ << "usage: quit\n  end the console\n";
      return;
    }
    out_ << "usage: " << it->second.usage << "\n  " << it->second.help << "\n";
    return;
  }
  out_ << "Commands (help COMMAND for one; # starts a comment; NAME=VALUE sets a field):\n";
  for (const char* group : {"general", "disks", "faults", "module", "commands", "agent"}) {
    out_ << " " << group << ":\n";
    for (const auto& [name, c] : commands_)
      if (c.group == group) out_ << "  " << std::left << std::setw(44) << c.usage << c.help << "\n";
    if (std::string(group) == "general") {
      out_ << "  " << std::left << std::setw(44) << "expect STATUS"
           << "check the step before (number, name, ok, fail)\n";
      out_ << "  " << std::left << std::setw(44) << "expect-log TEXT"
           << "check that the step before logged this line\n";
      out_ << "  " << std::left << std::setw(44) << "quit" << "end the console\n";
    }
  }
  out_ << " pointer fields take null, bad (unmapped page), ro (read-only page) or an address\n";
  out_ << " devices: sda, sda1, 8:1; sizes: 4096, 16M, 2048s (sectors)\n";
}

// A failed step with no expect after it counts as an unexpected failure.
void Console::settle() {
  if (pending_ && !pending_checked_ && pending_->code != 0) {
    failures_++;
    flush_buf();
    sink_ << "unexpected failure\n";
  }
  pending_.reset();
  pending_checked_ = true;
}

void Console::finish() {
  settle();
  flush_buf();
}

void Console::flush_buf() {
  sink_ << buf_.str();
  buf_.str("");
  sink_.flush();
}

void Console::report(const Outcome& o) {
  std::ostream& out_ = sink_;
  out_ << "status " << o.code;
  if (o.module && o.code >= 0) {
    std::string n = status_name(o.code);
    out_ << " " << (n.empty() ? "(unknown status)" : n);
  } else if (o.code == -1 && o.err) {
    out_ << " " << errno_name(o.err);
  } else if (!o.text.empty()) {
    out_ << " " << o.text;
  } else if (o.code < 0) {
    out_ << " " << errno_name(static_cast<int>(-o.code));
  } else if (o.code == 0) {
    out_ << " OK";
  }
  out_ << "\n";
}

void Console::print_log() {
  flush_buf();
  last_log_ = standin::log::since(log_mark_);
  log_mark_ = standin::log::mark();
  for (const auto& l : last_log_) out_ << "  log " << l << "\n";
}

bool Console::expect_matches(const std::string& want, const Outcome& o) const {
  if (want == "ok") return o.code == 0;
  if (want == "fail") return o.code != 0;
  if (auto n = parse_int(want)) return *n == o.code;
  if (o.module && o.code >= 0) {
    if (auto s = status_by_name(want)) return *s == o.code;
  }
  if (!o.text.empty() && want == o.text) return true;
  if (auto e = errno_by_name(want)) {
    if (o.code == -1 && o.err) return *e == o.err;
    return o.code == -*e;
  }
  return false;
}

bool Console::run_line(const std::string& line) {
  auto words = split_words(line);
  flush_buf();
  if (!words.empty() && words[0] != "expect" && words[0] != "expect-log") settle();
  if (opts_.echo && !words.empty()) sink_ << "> " << line << "\n";
  if (words.empty()) return true;
  struct Flush {
    Console* c;
    ~Flush() { c->flush_buf(); }
  } flush{this};
  const std::string& name = words[0];
  try {
    if (name == "quit" || name == "exit") {
      settle();
      return false;
    }
    if (name == "expect" || name == "expect-log") {
      if (words.size() != 2) throw UsageError("usage: " + name + (name == "expect" ? " STATUS" : " TEXT"));
      if (!pending_) throw UsageError(name + ": no step before it to check");
      bool ok;
      std::string got;
      if (name == "expect") {
        ok = expect_matches(words[1], *pending_);
        std::ostringstream g;
        g << pending_->code;
        got = g.str();
      } else {
        ok = false;
        for (const auto& l : last_log_) ok = ok || l == words[1];
        got = std::to_string(last_log_.size()) + " other log lines";
      }
      pending_checked_ = true;
      if (ok) {
        out_ << name << " " << words[1] << ": ok\n";
      } else {
        failures_++;
        out_ << name << " " << words[1] << ": FAILED (got " << got << ")\n";
      }
      return true;
    }
    settle();
    if (name == "help") {
      help(words);
      return true;
    }
    auto it = commands_.find(name);
    if (it == commands_.end()) throw UsageError("unknown command '" + name + "' (try help)");
    std::vector<std::string> rest(words.begin() + 1, words.end());
    Fields f(rest);
    Outcome o = it->second.run(f);
    auto left = f.untaken();
    if (!left.empty()) {
      // The step ran: its output stands, but the line had fields it does
      // not know, which is a script error.
      std::string s;
      for (const auto& l : left) s += " " + l;
      report(o);
      print_log();
      failures_++;
      out_ << "error: " << name << " has no field" << (left.size() > 1 ? "s" : "") << s << "\n";
      return true;
    }
    if (it->second.group != "general") {
      report(o);
      print_log();
      pending_ = o;
      pending_checked_ = false;
    }
  } catch (const UsageError& e) {
    failures_++;
    out_ << "error: " << e.what() << "\n";
    auto it = commands_.find(name);
    if (it != commands_.end()) out_ << "usage: " << it->second.usage << "\n";
    print_log();
  }
  return true;
}

void Console::run(std::istream& in) {
  std::string line;
  for (;;) {
    if (opts_.prompt) out_ << "cowguard> " << std::flush;
    if (!std::getline(in, line)) {
      if (opts_.prompt) sink_ << "\n";
      break;
    }
    if (!run_line(line)) break;
    out_ << std::flush;
  }
  finish();
}

// ---- word parsers -------------------------------------------------------------

std::string Console::need(Fields& f, std::size_t i, const char* what) const {
  if (f.positional().size() <= i) throw UsageError(std::string("missing ") + what);
  return f.positional()[i];
}

std::uint64_t Console::size_arg(const std::string& w, const char* what) const {
  if (!w.empty() && (w.back() == 's' || w.back() == 'S')) {
    if (auto v = parse_uint(w.substr(0, w.size() - 1))) return *v * 512;
  }
  if (auto v = parse_size(w)) return *v;
  throw UsageError(std::string("bad ") + what + " '" + w + "'");
}

std::uint64_t Console::uint_arg(const std::string& w, const char* what) const {
  if (auto v = parse_uint(w)) return *v;
  throw UsageError(std::string("bad ") + what + " '" + w + "'");
}

std::uint64_t Console::uint_field(Fields& f, const std::string& name, std::uint64_t def) const {
  auto v = f.take(name);
  if (!v) return def;
  return uint_arg(*v, name.c_str());
}

void* Console::ptr_field(Fields& f, const std::string& name, void* def) const {
  auto v = f.take(name);
  if (!v) return def;
  if (*v == "null") return nullptr;
  if (*v == "bad") return pages_ + 2 * kPage;
  if (*v == "ro") return pages_ + kPage;
  if (auto n = parse_uint(*v)) return reinterpret_cast<void*>(*n);
  throw UsageError("bad pointer " + name + "=" + *v + " (null, bad, ro or an address)");
}

int Console::fd_arg(const std::string& w) const {
  auto v = parse_int(w);
  if (!v || *v < -1 || *v > 1 << 20) throw UsageError("bad file descriptor '" + w + "'");
  return static_cast<int>(*v);
}

blk::devnum Console::device(const std::string& w) const {
  auto colon = w.find(':');
  if (colon != std::string::npos) {
    auto ma = parse_uint(w.substr(0, colon)), mi = parse_uint(w.substr(colon + 1));
    if (!ma || !mi || *ma > 4095 || *mi > 0xfffff) throw UsageError("bad device '" + w + "'");
    return blk::mkdev(static_cast<unsigned>(*ma), static_cast<unsigned>(*mi));
  }
  for (const auto& d : disks_) {
    const std::string& n = d.disk->name();
    if (w == n) return d.disk->dev();
    if (w.size() > n.size() && w.compare(0, n.size(), n) == 0) {
      auto p = parse_uint(w.substr(n.size()));
      if (p && *p >= 1 && *p < 256) return d.disk->part_dev(static_cast<int>(*p));
    }
  }
  throw UsageError("no device '" + w + "' (a disk name, a partition like sda1, or MAJOR:MINOR)");
}

Console::DiskEntry& Console::disk(const std::string& w) {
  for (auto& d : disks_)
    if (d.disk->name() == w || devname(d.disk->dev()) == w) return d;
  throw UsageError("no disk '" + w + "'");
}

Console::Window& Console::window(const std::string& w) {
  auto it = windows_.find(w);
  if (it == windows_.end()) throw UsageError("no window '" + w + "'");
  return it->second;
}

Console::Window* Console::window_of(int fd) {
  for (auto& [id, w] : windows_)
    if (w.fd == fd) return &w;
  return nullptr;
}

void Console::hexdump(const std::uint8_t* p, std::size_t len, std::uint64_t base) {
  char buf[128];
  for (std::size_t off = 0; off < len; off += 16) {
    int n = std::snprintf(buf, sizeof buf, "  %08llx:", static_cast<unsigned long long>(base + off));
    std::string ascii;
    for (std::size_t i = 0; i < 16; i++) {
      if (off + i < len) {
        n += std::snprintf(buf + n, sizeof buf - n, " %02x", p[off + i]);
        char c = static_cast<char>(p[off + i]);
        ascii += (c >= 32 && c < 127) ? c : '.';
      } else {
        n += std::snprintf(buf + n, sizeof buf - n, "   ");
      }
    }
    out_ << buf << "  |" << ascii << "|\n";
  }
}

}  // namespace cowguard::tool
