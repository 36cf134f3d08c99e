// The daemon's control socket: a unix socket (0600, in a 0700 directory)
// that speaks one JSON object per line.
//
// Requests: {"op": "status"}, {"op": "list"}, {"op": "cancel"}, {"op": "stop"},
// {"op": "backup", "device": "sda1", "dir": "/abs/path", "mode": "full" |
// "incremental", "all_blocks": bool, "cache": blocks, "new_chain": bool}.
// Every reply is one line; a backup sends {"event": "started"}, then
// {"event": "progress", "done": blocks, "total": blocks} lines, then its
// result with "event": "done".  A reply with "ok": false carries "error" and
// "exit_code".  A malformed, oversized or unknown request gets such a reply
// and the connection goes on (an oversized line closes it): nothing a
// client sends stops the daemon but "stop".
//
// Threads: one accepting, one per connection.  lock_ guards conns_; the
// Server has its own locks and is never called under lock_.
#pragma once
#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace cowguard::serve {

class Server;

// Longest request line accepted.
constexpr std::size_t kMaxRequest = 64 * 1024;

class ControlSocket {
 public:
  // `on_stop` is called (once) when a client asks the daemon to stop.
  ControlSocket(Server& server, std::function<void()> on_stop) : server_(server), on_stop_(std::move(on_stop)) {}
  ~ControlSocket() { stop(); }

  // Listens on path (a stale socket file there is replaced; a live one is
  // an error).  Throws std::system_error / std::runtime_error.
  void start(const std::string& path);
  // Stops accepting, ends every connection and joins the threads.  A backup
  // a connection runs must have been cancelled first (Server::cancel).
  void stop();

  // The reply to one request line (without the streaming of a backup):
  // exposed for tests.  `send` gets every line a backup streams.
  nlohmann::json handle(const std::string& line, const std::function<void(const nlohmann::json&)>& send);

 private:
  struct Conn {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void accept_loop();
  void serve(Conn* c);
  void reap();

  Server& server_;
  std::function<void()> on_stop_;
  std::string path_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};  // a pipe that wakes the accepting thread to stop
  std::thread acceptor_;
  std::mutex lock_;
  std::list<Conn> conns_;
  std::atomic<bool> stopping_{false};
};

// Reads one line (without its newline) from fd into `line`, keeping what
// follows in `buf`.  false at end of input or error; `too_long` is set when
// a line exceeds kMaxRequest.
bool read_line(int fd, std::string& buf, std::string& line, bool* too_long);
// Writes one JSON line; false when the peer is gone.
bool send_line(int fd, const nlohmann::json& j);

}  // namespace cowguard::serve
