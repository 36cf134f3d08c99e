#include "console.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
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
  for (const Step& s : steps()) commands_.emplace(s.name, s);
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

std::vector<Console::Form> Console::takes(std::vector<std::string> words, std::vector<FieldRule> fields) {
  return {Form{std::move(words), std::move(fields), false}};
}

FieldRule Console::pointer_field(std::string name) {
  return {std::move(name),
          [](std::string_view v) { return v == "null" || v == "bad" || v == "ro" || parse_uint(v); },
          "null, bad, ro or an address"};
}

Console::Outcome Console::step_echo(const Fields& f) {
  std::string s;
  for (const auto& w : f.words()) s += (s.empty() ? "" : " ") + w;
  out_ << s << "\n";
  return Outcome{};
}

Console::Outcome Console::step_log(const Fields& f) {
  auto lines = f.positional().empty() ? last_log_ : standin::log::lines();
  for (const auto& l : lines) out_ << "  log " << l << "\n";
  return Outcome{};
}

Console::Outcome Console::step_sleep(const Fields& f) {
  auto ms = uint_arg(need(f, 0, "MS"), "MS");
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return Outcome{};
}

namespace {

bool is_keyword(const std::string& w) {
  for (char c : w)
    if (std::isupper(static_cast<unsigned char>(c))) return false;
  return true;
}

// A word of a form without its "?" or "...".
std::string bare(const std::string& w) {
  if (w.size() > 3 && w.compare(w.size() - 3, 3, "...") == 0) return w.substr(0, w.size() - 3);
  if (!w.empty() && w.back() == '?') return w.substr(0, w.size() - 1);
  return w;
}

bool optional_word(const std::string& w) { return w != bare(w); }
bool repeated_word(const std::string& w) { return w.size() > 3 && w.compare(w.size() - 3, 3, "...") == 0; }

std::string one_of(const std::vector<std::string>& words) {
  std::string s;
  for (std::size_t i = 0; i < words.size(); i++)
    s += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return s;
}

}  // namespace

void Console::check(const std::string& name, const Step& c, const Fields& f) const {
  // The words to hold against a form: for free text every word.
  auto words_of = [&](const Form& form) -> const std::vector<std::string>& {
    return form.free_text ? f.words() : f.positional();
  };
  auto fits = [&](const Form& form) {
    const auto& w = words_of(form);
    for (std::size_t i = 0; i < form.words.size(); i++) {
      if (!is_keyword(form.words[i])) continue;
      if (i >= w.size()) {
        if (!optional_word(form.words[i])) return false;
      } else if (w[i] != bare(form.words[i])) {
        return false;
      }
    }
    return true;
  };
  const Form* form = nullptr;
  for (const auto& fm : c.forms)
    if (!form && fits(fm)) form = &fm;
  if (!form) {
    // Name the keywords the line could have had at the first place they differ.
    std::size_t at = SIZE_MAX;
    for (const auto& fm : c.forms)
      for (std::size_t i = 0; i < fm.words.size() && i < at; i++)
        if (is_keyword(fm.words[i])) at = i;
    std::vector<std::string> choices;
    for (const auto& fm : c.forms)
      if (at < fm.words.size() && is_keyword(fm.words[at])) choices.push_back(bare(fm.words[at]));
    const auto& w = f.positional();
    if (at >= w.size()) throw UsageError("missing " + one_of(choices));
    throw UsageError("'" + w[at] + "' is not " + one_of(choices));
  }
  const auto& w = words_of(*form);
  bool any = !form->words.empty() && repeated_word(form->words.back());
  for (std::size_t i = w.size(); i < form->words.size(); i++)
    if (!optional_word(form->words[i])) throw UsageError("missing " + form->words[i]);
  if (!any && w.size() > form->words.size()) {
    std::string extra;
    for (std::size_t i = form->words.size(); i < w.size(); i++) extra += " " + w[i];
    throw UsageError("too many words:" + extra);
  }
  if (!form->free_text) {
    std::string err = f.check(name, form->fields);
    if (!err.empty()) throw UsageError(err);
  }
}

// Prints the commands of each group in two columns: usage and description.
// A usage of several forms takes a line for each; a long usage or
// description wraps within its column.
void Console::help(const std::vector<std::string>& words) {
  if (!words.empty()) {
    auto it = commands_.find(words[0] == "exit" ? "quit" : words[0]);
    if (it == commands_.end()) throw UsageError("no command " + words[0]);
    out_ << "usage: " << it->second.usage << "\n  " << it->second.help << "\n";
    return;
  }
  constexpr std::size_t kWidth = 80, kIndent = 2, kGap = 2, kUsageMax = 36;
  // The usage of each form of a command ("a | b": two).
  auto forms = [](const std::string& usage) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    for (;;) {
      auto bar = usage.find(" | ", pos);
      out.push_back(usage.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
      if (bar == std::string::npos) return out;
      pos = bar + 3;
    }
  };
  // Greedy wrapping at blanks, the first line `first` wide and the others
  // `rest`; a word longer than its line is cut.
  auto wrap = [](const std::string& text, std::size_t first, std::size_t rest) {
    std::vector<std::string> lines;
    std::string line;
    auto width = [&] { return lines.empty() ? first : rest; };
    std::istringstream in(text);
    for (std::string w; in >> w;) {
      if (!line.empty() && line.size() + 1 + w.size() > width()) {
        lines.push_back(std::move(line));
        line.clear();
      }
      while (line.empty() && w.size() > width()) {
        std::size_t n = width();
        lines.push_back(w.substr(0, n));
        w.erase(0, n);
      }
      line += (line.empty() ? "" : " ") + w;
    }
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
  };
  std::size_t usage_w = 0;
  for (const auto& [name, c] : commands_)
    for (const auto& u : forms(c.usage)) usage_w = std::max(usage_w, std::min(u.size(), kUsageMax));
  const std::size_t help_w = kWidth - kIndent - usage_w - kGap;

  out_ << "Commands (help COMMAND for one; # starts a comment; NAME=VALUE sets a field):\n";
  for (const char* group : {"general", "disks", "faults", "module", "commands", "agent"}) {
    out_ << " " << group << ":\n";
    for (const auto& [name, c] : commands_) {
      if (c.group != group) continue;
      std::vector<std::string> left;
      // Each form on its own lines; the lines a form wraps onto are indented.
      for (const auto& u : forms(c.usage)) {
        auto lines = wrap(u, usage_w, usage_w - 2);
        for (std::size_t i = 0; i < lines.size(); i++) left.push_back((i ? "  " : "") + lines[i]);
      }
      auto right = wrap(c.help, help_w, help_w);
      for (std::size_t i = 0; i < std::max(left.size(), right.size()); i++) {
        std::string l = i < left.size() ? left[i] : "";
        std::string line = std::string(kIndent, ' ') + l;
        if (i < right.size()) line += std::string(usage_w - l.size() + kGap, ' ') + right[i];
        out_ << line << "\n";
      }
    }
  }
  out_ << " pointer fields: null, bad (unmapped page), ro (read-only page) or an address\n";
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

void Console::expect(const std::string& name, const std::string& want) {
  if (!pending_) {
    failures_++;
    out_ << "error: " << name << ": no step before it to check\n";
    return;
  }
  bool ok = false;
  std::string got;
  if (name == "expect") {
    ok = expect_matches(want, *pending_);
    got = std::to_string(pending_->code);
  } else {
    for (const auto& l : last_log_) ok = ok || l == want;
    got = std::to_string(last_log_.size()) + " other log lines";
  }
  pending_checked_ = true;
  if (ok) {
    out_ << name << " " << want << ": ok\n";
  } else {
    failures_++;
    out_ << name << " " << want << ": FAILED (got " << got << ")\n";
  }
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
  const std::string name = words[0] == "exit" ? "quit" : words[0];
  auto it = commands_.find(name);
  try {
    if (it == commands_.end()) throw UsageError("unknown command '" + words[0] + "' (try help)");
    // The whole line is checked before anything of the step runs.
    Fields f(std::vector<std::string>(words.begin() + 1, words.end()));
    check(name, it->second, f);
    if (name == "expect" || name == "expect-log") {
      expect(name, f.words()[0]);
      return true;
    }
    settle();
    if (name == "quit") return false;
    if (name == "help") {
      help(f.positional());
      return true;
    }
    Outcome o = (this->*it->second.run)(f);
    if (it->second.group != "general") {
      report(o);
      print_log();
      pending_ = o;
      pending_checked_ = false;
    }
  } catch (const UsageError& e) {
    failures_++;
    out_ << "error: " << e.what() << "\n";
    if (it != commands_.end()) out_ << "usage: " << it->second.usage << "\n";
    print_log();
  }
  return true;
}

namespace {

class StreamInput : public LineInput {
 public:
  explicit StreamInput(std::istream& in) : in_(in) {}
  std::optional<std::string> next() override {
    std::string line;
    if (!std::getline(in_, line)) return std::nullopt;
    return line;
  }

 private:
  std::istream& in_;
};

}  // namespace

void Console::run(std::istream& in) {
  StreamInput s(in);
  run(s);
}

void Console::run(LineInput& in) {
  for (;;) {
    // What the last step printed is out before the input waits.
    flush_buf();
    auto line = in.next();
    if (!line || !run_line(*line)) break;
  }
  finish();
}

// ---- word parsers -------------------------------------------------------------

std::string Console::need(const Fields& f, std::size_t i, const char* what) const {
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

std::uint64_t Console::uint_field(const Fields& f, const std::string& name, std::uint64_t def) const {
  auto v = f.get(name);
  if (!v) return def;
  return uint_arg(*v, name.c_str());
}

void* Console::ptr_field(const Fields& f, const std::string& name, void* def) const {
  auto v = f.get(name);
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
