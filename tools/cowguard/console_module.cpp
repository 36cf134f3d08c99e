// Console steps for the module: loading, the control device's files and
// windows, and every command by name with its fields, or raw.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "console.h"
#include "names.h"
#include "standin/module.h"
#include "standin/user.h"

namespace cowguard::tool {

namespace blk = standin::block;
namespace user = standin::user;

namespace {

constexpr std::size_t kPage = 4096;

unsigned long addr(const void* p) { return reinterpret_cast<unsigned long>(p); }

// What the module wrote of a record of `size` bytes when the caller
// accepted `len`: "" when all of it.
std::string partial(unsigned len, std::size_t size) {
  if (len >= size) return "";
  return " (only " + std::to_string(len) + " of " + std::to_string(size) + " bytes accepted)";
}

// Blocks set in a bitmap, as ranges: "0-3,17,40-41".  At most `limit` ranges.
std::string ranges(const std::vector<std::uint8_t>& map, std::uint64_t bits, std::size_t limit,
                   std::uint64_t* count) {
  std::string s;
  std::size_t n = 0;
  *count = 0;
  std::uint64_t i = 0;
  while (i < bits) {
    if (!(map[i / 8] >> (i % 8) & 1)) {
      i++;
      continue;
    }
    std::uint64_t j = i;
    while (j + 1 < bits && (map[(j + 1) / 8] >> ((j + 1) % 8) & 1)) j++;
    *count += j - i + 1;
    if (n < limit) {
      s += (s.empty() ? "" : ",") + std::to_string(i) + (j > i ? "-" + std::to_string(j) : "");
    } else if (n == limit) {
      s += ",...";
    }
    n++;
    i = j + 1;
  }
  return s.empty() ? "none" : s;
}

// Copies bytes of this process without touching them directly, so that a
// page that would raise SIGBUS is reported instead.  Bytes copied.
std::size_t safe_copy(const void* from, void* to, std::size_t len) {
  struct iovec local = {to, len}, remote = {const_cast<void*>(from), len};
  ssize_t n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
  return n < 0 ? 0 : static_cast<std::size_t>(n);
}

}  // namespace

Console::Outcome Console::ioctl_step(int fd, unsigned long cmd, void* arg) {
  errno = 0;
  int rc = user::ioctl(fd, cmd, addr(arg));
  return Outcome{true, rc, rc == -1 ? errno : 0, ""};
}

// The device of a command: the DEV word at index i, or major= and minor=.
std::pair<unsigned, unsigned> Console::dev_of(const Fields& f, std::size_t i, blk::devnum def) const {
  blk::devnum d = def;
  if (f.positional().size() > i) d = device(f.positional()[i]);
  unsigned ma = static_cast<unsigned>(uint_field(f, "major", blk::major_of(d)));
  unsigned mi = static_cast<unsigned>(uint_field(f, "minor", blk::minor_of(d)));
  return {ma, mi};
}

// The bitmap length of load-map and get-automap: maplen=, or the blocks
// given at start on the same fd.
unsigned Console::map_len(const Fields& f, int fd) const {
  auto it = blocks_.find(fd);
  if (!f.has("maplen") && it == blocks_.end())
    throw UsageError("give maplen= (no start on this fd to take it from)");
  auto bits = uint_field(f, "maplen", it == blocks_.end() ? 0 : it->second);
  // The map is built in this process: keep it within reason (128 MiB).
  if (bits > (1ull << 30)) throw UsageError("maplen above 2^30 blocks");
  return static_cast<unsigned>(bits);
}

// A command whose argument is a pointer or nothing (arg=PTR).
Console::Outcome Console::send_plain(const Fields& f, unsigned long cmd) {
  int fd = fd_arg(need(f, 0, "FD"));
  return ioctl_step(fd, cmd, ptr_field(f, "arg", nullptr));
}

// A version command: the module writes one int.
Console::Outcome Console::send_version(const Fields& f, unsigned long cmd) {
  int fd = fd_arg(need(f, 0, "FD"));
  int v = -1;
  void* p = ptr_field(f, "arg", &v);
  auto o = ioctl_step(fd, cmd, p);
  if (o.code == 0 && p == &v) out_ << "  value " << v << "\n";
  return o;
}

Console::Outcome Console::step_insmod(const Fields& f) {
  std::string path = f.positional().empty() ? opts_.module_path : f.positional()[0];
  return Outcome{false, standin::modules::insmod(path), 0, ""};
}

Console::Outcome Console::step_rmmod(const Fields& f) {
  const auto& p = f.positional();
  std::string name = "cowguard";
  bool wait = false;
  for (const auto& w : p) {
    if (w == "wait") wait = true;
    else name = w;
  }
  return Outcome{false, standin::modules::rmmod(name, wait), 0, ""};
}

Console::Outcome Console::step_lsmod(const Fields&) {
  out_ << "  cowguard " << (standin::modules::loaded("cowguard") ? "loaded" : "not loaded")
       << " refcount=" << standin::modules::refcount("cowguard") << "\n";
  return Outcome{};
}

Console::Outcome Console::step_open(const Fields& f) {
  std::string path = f.positional().empty() ? CGD_DEVICE_NODE : f.positional()[0];
  std::string fl = f.get("flags").value_or("rw");
  int flags = fl == "r" ? O_RDONLY : fl == "w" ? O_WRONLY : O_RDWR;
  errno = 0;
  int fd = user::open(path.c_str(), flags);
  if (fd < 0) return Outcome{false, -1, errno, ""};
  fds_.insert(fd);
  out_ << "  fd " << fd << "\n";
  return Outcome{};
}

Console::Outcome Console::step_close(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  errno = 0;
  int rc = user::close(fd);
  if (rc == 0) {
    fds_.erase(fd);
    started_.erase(fd);
    blocks_.erase(fd);
  }
  return Outcome{false, rc, rc ? errno : 0, ""};
}

Console::Outcome Console::step_mmap(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  std::size_t len = uint_field(f, "pages", 1) * kPage;
  len = uint_field(f, "len", len);
  std::string prot = f.get("prot").value_or("r");
  std::string fl = f.get("flags").value_or("private");
  off_t off = static_cast<off_t>(uint_field(f, "offset", 0));
  int p = prot == "rw" ? PROT_READ | PROT_WRITE : prot == "w" ? PROT_WRITE : PROT_READ;
  errno = 0;
  void* a = user::mmap(nullptr, len, p, fl == "shared" ? MAP_SHARED : MAP_PRIVATE, fd, off);
  if (a == MAP_FAILED) return Outcome{false, -1, errno, ""};
  std::string id = "w" + std::to_string(next_window_++);
  windows_[id] = Window{fd, a, len};
  out_ << "  window " << id << " fd " << fd << " pages=" << (len + kPage - 1) / kPage << "\n";
  return Outcome{};
}

Console::Outcome Console::step_munmap(const Fields& f) {
  std::string id = need(f, 0, "WINDOW");
  auto& w = window(id);
  errno = 0;
  int rc = user::munmap(w.addr, w.len);
  if (rc == 0) windows_.erase(id);
  return Outcome{false, rc, rc ? errno : 0, ""};
}

Console::Outcome Console::step_windows(const Fields&) {
  for (const auto& [id, w] : windows_)
    out_ << "  window " << id << " fd " << w.fd << " pages=" << (w.len + kPage - 1) / kPage << "\n";
  out_ << "  device mappings: " << user::mappings() << "\n";
  return Outcome{};
}

Console::Outcome Console::step_dump(const Fields& f) {
  auto& w = window(need(f, 0, "WINDOW"));
  std::uint64_t off = f.positional().size() > 1 ? size_arg(f.positional()[1], "OFFSET") : 0;
  std::uint64_t len = f.positional().size() > 2 ? size_arg(f.positional()[2], "LEN") : 64;
  if (off >= w.len) throw UsageError("OFFSET past the window's end");
  len = std::min<std::uint64_t>(len, w.len - off);
  std::vector<std::uint8_t> buf(len);
  std::size_t got = safe_copy(static_cast<char*>(w.addr) + off, buf.data(), len);
  hexdump(buf.data(), got, off);
  if (got < len) {
    out_ << "  SIGBUS at offset " << off + got << "\n";
    return Outcome{false, -1, 0, "SIGBUS"};
  }
  return Outcome{};
}

Console::Outcome Console::step_fault_page(const Fields& f) {
  auto& w = window(need(f, 0, "WINDOW"));
  std::uint64_t page = f.positional().size() > 1 ? uint_arg(f.positional()[1], "PAGE") : 0;
  if (page * kPage >= w.len) throw UsageError("PAGE past the window's end");
  errno = 0;
  int rc = user::fault(static_cast<char*>(w.addr) + page * kPage);
  if (rc == SIGBUS) return Outcome{false, rc, 0, "SIGBUS"};
  return Outcome{false, rc, rc == -1 ? errno : 0, ""};
}

Console::Outcome Console::step_get_block_size(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  if (f.positional().size() < 2 && !f.has("major")) throw UsageError("missing DEV");
  auto [ma, mi] = dev_of(f, 1, 0);
  BlockSize bs{};
  GetBlockSize g{ma, mi, &bs, static_cast<unsigned>(uint_field(f, "len", sizeof bs))};
  g.bs = static_cast<BlockSize*>(ptr_field(f, "bs", &bs));
  auto o = ioctl_step(fd, CGD_GET_BLOCK_SIZE, &g);
  if (o.code == 0 && g.bs == &bs && g.len) out_ << "  " << format(bs) << partial(g.len, sizeof bs) << "\n";
  return o;
}

Console::Outcome Console::step_start(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  if (f.positional().size() < 2 && !f.has("major")) throw UsageError("missing DEV");
  auto [ma, mi] = dev_of(f, 1, 0);
  blk::devnum dev = blk::mkdev(ma, mi);
  blk::FsInfo info;
  std::uint64_t bs = blk::fs_info(dev, &info) && info.block_size ? info.block_size : 4096;
  std::uint64_t def = blk::device_sectors(dev) * 512 / bs;
  StartBackup s{ma, mi, static_cast<unsigned>(uint_field(f, "blocks", def)), 0};
  s.maxCacheBlocks = static_cast<unsigned>(uint_field(f, "cache", s.totalBlocks));
  auto o = ioctl_step(fd, CGD_START_BACKUP, &s);
  if (o.code == 0) {
    started_[fd] = dev;
    blocks_[fd] = s.totalBlocks;
  }
  out_ << "  StartBackup major=" << ma << " minor=" << mi << " totalBlocks=" << s.totalBlocks
       << " maxCacheBlocks=" << s.maxCacheBlocks << "\n";
  return o;
}

Console::Outcome Console::step_snapshot(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  AMSessionKey key{};
  std::string k = f.get("key").value_or("last");
  unsigned len = 0;
  void* p = nullptr;
  if (k == "last") {
    auto s = started_.find(fd);
    auto it = s == started_.end() ? keys_.end() : keys_.find(s->second);
    if (it != keys_.end()) {
      key = it->second;
      len = CGD_KEY_SIZE;
      p = &key;
    }
  } else if (k != "none") {
    auto bytes = parse_hex(k);
    if (!bytes || bytes->size() > sizeof key.key) throw UsageError("key must be up to 56 hex bytes");
    std::copy(bytes->begin(), bytes->end(), key.key);
    len = static_cast<unsigned>(bytes->size());
    p = &key;
  }
  SnapShot s{static_cast<AMSessionKey*>(ptr_field(f, "amskey", p)),
             static_cast<unsigned>(uint_field(f, "len", len))};
  out_ << "  SnapShot key=" << (s.amsKey == &key ? to_hex(key.key, 8) + "..." : "none")
       << " len=" << s.len << "\n";
  return ioctl_step(fd, CGD_SNAPSHOT, &s);
}

Console::Outcome Console::step_get_state(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  State st{};
  GetState g{&st, static_cast<unsigned>(uint_field(f, "len", sizeof st))};
  g.s = static_cast<State*>(ptr_field(f, "s", &st));
  auto o = ioctl_step(fd, CGD_GET_STATE, &g);
  if (o.code == 0 && g.s == &st && g.len) out_ << "  " << format(st) << partial(g.len, sizeof st) << "\n";
  return o;
}

Console::Outcome Console::step_get_automap_state(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  AutoMapState st{};
  GetAutoMapState g{&st, static_cast<unsigned>(uint_field(f, "len", sizeof st))};
  g.ams = static_cast<AutoMapState*>(ptr_field(f, "ams", &st));
  auto o = ioctl_step(fd, CGD_GET_AUTOMAP_STATE, &g);
  if (o.code == 0 && g.ams == &st && g.len) {
    out_ << "  " << format(st) << partial(g.len, sizeof st) << "\n";
    if (g.len >= sizeof st && (st.major || st.minor))
      keys_[blk::mkdev(st.major, st.minor)] = st.amsKey;
  }
  return o;
}

Console::Outcome Console::step_load_map(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  unsigned bits = map_len(f, fd);
  std::vector<std::uint8_t> map((bits + 7) / 8 + 1, 0);
  std::string range_list = f.get("blocks").value_or("all");
  auto set = [&](std::uint64_t b) {
    if (b >= bits) throw UsageError("block " + std::to_string(b) + " is past maplen");
    map[b / 8] = static_cast<std::uint8_t>(map[b / 8] | 1u << (b % 8));
  };
  if (range_list == "all") {
    std::fill(map.begin(), map.begin() + bits / 8, 0xff);
    for (std::uint64_t b = bits / 8 * 8; b < bits; b++) set(b);
  } else if (range_list != "none") {
    std::size_t pos = 0;
    while (pos <= range_list.size()) {
      auto comma = range_list.find(',', pos);
      std::string part = range_list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
      auto dash = part.find('-');
      auto a = uint_arg(part.substr(0, dash), "block");
      auto b = dash == std::string::npos ? a : uint_arg(part.substr(dash + 1), "block");
      for (auto x = a; x <= b; x++) set(x);
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
  }
  UserBlockMap ubm{map.data(), bits};
  ubm.map = static_cast<unsigned char*>(ptr_field(f, "map", map.data()));
  LoadBlockMap l{&ubm, static_cast<unsigned>(uint_field(f, "len", sizeof ubm))};
  l.bm = static_cast<UserBlockMap*>(ptr_field(f, "bm", &ubm));
  std::uint64_t n = 0;
  std::string r = ranges(map, bits, 8, &n);
  out_ << "  UserBlockMap mapLen=" << bits << " wanted=" << n << " (" << r << ")\n";
  return ioctl_step(fd, CGD_LOAD_BLOCK_MAP, &l);
}

Console::Outcome Console::step_get_automap(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  unsigned bits = map_len(f, fd);
  std::vector<std::uint8_t> map((bits + 7) / 8 + kPage, 0);
  UserBlockMap ubm{map.data(), bits};
  ubm.map = static_cast<unsigned char*>(ptr_field(f, "map", map.data()));
  GetAutoMap g{&ubm, static_cast<unsigned>(uint_field(f, "len", sizeof ubm))};
  g.bm = static_cast<UserBlockMap*>(ptr_field(f, "bm", &ubm));
  auto o = ioctl_step(fd, CGD_GET_AUTOMAP, &g);
  if (o.code == 0 && ubm.map == map.data()) {
    std::uint64_t n = 0;
    std::string r = ranges(map, bits, 16, &n);
    out_ << "  changed blocks=" << n << " (" << r << ")\n";
  }
  return o;
}

Console::Outcome Console::step_get_dirty_block(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  unsigned block = 0;
  DirtyBlock d{static_cast<unsigned*>(ptr_field(f, "blocknum", &block))};
  auto o = ioctl_step(fd, CGD_GET_DIRTY_BLOCK, &d);
  if (o.code == 0 && d.blockNum == &block)
    out_ << "  block " << block << (block == 0xffffffffu ? " (none held)" : "") << "\n";
  return o;
}

Console::Outcome Console::step_read_blocks(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  ReadBlocks r{static_cast<unsigned>(uint_arg(need(f, 1, "START"), "START")),
               static_cast<unsigned>(uint_arg(need(f, 2, "COUNT"), "COUNT")), nullptr};
  if (auto w = f.get("window")) {
    r.data = window(*w).addr;
  } else if (Window* w = window_of(fd)) {
    r.data = w->addr;
  }
  r.data = ptr_field(f, "data", r.data);
  if (!r.data && !f.has("data")) throw UsageError("no window mapped on fd " + std::to_string(fd));
  return ioctl_step(fd, CGD_READ_BLOCKS, &r);
}

Console::Outcome Console::step_get_stats(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  Stats st{};
  GetStats g{&st, static_cast<unsigned>(uint_field(f, "len", sizeof st))};
  g.stats = static_cast<Stats*>(ptr_field(f, "stats", &st));
  auto o = ioctl_step(fd, CGD_GET_STATS, &g);
  if (o.code == 0 && g.stats == &st && g.len) {
    if (g.len < sizeof st) out_ << " " << partial(g.len, sizeof st) << "\n";
    out_ << format(st, "  ");
  }
  return o;
}

Console::Outcome Console::step_ioctl(const Fields& f) {
  int fd = fd_arg(need(f, 0, "FD"));
  std::string c = need(f, 1, "CMD");
  unsigned long cmd = 0;
  if (auto v = parse_uint(c)) {
    cmd = *v;
  } else {
    bool found = false;
    for (unsigned long n : {CGD_GET_BLOCK_SIZE, CGD_START_BACKUP, CGD_SNAPSHOT, CGD_GET_STATE,
                            CGD_GET_AUTOMAP_STATE, CGD_NO_LOAD_FROM_AUTOMAP, CGD_NO_START_AUTOMAP,
                            CGD_LOAD_BLOCK_MAP, CGD_GET_AUTOMAP, CGD_GET_DIRTY_BLOCK,
                            CGD_READ_BLOCKS, CGD_GET_VERSION_MAJOR, CGD_GET_VERSION_MINOR,
                            CGD_SYNC, CGD_SHUTDOWN, CGD_CMD_16, CGD_GET_STATS})
      if (command_name(n) == c) {
        cmd = n;
        found = true;
      }
    if (!found) throw UsageError("bad command number '" + c + "'");
  }
  std::vector<std::uint8_t> buf;
  if (auto b = f.get("bytes")) {
    auto v = parse_hex(*b);
    if (!v) throw UsageError("bytes= must be hex");
    buf = *v;
  }
  std::size_t len = uint_field(f, "len", std::max<std::size_t>(buf.size(), (cmd >> 16) & 0x3fff));
  if (len > 1 << 20) throw UsageError("len too large");
  buf.resize(len);
  void* arg = buf.empty() ? nullptr : buf.data();
  if (auto a = f.get("arg")) {
    Fields one(std::vector<std::string>{"arg=" + *a});
    arg = ptr_field(one, "arg", arg);
  }
  std::string n = command_name(cmd);
  char num[32];
  std::snprintf(num, sizeof num, "0x%lx", cmd);
  out_ << "  ioctl " << num << (n.empty() ? "" : " (" + n + ")") << " len=" << len << "\n";
  auto o = ioctl_step(fd, cmd, arg);
  if (!buf.empty() && arg == buf.data()) out_ << "  bytes " << to_hex(buf.data(), buf.size()) << "\n";
  return o;
}

Console::Outcome Console::step_no_load_automap(const Fields& f) { return send_plain(f, CGD_NO_LOAD_FROM_AUTOMAP); }
Console::Outcome Console::step_no_start_automap(const Fields& f) { return send_plain(f, CGD_NO_START_AUTOMAP); }
Console::Outcome Console::step_sync(const Fields& f) { return send_plain(f, CGD_SYNC); }
Console::Outcome Console::step_shutdown(const Fields& f) { return send_plain(f, CGD_SHUTDOWN); }
Console::Outcome Console::step_cmd16(const Fields& f) { return send_plain(f, CGD_CMD_16); }
Console::Outcome Console::step_version_major(const Fields& f) { return send_version(f, CGD_GET_VERSION_MAJOR); }
Console::Outcome Console::step_version_minor(const Fields& f) { return send_version(f, CGD_GET_VERSION_MINOR); }


}  // namespace cowguard::tool
