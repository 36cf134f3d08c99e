// The typed layer over the cowguard control device: one method per command,
// with typed arguments and results, and the transfer windows as RAII objects.
//
// The agent talks to the module only through the system calls of a user
// program (standin::user::open/ioctl/mmap/...), as it would through libc.
// Every refusal becomes an Error that names the status, says what it means
// and which state the module reports for the session.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cowguard.h"
#include "stats.h"

namespace cowguard::agent {

// The named errors of the control layer.  The first group are the module's
// status codes; the others are failures the module reports another way.
enum class Errc {
  not_ready,        // CGD_ERR_NOT_READY
  invalid,          // CGD_ERR_INVALID
  unavailable,      // CGD_ERR_UNAVAILABLE
  bad_command,      // CGD_ERR_BAD_COMMAND
  no_memory,        // CGD_ERR_NO_MEMORY
  copy_in,          // CGD_ERR_COPY_IN
  copy_out,         // CGD_ERR_COPY_OUT
  no_device,        // CGD_ERR_NO_DEVICE
  backup_open,      // CGD_ERR_BACKUP_OPEN
  already_started,  // CGD_ERR_ALREADY_STARTED
  io,               // CGD_ERR_IO
  unknown_status,   // a positive result the module does not define
  system,           // the call failed with an errno (open, mmap, negative result)
  key_mismatch,     // the snapshot was refused: the presented key is not the session's
};

// Name ("CGD_ERR_INVALID") and meaning of a module status code.
std::string_view status_name(int status);
std::string_view status_meaning(int status);
// Name ("CGD_STATE_READING") and meaning of a session state.
std::string_view state_name(unsigned state);
std::string_view state_meaning(unsigned state);
// The named error of a status code (unknown_status for codes not defined).
Errc errc_of_status(int status);
std::string_view errc_name(Errc e);

class Error : public std::runtime_error {
 public:
  // command: the command or call that failed ("CGD_SNAPSHOT", "open").
  // status: the module's status code (0 for errno failures).
  // sys_errno: the errno of a failed call (0 for module statuses).
  // state: the session state the module reports, when it could be read.
  Error(Errc code, std::string command, int status, int sys_errno, std::optional<unsigned> state,
        const std::string& detail = {});

  Errc code() const { return code_; }
  const std::string& command() const { return command_; }
  int status() const { return status_; }
  int sys_errno() const { return errno_; }
  std::optional<unsigned> state() const { return state_; }

 private:
  Errc code_;
  std::string command_;
  int status_;
  int errno_;
  std::optional<unsigned> state_;
};

using Key = std::array<std::uint8_t, CGD_KEY_SIZE>;
std::string key_to_hex(const Key& k);
// nullopt unless the text is exactly 112 hexadecimal digits.
std::optional<Key> key_from_hex(std::string_view hex);

class Window;

// An open file of the control device.  Closing it (destructor or close())
// ends the backup session the file holds.
class ControlDevice {
 public:
  // Opens the device node; throws Error (system) when the open fails.
  explicit ControlDevice(const std::string& path = CGD_DEVICE_NODE);
  ~ControlDevice();
  ControlDevice(ControlDevice&& o) noexcept;
  ControlDevice& operator=(ControlDevice&& o) noexcept;
  ControlDevice(const ControlDevice&) = delete;
  ControlDevice& operator=(const ControlDevice&) = delete;

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes the file now (the session ends); a closed device stays closed.
  void close();

  BlockSize get_block_size(unsigned major, unsigned minor);
  void start_backup(unsigned major, unsigned minor, std::uint32_t total_blocks,
                    std::uint32_t max_cache_blocks);
  // Takes the snapshot, presenting `key` (none: an all-zero key).  A key
  // that is not the device's tracking session's is refused with the session
  // still started (state 2); this method then throws Error(key_mismatch),
  // whatever status the module gave the refusal.
  void snapshot(const std::optional<Key>& key);
  State get_state();
  AutoMapState get_automap_state();
  void no_load_from_automap();
  void no_start_automap();
  // Loads the wanted-block map: map_len blocks, (map_len + 7) / 8 bytes.
  void load_block_map(std::span<const std::uint8_t> map, std::uint32_t map_len);
  // The changed-block map handed over at the snapshot, of map_len blocks.
  // nullopt when the session is snapped (state 4) but the module holds no
  // map for it (first snapshot, replaced session, already fetched).
  std::optional<std::vector<std::uint8_t>> get_automap(std::uint32_t map_len);
  // A wanted block still held in the store, or nullopt when there is none.
  std::optional<std::uint32_t> get_dirty_block();
  // Reads count blocks from `start` into the window, laid from its start.
  void read_blocks(std::uint32_t start, std::uint32_t count, const Window& w);
  void sync();
  Stats get_stats();
  unsigned version_major();
  unsigned version_minor();
  void shutdown();

  // The session state, or nullopt when the module does not answer.
  std::optional<unsigned> try_state();

 private:
  friend class Window;
  // Runs one command; throws Error with the state on a non-zero result.
  void command(const char* name, unsigned long cmd, const void* arg);
  [[noreturn]] void fail(const char* name, int rc, int err);

  int fd_ = -1;
};

// One transfer window: a read-only private mapping of the device at offset
// 0, unmapped when the object goes.  The session must be started.
class Window {
 public:
  Window() = default;  // no mapping
  Window(ControlDevice& dev, std::size_t bytes);
  ~Window();
  Window(Window&& o) noexcept;
  Window& operator=(Window&& o) noexcept;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(addr_); }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const { return {data(), size_}; }

 private:
  void release() noexcept;
  void* addr_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace cowguard::agent
