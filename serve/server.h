// The daemon's machine: a booted stand-in kernel with one file-backed disk
// per image, the file systems on them mounted, the module loaded, and every
// disk and partition offered as an export whose reads and writes become bios
// on the stand-in's block layer.  Backups of a mounted partition are taken
// on request, one at a time, with the agent.
//
// Two phases, because nbdkit forks after reading its configuration and
// threads must start after that fork: prepare() checks the images and takes
// their locks (no threads); start() attaches, mounts and loads the module.
//
// Locking: backup_lock_ is held for the whole of a backup (one at a time);
// state_lock_ guards running_ and the per-export records of frozen instants
// and ground truth; the write gates have their own.  The order is
// backup_lock_, then state_lock_; nothing is called under state_lock_.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gate.h"
#include "standin/block.h"

namespace cowguard::serve {

struct ServerOptions {
  std::vector<std::string> images;
  std::string module_path;
  // Tests: a copy of each device at every frozen instant goes here.
  std::string truth_dir;
};

// A start that cannot go on: the message and the command's exit code.
class StartError : public std::runtime_error {
 public:
  StartError(int exit_code, const std::string& what) : std::runtime_error(what), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

// One export: a whole disk or one of its partitions.
struct Export {
  std::string name;  // sda, sda1, ...
  standin::block::devnum dev = 0;
  std::size_t disk = 0;     // index of its image
  int partition = 0;        // 0: the whole disk
  SectorRange range;        // its sectors on the whole disk
  bool mounted = false;     // a file system the stand-in knows is mounted on it
  std::string fs_type;      // when mounted
  unsigned long block_size = 0;
  std::string note;         // why it is not mounted, for the listing
};

struct BackupRequest {
  std::string device;
  std::string dir;
  bool incremental = true;
  bool all_blocks = false;
  std::uint32_t cache_blocks = 0;  // 0: the agent's default
  bool new_chain = false;
};

class Server {
 public:
  struct Image;
  // Checks that every image exists, is a regular file
  // and is not served by anyone else (an exclusive lock on it, held until
  // the server is gone), and reads its partition table.  Throws StartError.
  static std::unique_ptr<Server> prepare(const ServerOptions& o);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Attaches the disks, mounts what it can, loads the module and hooks the
  // exports into the freeze.  Throws StartError.
  void start();
  // Cancels a running backup and waits for it, unloads the module,
  // unmounts and detaches the disks (their writes reach the image files).
  // Safe to call more than once.
  void shutdown();

  const std::vector<Export>& exports() const { return exports_; }
  const Export* find(const std::string& name) const;
  // The export a client gets when it names none: the first partition with
  // a file system, else the first export.
  const std::string& default_export() const;

  // I/O of an export: offset and count multiples of 512, inside it.
  // 0 or a negative errno.
  int read(const Export& e, void* buf, std::uint32_t count, std::uint64_t offset);
  int write(const Export& e, const void* buf, std::uint32_t count, std::uint64_t offset);
  // Makes every completed write durable in the image file.
  int flush(const Export& e);

  // A backup, start to end: the result (with "ok", and "exit_code" and
  // "error" when it failed).  Busy when another runs.  `progress` is called
  // with blocks done and wanted.
  nlohmann::json backup(const BackupRequest& r,
                        const std::function<void(std::uint64_t done, std::uint64_t total)>& progress);
  // Asks the running backup to stop (it fails cleanly); false when none runs.
  bool cancel();
  nlohmann::json status() const;
  nlohmann::json list() const;

 private:
  explicit Server(const ServerOptions& o);
  void attach(std::size_t i);
  void hook_freeze(const Export& e);
  void on_frozen_instant(standin::block::devnum dev);

  ServerOptions opts_;
  std::vector<std::unique_ptr<Image>> images_;
  std::vector<Export> exports_;
  std::string default_export_;
  bool module_loaded_ = false;
  std::atomic<bool> shut_down_{false};
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

  std::mutex backup_lock_;
  mutable std::mutex state_lock_;
  struct Running {
    std::string device, dir, kind;
    std::chrono::steady_clock::time_point since;
    std::uint64_t done = 0, total = 0;
  };
  std::optional<Running> running_;
  std::uint64_t backups_ok_ = 0, backups_failed_ = 0;
  std::map<std::string, std::uint64_t> frozen_at_ns_;  // export -> CLOCK_MONOTONIC of its last frozen instant
  std::map<std::string, std::string> truth_;           // export -> its last ground-truth copy
  std::map<std::string, unsigned> truth_count_;
  std::map<std::string, unsigned> backups_of_;         // export -> backups since start
  std::map<std::string, bool> last_failed_;            // export -> its last backup failed once started
};

// CLOCK_MONOTONIC now, in nanoseconds (the clock the frozen instants use).
std::uint64_t monotonic_ns();

}  // namespace cowguard::serve
