#include "serve_cmd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "exit_codes.h"
#include "progress.h"

#include "workload/workload.h"

namespace cowguard::tool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kPluginName = "nbdkit-cowguard-plugin.so";

std::string nbd_plugin_path() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.is_absolute()) {
    for (const char* rel : {kPluginName, CG_INSTALLED_NBD_PLUGIN}) {
      fs::path p = (exe.parent_path() / rel).lexically_normal();
      if (fs::is_regular_file(p, ec)) return p.string();
    }
  }
  return CG_NBD_PLUGIN;
}

// The first nbdkit on PATH ("" when there is none).
std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "/usr/bin:/bin");
  std::string d;
  while (std::getline(ss, d, ':')) {
    fs::path p = fs::path(d.empty() ? "." : d) / name;
    if (::access(p.c_str(), X_OK) == 0) return p.string();
  }
  return {};
}

// A connection to a daemon's control socket.
class ControlClient {
 public:
  // errno is kept when it fails.
  bool connect(const std::string& path) {
    sockaddr_un a {};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      int e = errno;
      ::close(fd_);
      fd_ = -1;
      errno = e;
      return false;
    }
    return true;
  }
  ~ControlClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool send(const json& j) {
    std::string s = j.dump() + "\n";
    std::size_t off = 0;
    while (off < s.size()) {
      ssize_t n = ::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      off += static_cast<std::size_t>(n);
    }
    return true;
  }
  // The next reply; nullopt when the daemon closed the connection (or a
  // signal interrupted the wait: `interrupted` is then set).
  std::optional<json> next(bool* interrupted = nullptr) {
    for (;;) {
      auto nl = buf_.find('\n');
      if (nl != std::string::npos) {
        json j = json::parse(buf_.substr(0, nl), nullptr, false);
        buf_.erase(0, nl + 1);
        if (j.is_discarded()) continue;
        return j;
      }
      char chunk[4096];
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) {
        if (interrupted) {
          *interrupted = true;
          return std::nullopt;
        }
        continue;
      }
      if (n <= 0) return std::nullopt;
      buf_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buf_;
};

// Connects, or says why not: exit 3 when no daemon answers there.
// A failure of a client command: its message, and with --json its object.
int client_failure(const std::string& cmd, int code, const std::string& msg, bool as_json, std::ostream& out,
                   std::ostream& err) {
  err << "cowguard " << cmd << ": " << msg << "\n";
  if (as_json)
    out << json{{"schema", 1}, {"command", cmd}, {"ok", false}, {"error", msg}, {"exit_code", code}}.dump(2)
        << "\n";
  return code;
}

int connect_or_say(ControlClient& c, const std::string& socket, const std::string& cmd, bool as_json,
                   std::ostream& out, std::ostream& err) {
  if (c.connect(socket)) return kExitOk;
  int e = errno;
  return client_failure(cmd, kExitMissing,
                        "no daemon answers on " + socket + " (" + std::strerror(e) +
                            "); start one with `cowguard serve IMAGE`",
                        as_json, out, err);
}

std::string socket_or_default(const std::string& s) { return s.empty() ? default_control_socket() : s; }

// One request and its one reply.
std::optional<json> ask(const std::string& socket, const json& req) {
  ControlClient c;
  if (!c.connect(socket) || !c.send(req)) return std::nullopt;
  return c.next();
}

// Makes the control socket's directory, or checks that only its owner (us)
// can enter it.  "" or what is wrong.
std::string private_dir(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) {
    fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
      return "cannot create " + dir.string() + ": " + std::strerror(errno);
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return "cannot read " + dir.string() + ": " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return dir.string() + " is not a directory";
  if (st.st_uid != ::getuid()) return dir.string() + " belongs to another user";
  if (st.st_mode & 077) {
    std::ostringstream m;
    m << dir.string() << " can be entered by others (mode " << std::oct << (st.st_mode & 0777)
      << "): the daemon's sockets must be in a directory only you can enter (chmod 700)";
    return m.str();
  }
  return {};
}

std::string read_file(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

volatile sig_atomic_t g_child = 0;
void forward_signal(int sig) {
  if (g_child > 0) ::kill(g_child, sig);
}

std::string device_list(const json& devices) {
  std::string s;
  for (const auto& d : devices) {
    s += "  " + d.value("name", "?") + "  " + human_bytes(d.value("bytes", 0.0));
    if (d.value("mounted", false))
      s += "  " + d.value("fs_type", "") + ", " + std::to_string(d.value("block_size", 0)) + "-byte blocks";
    else if (d.contains("note"))
      s += "  " + d.value("note", "");
    s += "\n";
  }
  return s;
}

}  // namespace

std::string default_control_socket() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg) return (fs::path(xdg) / "cowguard" / "control.sock").string();
  return "/tmp/cowguard-" + std::to_string(::getuid()) + "/control.sock";
}

bool loopback_host(const std::string& host) {
  if (host == "localhost") return true;
  in_addr a4 {};
  if (::inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6 {};
  if (::inet_pton(AF_INET6, host.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
  return false;
}

bool parse_export(const std::string& text, ExportSpec* out, std::string* why) {
  if (text.rfind("unix:", 0) == 0) {
    out->tcp = false;
    out->path = text.substr(5);
    if (out->path.empty()) {
      *why = "unix: needs a socket path";
      return false;
    }
    return true;
  }
  if (text.rfind("tcp:", 0) == 0) {
    std::string rest = text.substr(4);
    auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) {
      *why = "tcp: needs HOST:PORT";
      return false;
    }
    out->tcp = true;
    out->host = rest.substr(0, colon);
    if (out->host.size() > 2 && out->host.front() == '[' && out->host.back() == ']')
      out->host = out->host.substr(1, out->host.size() - 2);
    std::string port = rest.substr(colon + 1);
    char* end = nullptr;
    unsigned long p = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end || p == 0 || p > 65535) {
      *why = "the port must be 1 to 65535, not '" + port + "'";
      return false;
    }
    out->port = static_cast<unsigned>(p);
    return true;
  }
  *why = "an export is unix:PATH or tcp:HOST:PORT, not '" + text + "'";
  return false;
}

int serve_command(const ServeArgs& a, std::ostream& out, std::ostream& err) {
  auto usage = [&](const std::string& m) {
    err << "cowguard serve: " << m << "\n";
    return kExitUsage;
  };
  const std::string control = socket_or_default(a.socket);
  const fs::path dir = fs::absolute(control).parent_path();
  for (const auto& img : a.images) {
    std::error_code ec;
    if (!fs::exists(img, ec)) {
      err << "cowguard serve: no such image: " << img << "\n";
      return kExitMissing;
    }
  }
  ExportSpec ex;
  std::string why;
  if (!parse_export(a.export_spec.empty() ? "unix:" + (dir / "nbd.sock").string() : a.export_spec, &ex, &why))
    return usage(why);
  const bool tls = !a.tls_psk.empty() || !a.tls_certificates.empty();
  if (ex.tcp && !loopback_host(ex.host) && !tls)
    return usage("an export on " + ex.host +
                 " is reachable from the network: it needs TLS (--tls-psk FILE or --tls-certificates "
                 "DIR), or listen on 127.0.0.1");
  if (!a.tls_psk.empty() && !fs::is_regular_file(a.tls_psk)) {
    err << "cowguard serve: no such key file: " << a.tls_psk << "\n";
    return kExitMissing;
  }
  if (!a.tls_certificates.empty() && !fs::is_directory(a.tls_certificates)) {
    err << "cowguard serve: no such certificate directory: " << a.tls_certificates << "\n";
    return kExitMissing;
  }
  if (std::string bad = private_dir(dir); !bad.empty()) return usage(bad);
  if (!ex.tcp) {
    if (std::string bad = private_dir(fs::absolute(ex.path).parent_path()); !bad.empty()) return usage(bad);
  }
  const std::string nbdkit = find_program("nbdkit");
  if (nbdkit.empty()) {
    err << "cowguard serve: nbdkit is not installed (Debian package nbdkit)\n";
    return kExitFailed;
  }
  const std::string plugin = nbd_plugin_path();
  if (!fs::is_regular_file(plugin)) {
    err << "cowguard serve: the nbdkit plugin " << plugin << " is missing (this build has none)\n";
    return kExitFailed;
  }
  if (auto live = ask(control, {{"op", "status"}})) {
    err << "cowguard serve: a daemon (pid " << live->value("pid", 0) << ") already answers on " << control << "\n";
    return kExitFailed;
  }

  if (!ex.tcp) {
    // A socket a killed daemon left behind is replaced; a live one is not.
    struct stat sst {};
    if (::lstat(ex.path.c_str(), &sst) == 0) {
      ControlClient probe;
      if (!S_ISSOCK(sst.st_mode) || probe.connect(ex.path)) {
        err << "cowguard serve: " << ex.path << " is in use; name another --export\n";
        return kExitFailed;
      }
      ::unlink(ex.path.c_str());
    }
  }
  const fs::path status = dir / "serve.status";
  const fs::path log = dir / "serve.log";
  std::error_code ec;
  fs::remove(status, ec);
  std::vector<std::string> args = {nbdkit, "--foreground", "--filter=blocksize"};
  if (ex.tcp) {
    args.insert(args.end(), {"--ipaddr", ex.host, "--port", std::to_string(ex.port)});
  } else {
    args.insert(args.end(), {"--unix", fs::absolute(ex.path).string()});
  }
  if (tls) {
    args.push_back("--tls=require");
    if (!a.tls_psk.empty()) args.push_back("--tls-psk=" + fs::absolute(a.tls_psk).string());
    if (!a.tls_certificates.empty()) args.push_back("--tls-certificates=" + fs::absolute(a.tls_certificates).string());
  }
  args.push_back(plugin);
  for (const auto& img : a.images) args.push_back("image=" + fs::absolute(img).string());
  args.push_back("module=" + fs::absolute(a.module_path).string());
  args.push_back("control=" + fs::absolute(control).string());
  args.push_back("status=" + status.string());
  if (!a.truth_dir.empty()) args.push_back("truth=" + fs::absolute(a.truth_dir).string());
  if (!a.foreground) args.push_back("detach=yes");
  args.push_back("minblock=512");

  pid_t child = ::fork();
  if (child < 0) {
    err << "cowguard serve: fork: " << std::strerror(errno) << "\n";
    return kExitFailed;
  }
  if (child == 0) {
    ::umask(077);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    if (!a.foreground) {
      ::setsid();
      int lf = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(lf, 1);
      ::dup2(lf, 2);
    }
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    ::execv(nbdkit.c_str(), argv.data());
    std::fprintf(stderr, "cowguard serve: cannot run %s: %s\n", nbdkit.c_str(), std::strerror(errno));
    ::_exit(kExitFailed);
  }
  g_child = child;
  struct sigaction sa {};
  sa.sa_handler = forward_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // Ready when the control socket answers; a start that fails leaves its
  // message and exit code in the status file.
  auto exited = [&](int st) {
    json s = json::parse(read_file(status), nullptr, false);
    if (s.is_object() && s.contains("error")) {
      err << "cowguard serve: " << s.value("error", "") << "\n";
      return s.value("exit_code", kExitFailed);
    }
    err << "cowguard serve: nbdkit ended before the daemon was ready";
    if (!a.foreground) err << "; its log: " << log.string() << "\n" << read_file(log);
    err << "\n";
    return kExitFailed;
  };
  std::optional<json> ready;
  for (int i = 0; i < 1200 && !ready; i++) {
    int st = 0;
    if (::waitpid(child, &st, WNOHANG) == child) return exited(st);
    ready = ask(control, {{"op", "status"}});
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!ready) {
    ::kill(child, SIGTERM);
    err << "cowguard serve: the daemon did not answer on " << control << " within 60 s\n";
    return kExitFailed;
  }
  // nbdkit makes its socket with its own mode: only the owner may connect.
  if (!ex.tcp) ::chmod(ex.path.c_str(), 0600);
  out << "cowguard serve: pid " << child << ", kernel line " << ready->value("kernel_line", "") << "\n"
      << device_list((*ready)["devices"]) << "  NBD exports on "
      << (ex.tcp ? "nbd://" + ex.host + ":" + std::to_string(ex.port) + "/NAME"
                 : "nbd+unix:///NAME?socket=" + fs::absolute(ex.path).string())
      << (tls ? " (TLS required)" : "") << "\n  control socket " << control << "\n";
  if (!a.foreground) out << "  log " << log.string() << "\n";
  if (ex.tcp && !tls)
    out << "  note: without TLS every local user who can reach " << ex.host << ":" << ex.port
        << " can read and write the exports\n";
  out << std::flush;
  if (!a.foreground) return kExitOk;
  int st = 0;
  while (::waitpid(child, &st, 0) < 0 && errno == EINTR) {
  }
  g_child = 0;
  if (WIFEXITED(st)) return WEXITSTATUS(st) == 0 ? kExitOk : kExitFailed;
  return kExitFailed;
}

int backup_command(const BackupCmdArgs& a, std::ostream& out, std::ostream& err) {
  if (a.full && a.incremental)
    return client_failure("backup", kExitUsage, "--full and --incremental exclude each other", a.json, out, err);
  if (a.dir.empty())
    return client_failure("backup", kExitUsage, "the backup directory must not be empty", a.json, out, err);
  const std::string socket = socket_or_default(a.socket);
  ControlClient c;
  if (int rc = connect_or_say(c, socket, "backup", a.json, out, err)) return rc;
  json req = {{"op", "backup"},
              {"device", a.device},
              {"dir", fs::absolute(a.dir).lexically_normal().string()},
              {"mode", a.full ? "full" : "incremental"},
              {"all_blocks", a.all_blocks},
              {"new_chain", a.new_chain}};
  if (a.cache) req["cache"] = a.cache;
  if (!c.send(req)) return client_failure("backup", kExitFailed, "the daemon closed the connection", a.json, out, err);
  ProgressBar bar(stderr, a.progress && !a.json);
  const std::string label = "backup of " + a.device;
  std::optional<json> result;
  bool cancelled = false;
  for (;;) {
    bool interrupted = false;
    auto j = c.next(&interrupted);
    if (interrupted) {
      // SIGINT / SIGTERM: the backup is cancelled, and its end awaited.
      if (!cancelled) ask(socket, {{"op", "cancel"}});
      cancelled = true;
      continue;
    }
    if (!j) break;
    if (j->value("event", "") == "progress") {
      bar.update(label, j->value("done", std::uint64_t{0}), j->value("total", std::uint64_t{0}));
      continue;
    }
    if (j->value("event", "") == "started") continue;
    result = *j;
    break;
  }
  bar.clear();
  if (!result)
    return client_failure("backup", kExitFailed, "the daemon closed the connection before the backup ended",
                          a.json, out, err);
  json& r = *result;
  r.erase("event");
  if (!r.value("ok", false)) {
    const int code = r.value("exit_code", kExitFailed);
    err << "cowguard backup: " << r.value("error", std::string("failed")) << "\n";
    if (a.json) {
      r["schema"] = 1;
      r["command"] = "backup";
      out << r.dump(2) << "\n";
    }
    return code;
  }
  if (a.json) {
    r["schema"] = 1;
    r["command"] = "backup";
    out << r.dump(2) << "\n";
    return kExitOk;
  }
  // The demo's table row, and the held client writes.
  std::ostringstream s;
  const json stats = r.value("module_stats", json::object());
  std::ostringstream fz, tp;
  fz << std::fixed << std::setprecision(3) << r.value("frozen_seconds", 0.0) * 1000;
  tp << human_bytes(r.value("throughput_bytes_per_second", 0.0)) << "/s";
  s << a.device << " -> " << r.value("dir", "") << "\n";
  s << std::left << std::setw(6) << "point" << std::setw(13) << "kind" << std::right << std::setw(8) << "blocks"
    << std::setw(8) << "store" << std::setw(8) << "disk" << std::setw(7) << "peak" << std::setw(12) << "written"
    << std::setw(11) << "frozen ms" << std::setw(13) << "throughput" << std::setw(7) << "held" << "\n";
  s << std::left << std::setw(6) << r.value("point", 0) << std::setw(13) << r.value("kind", "") << std::right
    << std::setw(8) << r.value("blocks_taken", 0) << std::setw(8) << r.value("blocks_from_store", 0)
    << std::setw(8) << r.value("blocks_from_disk", 0) << std::setw(7) << stats.value("peak_alloc_cps", 0)
    << std::setw(12) << human_bytes(r.value("bytes_written", 0.0)) << std::setw(11) << fz.str() << std::setw(13)
    << tp.str() << std::setw(7) << r.value("held_writes", 0) << "\n";
  if (r.contains("fallback_reason")) s << "full instead of incremental: " << r.value("fallback_reason", "") << "\n";
  if (r.contains("catalog_note")) s << r.value("catalog_note", "") << "\n";
  if (r.value("all_blocks", false) && r.contains("fs_note")) s << "every block taken: " << r.value("fs_note", "") << "\n";
  out << s.str();
  return kExitOk;
}

int status_command(const std::string& socket_arg, bool as_json, std::ostream& out, std::ostream& err) {
  const std::string socket = socket_or_default(socket_arg);
  ControlClient c;
  if (int rc = connect_or_say(c, socket, "status", as_json, out, err)) return rc;
  std::optional<json> r;
  if (c.send({{"op", "status"}})) r = c.next();
  if (!r || !r->value("ok", false))
    return client_failure("status", kExitFailed, "the daemon gave no status", as_json, out, err);
  if (as_json) {
    (*r)["schema"] = 1;
    (*r)["command"] = "status";
    out << r->dump(2) << "\n";
    return kExitOk;
  }
  std::ostringstream s;
  s << std::fixed << std::setprecision(0);
  s << "daemon pid " << r->value("pid", 0) << ", kernel line " << r->value("kernel_line", "") << ", up "
    << human_seconds(r->value("uptime_seconds", 0.0)) << ", module " << (r->value("module_loaded", false) ? "loaded" : "not loaded")
    << "\n" << device_list((*r)["devices"]);
  s << "backups: " << r->value("backups_ok", 0) << " done, " << r->value("backups_failed", 0) << " failed; "
    << r->value("held_writes", 0) << " client writes held by freezes\n";
  const json& run = (*r)["running"];
  if (run.is_object())
    s << "running: a backup of " << run.value("device", "") << " (asked for: " << run.value("kind", "") << ") into "
      << run.value("dir", "") << ", " << run.value("blocks_done", 0) << " of " << run.value("blocks_wanted", 0)
      << " blocks\n";
  else
    s << "running: nothing\n";
  out << s.str();
  return kExitOk;
}

int stop_command(const std::string& socket_arg, std::ostream& out, std::ostream& err) {
  const std::string socket = socket_or_default(socket_arg);
  ControlClient c;
  if (int rc = connect_or_say(c, socket, "stop", false, out, err)) return rc;
  std::optional<json> st;
  if (c.send({{"op", "status"}})) st = c.next();
  const pid_t pid = st ? st->value("pid", 0) : 0;
  std::optional<json> r;
  if (c.send({{"op", "stop"}})) r = c.next();
  if (!r || !r->value("ok", false)) {
    err << "cowguard stop: the daemon did not take the request\n";
    return kExitFailed;
  }
  // The daemon cancels a running backup, unloads the module and syncs the
  // images before it ends.
  for (int i = 0; pid > 0 && i < 1200; i++) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
      out << "stopped the daemon (pid " << pid << ")\n";
      return kExitOk;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // No pid: the daemon has ended when its control socket no longer answers.
  for (int i = 0; pid <= 0 && i < 1200; i++) {
    if (!ask(socket, {{"op", "status"}})) {
      out << "stopped the daemon\n";
      return kExitOk;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  err << "cowguard stop: the daemon has not ended within 60 s\n";
  return kExitFailed;
}

int make_image_command(const std::string& path, std::uint64_t size, std::uint32_t block_size, std::ostream& out,
                       std::ostream& err) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(path, ec))) {
    err << "cowguard make-image: " << path << " exists; name a new file\n";
    return kExitUsage;
  }
  cowguard::workload::DiskLayout layout;
  std::string why;
  if (!cowguard::workload::make_disk_image(path, size, block_size, &layout, &why)) {
    fs::remove(path, ec);
    err << "cowguard make-image: " << why << "\n";
    return kExitFailed;
  }
  out << path << ": " << human_bytes(static_cast<double>(size)) << ", partition 1 ext4 (" << layout.fs_blocks
      << " blocks of " << block_size << " bytes), partition 2 without a file system\n";
  return kExitOk;
}

}  // namespace cowguard::tool
