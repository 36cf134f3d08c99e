#include "control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "exit_codes.h"
#include "server.h"

namespace cowguard::serve {

using nlohmann::json;

namespace {

json error_reply(const std::string& msg, int code = tool::kExitUsage) {
  return {{"ok", false}, {"error", msg}, {"exit_code", code}};
}

sockaddr_un unix_address(const std::string& path) {
  sockaddr_un a {};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof(a.sun_path)) throw std::runtime_error("the socket path is too long: " + path);
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  return a;
}

// A field of a request, with its type checked.
template <class T>
bool field(const json& req, const char* name, T* out, std::string* err) {
  auto it = req.find(name);
  if (it == req.end()) return true;
  try {
    *out = it->get<T>();
    return true;
  } catch (const json::exception&) {
    *err = std::string("the field '") + name + "' has the wrong type";
    return false;
  }
}

}  // namespace

bool read_line(int fd, std::string& buf, std::string& line, bool* too_long) {
  *too_long = false;
  for (;;) {
    auto nl = buf.find('\n');
    if (nl != std::string::npos) {
      line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (buf.size() > kMaxRequest) {
      *too_long = true;
      return false;
    }
    char chunk[4096];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buf.append(chunk, static_cast<std::size_t>(n));
  }
}

bool send_line(int fd, const json& j) {
  std::string s = j.dump() + "\n";
  std::size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

void ControlSocket::start(const std::string& path) {
  path_ = path;
  sockaddr_un a = unix_address(path);
  // A live daemon answers on it; a stale file from a killed one does not.
  int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(probe);
    if (live) throw std::runtime_error("another daemon answers on " + path);
  }
  ::unlink(path.c_str());
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  mode_t old = ::umask(077);
  int rc = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int e = errno;
  ::umask(old);
  if (rc != 0) throw std::system_error(e, std::generic_category(), "cannot listen on " + path);
  ::chmod(path.c_str(), 0600);
  if (::listen(listen_fd_, 16) != 0) throw std::system_error(errno, std::generic_category(), "listen " + path);
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  acceptor_ = std::thread([this] { accept_loop(); });
}

void ControlSocket::accept_loop() {
  while (!stopping_) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, 1000) < 0 && errno != EINTR) break;
    reap();
    if (p[1].revents) break;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> g(lock_);
    if (stopping_) {
      ::close(fd);
      break;
    }
    conns_.emplace_back();
    Conn* c = &conns_.back();
    c->fd = fd;
    c->thread = std::thread([this, c] { serve(c); });
  }
}

// Joins the threads of connections that have ended.
void ControlSocket::reap() {
  std::list<Conn> ended;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      auto next = std::next(it);
      if (it->done) ended.splice(ended.end(), conns_, it);
      it = next;
    }
  }
  for (auto& c : ended) {
    c.thread.join();
    ::close(c.fd);
  }
}

void ControlSocket::serve(Conn* c) {
  std::string buf, line;
  bool too_long = false;
  bool peer = true;
  while (!stopping_ && read_line(c->fd, buf, line, &too_long)) {
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    json reply = handle(line, [&](const json& j) { peer = peer && send_line(c->fd, j); });
    peer = peer && send_line(c->fd, reply);
  }
  if (too_long)
    send_line(c->fd, error_reply("the request is longer than " + std::to_string(kMaxRequest) + " bytes"));
  ::shutdown(c->fd, SHUT_RDWR);
  c->done = true;
}

json ControlSocket::handle(const std::string& line, const std::function<void(const json&)>& send) {
  json req = json::parse(line, nullptr, false);
  if (req.is_discarded()) return error_reply("malformed request: not a JSON object");
  if (!req.is_object()) return error_reply("malformed request: not a JSON object");
  std::string op, err;
  if (!field(req, "op", &op, &err)) return error_reply(err);
  if (op == "status") {
    json j = server_.status();
    j["ok"] = true;
    return j;
  }
  if (op == "list") return {{"ok", true}, {"devices", server_.list()}};
  if (op == "cancel") {
    bool was = server_.cancel();
    return {{"ok", true}, {"cancelled", was}};
  }
  if (op == "stop") {
    server_.cancel();
    if (on_stop_) on_stop_();
    return {{"ok", true}, {"stopping", true}};
  }
  if (op != "backup")
    return error_reply(op.empty() ? "malformed request: no \"op\"" : "unknown op '" + op + "'");

  BackupRequest r;
  std::string mode = "incremental";
  std::uint64_t cache = 0;
  if (!field(req, "device", &r.device, &err) || !field(req, "dir", &r.dir, &err) ||
      !field(req, "mode", &mode, &err) || !field(req, "all_blocks", &r.all_blocks, &err) ||
      !field(req, "new_chain", &r.new_chain, &err) || !field(req, "cache", &cache, &err))
    return error_reply(err);
  for (auto it = req.begin(); it != req.end(); ++it) {
    static const char* const known[] = {"op", "device", "dir", "mode", "all_blocks", "new_chain", "cache"};
    bool ok = false;
    for (const char* k : known) ok = ok || it.key() == k;
    if (!ok) return error_reply("unknown field '" + it.key() + "' in a backup request");
  }
  if (r.device.empty()) return error_reply("a backup request needs a \"device\"");
  if (mode != "full" && mode != "incremental") return error_reply("mode must be full or incremental, not " + mode);
  if (cache > 0xffffffffu) return error_reply("cache is too large");
  r.incremental = mode == "incremental";
  r.cache_blocks = static_cast<std::uint32_t>(cache);
  send({{"event", "started"}, {"device", r.device}, {"dir", r.dir}, {"mode", mode}});
  auto last = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  json result = server_.backup(r, [&](std::uint64_t done, std::uint64_t total) {
    auto now = std::chrono::steady_clock::now();
    if (done != total && now - last < std::chrono::milliseconds(100)) return;
    last = now;
    send({{"event", "progress"}, {"done", done}, {"total", total}});
  });
  result["event"] = "done";
  return result;
}

void ControlSocket::stop() {
  if (stopping_.exchange(true)) return;
  if (wake_[1] >= 0) {
    char x = 1;
    (void)!::write(wake_[1], &x, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  // Reading ends; a connection that runs a backup (cancelled by now) still
  // sends its result before its thread ends.
  {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& c : conns_) ::shutdown(c.fd, SHUT_RD);
  }
  std::list<Conn> all;
  {
    std::lock_guard<std::mutex> g(lock_);
    all.splice(all.end(), conns_);
  }
  for (auto& c : all) {
    c.thread.join();
    ::close(c.fd);
  }
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(path_.c_str());
  }
  for (int& fd : wake_)
    if (fd >= 0) ::close(fd), fd = -1;
  listen_fd_ = -1;
}

}  // namespace cowguard::serve
