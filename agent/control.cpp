#include "control.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>

#include <cstring>
#include <utility>

#include "cgd-names.h"
#include "standin/user.h"

namespace cowguard::agent {

namespace user = standin::user;

namespace {

// What each status means to the agent's callers; the names and meanings
// are the shared tables of cgd-names.h.
struct StatusErrc {
  int code;
  Errc errc;
};

constexpr StatusErrc kStatusErrc[] = {
    {CGD_OK, Errc::unknown_status},
    {CGD_ERR_NOT_READY, Errc::not_ready},
    {CGD_ERR_INVALID, Errc::invalid},
    {CGD_ERR_UNAVAILABLE, Errc::unavailable},
    {CGD_ERR_BAD_COMMAND, Errc::bad_command},
    {CGD_ERR_NO_MEMORY, Errc::no_memory},
    {CGD_ERR_COPY_IN, Errc::copy_in},
    {CGD_ERR_COPY_OUT, Errc::copy_out},
    {CGD_ERR_NO_DEVICE, Errc::no_device},
    {CGD_ERR_BACKUP_OPEN, Errc::backup_open},
    {CGD_ERR_ALREADY_STARTED, Errc::already_started},
    {CGD_ERR_IO, Errc::io},
};

const CgdName* find_status(int status) {
  return cgdFindName(cgdStatusNames, CGD_NAME_COUNT(cgdStatusNames), status);
}

const CgdName* find_state(unsigned state) {
  return cgdFindName(cgdStateNames, CGD_NAME_COUNT(cgdStateNames), state);
}

std::string describe(Errc code, const std::string& command, int status, int err,
                     std::optional<unsigned> state, const std::string& detail) {
  std::string m = command + " failed: ";
  if (code == Errc::system) {
    m += std::strerror(err);
  } else if (code == Errc::key_mismatch) {
    m += "the module refused the snapshot: the presented key is not the tracking session's";
  } else if (const CgdName* s = find_status(status)) {
    m += std::string(s->name) + " (" + std::to_string(status) + "): " + s->meaning;
  } else {
    m += "unknown status " + std::to_string(status);
  }
  if (!detail.empty()) m += "; " + detail;
  if (state) {
    m += "; session state " + std::to_string(*state) + " " + std::string(state_name(*state)) + " (" +
         std::string(state_meaning(*state)) + ")";
  }
  return m;
}

template <typename T>
unsigned long arg_of(T* p) {
  return reinterpret_cast<unsigned long>(p);
}

}  // namespace

std::string_view status_name(int status) {
  const CgdName* s = find_status(status);
  return s ? s->name : "unknown status";
}

std::string_view status_meaning(int status) {
  const CgdName* s = find_status(status);
  return s ? s->meaning : "a status the module does not define";
}

std::string_view state_name(unsigned state) {
  const CgdName* s = find_state(state);
  return s ? s->name : "unknown state";
}

std::string_view state_meaning(unsigned state) {
  const CgdName* s = find_state(state);
  return s ? s->meaning : "a state the module does not define";
}

Errc errc_of_status(int status) {
  for (const auto& e : kStatusErrc)
    if (e.code == status && status != CGD_OK) return e.errc;
  return Errc::unknown_status;
}

std::string_view errc_name(Errc e) {
  switch (e) {
    case Errc::not_ready: return "not_ready";
    case Errc::invalid: return "invalid";
    case Errc::unavailable: return "unavailable";
    case Errc::bad_command: return "bad_command";
    case Errc::no_memory: return "no_memory";
    case Errc::copy_in: return "copy_in";
    case Errc::copy_out: return "copy_out";
    case Errc::no_device: return "no_device";
    case Errc::backup_open: return "backup_open";
    case Errc::already_started: return "already_started";
    case Errc::io: return "io";
    case Errc::unknown_status: return "unknown_status";
    case Errc::system: return "system";
    case Errc::key_mismatch: return "key_mismatch";
  }
  return "unknown";
}

Error::Error(Errc code, std::string command, int status, int sys_errno,
             std::optional<unsigned> state, const std::string& detail)
    : std::runtime_error(describe(code, command, status, sys_errno, state, detail)),
      code_(code),
      command_(std::move(command)),
      status_(status),
      errno_(sys_errno),
      state_(state) {}

std::string key_to_hex(const Key& k) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(k.size() * 2);
  for (std::uint8_t b : k) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::optional<Key> key_from_hex(std::string_view hex) {
  if (hex.size() != CGD_KEY_SIZE * 2) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Key k{};
  for (std::size_t i = 0; i < k.size(); i++) {
    int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    k[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return k;
}

// ---- ControlDevice -------------------------------------------------------------

ControlDevice::ControlDevice(const std::string& path) {
  fd_ = user::open(path.c_str(), O_RDWR);
  if (fd_ < 0) {
    int err = errno;
    std::string detail = "cannot open " + path;
    if (err == CGD_OPEN_ERRNO_NOT_READY) detail += " (the module has not finished loading)";
    if (err == CGD_OPEN_ERRNO_UNAVAILABLE) detail += " (the module is being unloaded)";
    throw Error(Errc::system, "open", 0, err, std::nullopt, detail);
  }
}

ControlDevice::~ControlDevice() { close(); }

ControlDevice::ControlDevice(ControlDevice&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}

ControlDevice& ControlDevice::operator=(ControlDevice&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

void ControlDevice::close() {
  if (fd_ >= 0) user::close(std::exchange(fd_, -1));
}

std::optional<unsigned> ControlDevice::try_state() {
  if (fd_ < 0) return std::nullopt;
  State s{};
  GetState gs{};
  gs.s = &s;
  gs.len = sizeof s;
  if (user::ioctl(fd_, CGD_GET_STATE, arg_of(&gs)) != 0) return std::nullopt;
  return s.state;
}

void ControlDevice::fail(const char* name, int rc, int err) {
  std::optional<unsigned> state = try_state();
  if (rc < 0) throw Error(Errc::system, name, 0, err, state);
  throw Error(errc_of_status(rc), name, rc, 0, state);
}

void ControlDevice::command(const char* name, unsigned long cmd, const void* arg) {
  if (fd_ < 0) throw Error(Errc::system, name, 0, EBADF, std::nullopt, "the control device is closed");
  int rc = user::ioctl(fd_, cmd, reinterpret_cast<unsigned long>(arg));
  if (rc != 0) fail(name, rc, errno);
}

BlockSize ControlDevice::get_block_size(unsigned major, unsigned minor) {
  BlockSize bs{};
  GetBlockSize req{};
  req.major = major;
  req.minor = minor;
  req.bs = &bs;
  req.len = sizeof bs;
  command("CGD_GET_BLOCK_SIZE", CGD_GET_BLOCK_SIZE, &req);
  return bs;
}

void ControlDevice::start_backup(unsigned major, unsigned minor, std::uint32_t total_blocks,
                                 std::uint32_t max_cache_blocks) {
  StartBackup req{};
  req.major = major;
  req.minor = minor;
  req.totalBlocks = total_blocks;
  req.maxCacheBlocks = max_cache_blocks;
  command("CGD_START_BACKUP", CGD_START_BACKUP, &req);
}

void ControlDevice::snapshot(const std::optional<Key>& key) {
  AMSessionKey k{};
  if (key) std::memcpy(k.key, key->data(), CGD_KEY_SIZE);
  SnapShot req{};
  req.amsKey = &k;
  req.len = sizeof k;
  if (fd_ < 0) throw Error(Errc::system, "CGD_SNAPSHOT", 0, EBADF, std::nullopt, "the control device is closed");
  int rc = user::ioctl(fd_, CGD_SNAPSHOT, arg_of(&req));
  int err = errno;
  std::optional<unsigned> state = try_state();
  if (rc == 0 && !(state && *state == CGD_STATE_STARTED)) return;
  // Refused with the session still started: a key that is not the tracking
  // session's is refused so (with or without a status); tell it apart from
  // the other refusals by the session's key.
  if (rc >= 0 && state && *state == CGD_STATE_STARTED) {
    AutoMapState ams{};
    GetAutoMapState greq{};
    greq.ams = &ams;
    greq.len = sizeof ams;
    if (user::ioctl(fd_, CGD_GET_AUTOMAP_STATE, arg_of(&greq)) == 0 && ams.state == CGD_AUTOMAP_IN_SYNC &&
        std::memcmp(ams.amsKey.key, k.key, CGD_KEY_SIZE) != 0)
      throw Error(Errc::key_mismatch, "CGD_SNAPSHOT", rc, 0, state);
  }
  if (rc == 0) throw Error(Errc::unknown_status, "CGD_SNAPSHOT", 0, 0, state, "no snapshot was taken");
  if (rc < 0) throw Error(Errc::system, "CGD_SNAPSHOT", 0, err, state);
  throw Error(errc_of_status(rc), "CGD_SNAPSHOT", rc, 0, state);
}

State ControlDevice::get_state() {
  State s{};
  GetState req{};
  req.s = &s;
  req.len = sizeof s;
  command("CGD_GET_STATE", CGD_GET_STATE, &req);
  return s;
}

AutoMapState ControlDevice::get_automap_state() {
  AutoMapState s{};
  GetAutoMapState req{};
  req.ams = &s;
  req.len = sizeof s;
  command("CGD_GET_AUTOMAP_STATE", CGD_GET_AUTOMAP_STATE, &req);
  return s;
}

void ControlDevice::no_load_from_automap() {
  command("CGD_NO_LOAD_FROM_AUTOMAP", CGD_NO_LOAD_FROM_AUTOMAP, nullptr);
}

void ControlDevice::no_start_automap() {
  command("CGD_NO_START_AUTOMAP", CGD_NO_START_AUTOMAP, nullptr);
}

void ControlDevice::load_block_map(std::span<const std::uint8_t> map, std::uint32_t map_len) {
  if (map.size() < (static_cast<std::size_t>(map_len) + 7) / 8)
    throw std::invalid_argument("load_block_map: the map has fewer bytes than its block count needs");
  UserBlockMap ubm{};
  ubm.map = const_cast<unsigned char*>(map.data());
  ubm.mapLen = map_len;
  LoadBlockMap req{};
  req.bm = &ubm;
  req.len = sizeof ubm;
  command("CGD_LOAD_BLOCK_MAP", CGD_LOAD_BLOCK_MAP, &req);
}

std::optional<std::vector<std::uint8_t>> ControlDevice::get_automap(std::uint32_t map_len) {
  std::vector<std::uint8_t> bytes((static_cast<std::size_t>(map_len) + 7) / 8);
  UserBlockMap ubm{};
  ubm.map = bytes.data();
  ubm.mapLen = map_len;
  GetAutoMap req{};
  req.bm = &ubm;
  req.len = sizeof ubm;
  if (fd_ < 0) throw Error(Errc::system, "CGD_GET_AUTOMAP", 0, EBADF, std::nullopt);
  int rc = user::ioctl(fd_, CGD_GET_AUTOMAP, arg_of(&req));
  if (rc == 0) return bytes;
  int err = errno;
  if (rc == CGD_ERR_INVALID) {
    // Refused in the snapped state: either no map is held or the sizes differ.
    std::optional<unsigned> state = try_state();
    AutoMapState ams{};
    GetAutoMapState greq{};
    greq.ams = &ams;
    greq.len = sizeof ams;
    bool sized = user::ioctl(fd_, CGD_GET_AUTOMAP_STATE, arg_of(&greq)) == 0;
    if (state && *state == CGD_STATE_SNAPPED && sized && ams.mapLen == map_len) return std::nullopt;
    if (state && *state == CGD_STATE_SNAPPED && sized && ams.state == 0 && ams.mapLen == 0)
      return std::nullopt;
  }
  fail("CGD_GET_AUTOMAP", rc, err);
}

std::optional<std::uint32_t> ControlDevice::get_dirty_block() {
  std::uint32_t n = 0;
  DirtyBlock req{};
  req.blockNum = &n;
  command("CGD_GET_DIRTY_BLOCK", CGD_GET_DIRTY_BLOCK, &req);
  if (n == 0xffffffffu) return std::nullopt;
  return n;
}

void ControlDevice::read_blocks(std::uint32_t start, std::uint32_t count, const Window& w) {
  ReadBlocks req{};
  req.startBlockNum = start;
  req.numBlocks = count;
  req.data = const_cast<std::uint8_t*>(w.data());
  command("CGD_READ_BLOCKS", CGD_READ_BLOCKS, &req);
}

void ControlDevice::sync() {
  std::uint32_t unused = 0;
  command("CGD_SYNC", CGD_SYNC, &unused);
}

Stats ControlDevice::get_stats() {
  Stats s{};
  GetStats req{};
  req.stats = &s;
  req.len = sizeof s;
  command("CGD_GET_STATS", CGD_GET_STATS, &req);
  return s;
}

unsigned ControlDevice::version_major() {
  unsigned v = 0;
  command("CGD_GET_VERSION_MAJOR", CGD_GET_VERSION_MAJOR, &v);
  return v;
}

unsigned ControlDevice::version_minor() {
  unsigned v = 0;
  command("CGD_GET_VERSION_MINOR", CGD_GET_VERSION_MINOR, &v);
  return v;
}

void ControlDevice::shutdown() {
  std::uint32_t unused = 0;
  command("CGD_SHUTDOWN", CGD_SHUTDOWN, &unused);
}

// ---- Window ----------------------------------------------------------------------

Window::Window(ControlDevice& dev, std::size_t bytes) {
  void* p = user::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, dev.fd(), 0);
  if (p == MAP_FAILED) {
    int err = errno;
    throw Error(Errc::system, "mmap", 0, err, dev.try_state(),
                "cannot map a transfer window of " + std::to_string(bytes) + " bytes");
  }
  // The kernel hands a driver's positive mmap result back as if it were the
  // mapping's address.  This module refuses with an errno, but a build that
  // answered with its status code would come back here as a small number:
  // no mapping exists then.
  auto addr = reinterpret_cast<std::uintptr_t>(p);
  if (addr < 4096) {
    int status = static_cast<int>(addr);
    throw Error(errc_of_status(status), "mmap", status, 0, dev.try_state(),
                "the module refused a transfer window of " + std::to_string(bytes) + " bytes");
  }
  addr_ = p;
  size_ = bytes;
}

Window::~Window() { release(); }

Window::Window(Window&& o) noexcept
    : addr_(std::exchange(o.addr_, nullptr)), size_(std::exchange(o.size_, 0)) {}

Window& Window::operator=(Window&& o) noexcept {
  if (this != &o) {
    release();
    addr_ = std::exchange(o.addr_, nullptr);
    size_ = std::exchange(o.size_, 0);
  }
  return *this;
}

void Window::release() noexcept {
  if (addr_) user::munmap(std::exchange(addr_, nullptr), std::exchange(size_, 0));
}

}  // namespace cowguard::agent
