// Coverage-guided fuzzer of cowguard's control device (libFuzzer).
//
// Each input is a program of at most kMaxOps operations decoded from its
// bytes (the format is below, and tools/fuzz/make_corpus.py writes seeds in
// it): opens and closes of "/dev/cowguard" on four descriptor slots, ioctls
// with any command number (mostly the real ones) and records laid out field
// by field, whose pointers are valid, null, unmapped, read-only, out of the
// user range, straddle the end of a readable or writable page, or point into
// a transfer window; mmap and munmap of the device with odd lengths, offsets
// and protections; faults on window pages; reads and writes of the protected
// partitions through the block layer and the mounted file system; and fault
// injection (the nth call of a site fails).
//
// Module lifetime.  The module is loaded once, in LLVMFuzzerInitialize, and
// stays loaded for the whole run: an unload dlcloses cowguard.ko, which
// would unmap the coverage counters and PC tables that the module registered
// with libFuzzer at load, and libFuzzer reads them after every input.
// Instead every input ends by bringing the module back to idle through its
// own interfaces: fault injection off, every mapping unmapped (the windows'
// pages go back), every descriptor closed (each close tears its backup
// session down and stops kbackupd), and the shutdown command on a fresh
// descriptor, which closes every changed-block tracking session the input
// started and hands the hooked request queue back.  Then the kernel threads
// must have ended and the stand-in's accounting (every kind of
// standin::mem::Usage: kmalloc, vmalloc, pages, slab objects and caches,
// buffer heads, bios, bdev references, threads, mappings) must equal the
// baseline taken after the load, the module's reference count must be 0,
// the disk's queue must have its own make-request function again and no
// file system may stay frozen.  At exit (atexit, after libFuzzer's last
// input) the module is unloaded and the whole stand-in is checked against
// the accounting taken before the load: a leak that only an unload would
// reveal is caught there.  Any violation aborts with a message, which
// libFuzzer records as a crash with the input that caused it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin/block.h"
#include "standin/fault.h"
#include "standin/lockcheck.h"
#include "standin/log.h"
#include "standin/memory.h"
#include "standin/module.h"
#include "standin/task.h"
#include "standin/user.h"

#include <linux/blkdev.h>

#include "cgd-names.h"
#include "cowguard.h"
#include "stats.h"

namespace {

namespace blk = standin::block;
namespace user = standin::user;
namespace mem = standin::mem;
namespace fault = standin::fault;

constexpr int kMaxOps = 48;
constexpr int kSlots = 4;
constexpr std::size_t kPage = 4096;

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "\n==cowguard-fuzz== INVARIANT VIOLATED: %s\n%s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// ---- the disk ------------------------------------------------------------------
// A RAM disk with two partitions, both carrying the test file system,
// mounted: partition 1 with 1 KiB blocks, partition 2 with 4 KiB blocks.
constexpr std::uint64_t kPart1Start = 2048, kPart1Sectors = 2048;
constexpr std::uint64_t kPart2Start = 4096, kPart2Sectors = 8192;
constexpr std::uint64_t kDiskSectors = kPart2Start + kPart2Sectors;
// CG_FUZZ_BLOCK_SIZE=N mounts partition 1 with N-byte blocks instead (any
// value the test file system takes: above a page, not a power of two).
std::uint32_t kBlockSize[2] = {1024, 4096};

struct World {
  std::unique_ptr<blk::Disk> disk;
  blk::devnum part[2] = {0, 0};
  ::make_request_fn* realMRF = nullptr;
  mem::Usage beforeLoad;  // the stand-in before the module was loaded
  mem::Usage idle;        // the module loaded and idle
  // User memory: kArenaPages pages of one memfd mapped twice, once with
  // the protections below (handed to the module) and once read-write
  // (the fuzzer's own view, to lay records out on any page).
  unsigned char* arena = nullptr;
  unsigned char* alias = nullptr;
  bool ready = false;
};
World* W = nullptr;

// Arena pages: 0-2 read-write, 3 read-only, 4 inaccessible, 5 read-write,
// 6 inaccessible, 7 read-only.
constexpr int kArenaPages = 8;
constexpr int kArenaProt[kArenaPages] = {PROT_READ | PROT_WRITE, PROT_READ | PROT_WRITE,
                                         PROT_READ | PROT_WRITE, PROT_READ,
                                         PROT_NONE,              PROT_READ | PROT_WRITE,
                                         PROT_NONE,              PROT_READ};
// Where the records of one ioctl go in the read-write pages 0-2.
constexpr std::size_t kRecordOff = 0x000;   // the command's record
constexpr std::size_t kNestedOff = 0x200;   // a record it points to
constexpr std::size_t kBitmapOff = 0x800;   // bitmaps, up to the end of page 2
constexpr std::size_t kBitmapRoom = 3 * kPage - kBitmapOff;

// ---- the input -------------------------------------------------------------------

class Input {
 public:
  Input(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
  bool empty() const { return i_ >= n_; }
  std::uint8_t u8() { return i_ < n_ ? d_[i_++] : 0; }
  std::uint16_t u16() { return std::uint16_t(u8() | (u8() << 8)); }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; k++) v |= std::uint32_t(u8()) << (8 * k);
    return v;
  }
  void bytes(void* out, std::size_t n) {
    auto* o = static_cast<std::uint8_t*>(out);
    for (std::size_t k = 0; k < n; k++) o[k] = u8();
  }

 private:
  const std::uint8_t* d_;
  std::size_t n_;
  std::size_t i_ = 0;
};

// ---- the program's state ---------------------------------------------------------

struct Mapping {
  void* addr;
  std::size_t len;
};

struct Program {
  int fd[kSlots] = {-1, -1, -1, -1};
  std::vector<Mapping> maps;
  AMSessionKey lastKey = {};  // the key GET_AUTOMAP_STATE last returned
  unsigned op = 0;
  std::string trace;          // what ran, for the report of a violation
};

bool IsOpen(const Program& p, int fd) {
  if (fd < 0) return false;
  for (int f : p.fd)
    if (f == fd) return true;
  return false;
}

void Note(Program& p, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Note(Program& p, const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  p.trace += "  #" + std::to_string(p.op) + " " + buf + "\n";
}

// ---- user addresses ----------------------------------------------------------------

// Stores bytes at a user address the fuzzer laid out: through the
// read-write alias where the address lies in the arena (whatever its
// protection); addresses elsewhere (windows, unmapped, kernel) get nothing.
void Store(std::uintptr_t addr, const void* src, std::size_t n) {
  auto a = reinterpret_cast<std::uintptr_t>(W->arena);
  const auto* s = static_cast<const std::uint8_t*>(src);
  for (std::size_t k = 0; k < n; k++) {
    std::uintptr_t x = addr + k;
    if (x >= a && x < a + kArenaPages * kPage) W->alias[x - a] = s[k];
  }
}

// Reads back what the module wrote at a read-write arena address.
bool Load(std::uintptr_t addr, void* dst, std::size_t n) {
  auto a = reinterpret_cast<std::uintptr_t>(W->arena);
  if (addr < a || addr + n > a + 3 * kPage) return false;
  std::memcpy(dst, W->alias + (addr - a), n);
  return true;
}

bool Writable(std::uintptr_t addr, std::size_t n) {
  auto a = reinterpret_cast<std::uintptr_t>(W->arena);
  return addr >= a && addr + n <= a + 3 * kPage;
}

// Picks the user address of an object of `size` bytes whose valid home is
// arena offset `home`.
std::uintptr_t Place(Input& in, Program& p, std::size_t home, std::size_t size) {
  auto a = reinterpret_cast<std::uintptr_t>(W->arena);
  std::uint8_t k = in.u8();
  std::size_t half = size / 2 ? size / 2 : 1;
  switch (k % 12) {
    default:  // 0-2: where it belongs, read-write
      return a + home;
    case 3:
      return 0;
    case 4:  // an inaccessible page
      return a + 4 * kPage + (k >> 4) * 8;
    case 5:  // a read-only page
      return a + 3 * kPage + (k >> 4) * 8;
    case 6:  // read-write running into read-only
      return a + 3 * kPage - half;
    case 7:  // read-only running into inaccessible
      return a + 4 * kPage - half;
    case 8:  // read-write running into inaccessible
      return a + 6 * kPage - half;
    case 9:  // never mapped: below the lowest address a process may map
      return 0x1000 + (k >> 4);
    case 10:  // beyond the user range: a kernel address, or the range's very end
      return (k & 0x10) ? std::uintptr_t{0xffff880000001000} : (std::uintptr_t{1} << 47) - (k >> 5);
    case 11: {  // a transfer window (read-only device memory), at its start or inside
      if (p.maps.empty()) return a + home;
      const Mapping& m = p.maps[(k >> 4) % p.maps.size()];
      return reinterpret_cast<std::uintptr_t>(m.addr) + ((k & 0x80) ? 8 : 0);
    }
  }
}

std::string Hex(std::uintptr_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "%#lx", static_cast<unsigned long>(v));
  return b;
}

// ---- devices ------------------------------------------------------------------------

struct Dev {
  unsigned major, minor;
  std::uint32_t blocks;  // file-system blocks when it is a mounted partition
};

Dev PickDev(Input& in) {
  std::uint8_t s = in.u8();
  switch (s % 8) {
    case 0:
    case 1:
    case 2: {
      int i = s % 8 == 2 ? 1 : (s % 8);
      blk::devnum d = W->part[i];
      return {blk::major_of(d), blk::minor_of(d),
              std::uint32_t(blk::device_sectors(d) * 512 / kBlockSize[i])};
    }
    case 3: {  // the whole disk: nothing mounted on it
      blk::devnum d = W->disk->dev();
      return {blk::major_of(d), blk::minor_of(d), std::uint32_t(blk::device_sectors(d))};
    }
    case 4:  // a partition number the disk does not have
      return {blk::major_of(W->disk->dev()), blk::minor_of(W->disk->dev()) + 7, 100};
    case 5:  // no such major
      return {3, 0, 100};
    case 6: {  // a minor above what a 20-bit minor holds (the module does not mask it)
      blk::devnum d = W->part[1];
      return {blk::major_of(d), blk::minor_of(d) | 0x100000u | (std::uint32_t(in.u8()) << 21), 1};
    }
    default:
      return {in.u8(), in.u8(), in.u16()};
  }
}

std::uint32_t PickCount(Input& in, std::uint32_t right) {
  std::uint8_t s = in.u8();
  switch (s % 8) {
    case 0:
    case 1:
    case 2:
      return right;
    case 3:
      return 0;
    case 4:
      return right ? right - 1 : 0;
    case 5:
      return right + 1 + (s >> 3);
    case 6:
      return s >> 3;
    default:
      return in.u32();
  }
}

// ---- commands -----------------------------------------------------------------------

constexpr unsigned kCommands[] = {
    CGD_GET_BLOCK_SIZE, CGD_START_BACKUP,     CGD_SNAPSHOT,          CGD_GET_STATE,
    CGD_GET_AUTOMAP_STATE, CGD_NO_LOAD_FROM_AUTOMAP, CGD_NO_START_AUTOMAP, CGD_LOAD_BLOCK_MAP,
    CGD_GET_AUTOMAP,    CGD_GET_DIRTY_BLOCK,  CGD_READ_BLOCKS,       CGD_GET_VERSION_MAJOR,
    CGD_GET_VERSION_MINOR, CGD_SYNC,          CGD_SHUTDOWN,          CGD_CMD_16,
    CGD_GET_STATS};
constexpr unsigned kNumCommands = sizeof(kCommands) / sizeof(kCommands[0]);

// The statuses and states the shared name tables document.
bool DocumentedStatus(int r) {
  return cgdFindName(cgdStatusNames, CGD_NAME_COUNT(cgdStatusNames), r) != nullptr;
}

bool DocumentedState(unsigned s) {
  return cgdFindName(cgdStateNames, CGD_NAME_COUNT(cgdStateNames), s) != nullptr;
}

// A user block map record and the bitmap it points to.
std::uintptr_t LayOutUserBlockMap(Input& in, Program& p, bool fillBits, std::uint32_t* lenOut) {
  std::uintptr_t ubmAt = Place(in, p, kNestedOff, sizeof(UserBlockMap));
  std::uint32_t blocks = 1024;  // both partitions have 1024 blocks (at the default sizes)
  std::uint32_t mapLen = PickCount(in, blocks);
  std::size_t bytes = (std::size_t(mapLen) + 7) / 8;
  std::uintptr_t mapAt = Place(in, p, kBitmapOff, bytes < kBitmapRoom ? bytes : kBitmapRoom);
  if (fillBits) {
    std::uint8_t how = in.u8();
    std::size_t n = bytes < kBitmapRoom ? bytes : kBitmapRoom;
    std::vector<std::uint8_t> bits(n);
    for (std::size_t k = 0; k < n; k++) {
      switch (how % 4) {
        case 0: bits[k] = 0xff; break;
        case 1: bits[k] = 0; break;
        case 2: bits[k] = std::uint8_t(how * (k + 1)); break;
        default: bits[k] = k < 16 ? in.u8() : 0; break;
      }
    }
    Store(mapAt, bits.data(), n);
  }
  UserBlockMap ubm = {reinterpret_cast<unsigned char*>(mapAt), mapLen};
  Store(ubmAt, &ubm, sizeof ubm);
  *lenOut = mapLen;
  return ubmAt;
}

// Lays out the record of cmd and returns the ioctl argument.
unsigned long LayOut(Input& in, Program& p, unsigned cmd, std::uintptr_t* outRec) {
  *outRec = 0;
  switch (cmd) {
    case CGD_GET_BLOCK_SIZE: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(GetBlockSize));
      Dev d = PickDev(in);
      std::uintptr_t bs = Place(in, p, kNestedOff, sizeof(BlockSize));
      GetBlockSize g = {d.major, d.minor, reinterpret_cast<BlockSize*>(bs),
                        PickCount(in, sizeof(BlockSize))};
      Store(rec, &g, sizeof g);
      *outRec = bs;
      return rec;
    }
    case CGD_START_BACKUP: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(StartBackup));
      Dev d = PickDev(in);
      // The start allocates the whole cache map for the blocks the agent names:
      // kept below 4 Mi blocks (512 KiB of map) so that inputs stay small.
      std::uint32_t total = PickCount(in, d.blocks) % (1u << 22);
      StartBackup sb = {d.major, d.minor, total, PickCount(in, 16)};
      Store(rec, &sb, sizeof sb);
      return rec;
    }
    case CGD_SNAPSHOT: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(SnapShot));
      std::uintptr_t key = Place(in, p, kNestedOff, sizeof(AMSessionKey));
      AMSessionKey k = {};
      std::uint8_t src = in.u8();
      if (src % 3 == 1) k = p.lastKey;
      if (src % 3 == 2) in.bytes(&k, 8);
      Store(key, &k, sizeof k);
      SnapShot ss = {reinterpret_cast<AMSessionKey*>(key), PickCount(in, CGD_KEY_SIZE)};
      Store(rec, &ss, sizeof ss);
      return rec;
    }
    case CGD_GET_STATE: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(GetState));
      std::uintptr_t s = Place(in, p, kNestedOff, sizeof(State));
      GetState g = {reinterpret_cast<State*>(s), PickCount(in, sizeof(State))};
      Store(rec, &g, sizeof g);
      *outRec = s;
      return rec;
    }
    case CGD_GET_AUTOMAP_STATE: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(GetAutoMapState));
      std::uintptr_t s = Place(in, p, kNestedOff, sizeof(AutoMapState));
      GetAutoMapState g = {reinterpret_cast<AutoMapState*>(s), PickCount(in, sizeof(AutoMapState))};
      Store(rec, &g, sizeof g);
      *outRec = s;
      return rec;
    }
    case CGD_LOAD_BLOCK_MAP:
    case CGD_GET_AUTOMAP: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(LoadBlockMap));
      std::uint32_t mapLen;
      std::uintptr_t ubm = LayOutUserBlockMap(in, p, cmd == CGD_LOAD_BLOCK_MAP, &mapLen);
      LoadBlockMap l = {reinterpret_cast<UserBlockMap*>(ubm), in.u8()};
      Store(rec, &l, sizeof l);
      return rec;
    }
    case CGD_GET_DIRTY_BLOCK: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(DirtyBlock));
      std::uintptr_t out = Place(in, p, kNestedOff, 4);
      DirtyBlock db = {reinterpret_cast<unsigned*>(out)};
      Store(rec, &db, sizeof db);
      *outRec = out;
      return rec;
    }
    case CGD_READ_BLOCKS: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(ReadBlocks));
      std::uint16_t start = in.u16();
      std::uint8_t n = in.u8();
      // The window: mostly the start of one of the program's mappings.
      std::uint8_t w = in.u8();
      std::uintptr_t data = Place(in, p, kBitmapOff, kPage);
      if (w < 0xc0 && !p.maps.empty())
        data = reinterpret_cast<std::uintptr_t>(p.maps[w % p.maps.size()].addr);
      ReadBlocks rb = {std::uint32_t(start % 2048), std::uint32_t(n == 0xff ? in.u32() : n), reinterpret_cast<void*>(data)};
      Store(rec, &rb, sizeof rb);
      return rec;
    }
    case CGD_GET_VERSION_MAJOR:
    case CGD_GET_VERSION_MINOR: {
      std::uintptr_t out = Place(in, p, kRecordOff, 4);
      *outRec = out;
      return out;
    }
    case CGD_GET_STATS: {
      std::uintptr_t rec = Place(in, p, kRecordOff, sizeof(GetStats));
      std::uintptr_t s = Place(in, p, kNestedOff, sizeof(Stats));
      GetStats g = {reinterpret_cast<Stats*>(s), PickCount(in, sizeof(Stats))};
      Store(rec, &g, sizeof g);
      *outRec = s;
      return rec;
    }
    case CGD_NO_LOAD_FROM_AUTOMAP:
    case CGD_NO_START_AUTOMAP:
    case CGD_SYNC:
    case CGD_SHUTDOWN:
    case CGD_CMD_16:  // no record: the argument is any address
      return Place(in, p, kRecordOff, 4);
    default: {  // a number the module does not know: a record of raw bytes
      std::uintptr_t rec = Place(in, p, kRecordOff, 24);
      std::uint8_t raw[24];
      in.bytes(raw, sizeof raw);
      Store(rec, raw, sizeof raw);
      return rec;
    }
  }
}

// Whether the block number of the DirtyBlock record at arg points to memory
// the module can write.  The record is read as the module reads it: from
// the arena when it lies there (whatever the page's protection); a record
// elsewhere (in a window, say) holds whatever is there, so its pointer is
// not known and counts as not writable.
bool DirtyOutWritable(std::uintptr_t arg) {
  auto a = reinterpret_cast<std::uintptr_t>(W->arena);
  if (arg < a || arg + sizeof(DirtyBlock) > a + kArenaPages * kPage) return false;
  DirtyBlock db;
  std::memcpy(&db, W->alias + (arg - a), sizeof db);
  return Writable(reinterpret_cast<std::uintptr_t>(db.blockNum), 4);
}

void OpIoctl(Input& in, Program& p) {
  std::uint8_t s = in.u8();
  int fd = s < 0xf0 ? p.fd[s % kSlots] : (s & 1 ? 1000 : -1);
  std::uint8_t c = in.u8();
  unsigned cmd = c < 0xe0 ? kCommands[c % kNumCommands] : in.u32();
  // SHUTDOWN scans the module's whole tracking table (65536 slots, a lock
  // each): it stays rare (selectors 14 and 31 only) so that inputs stay fast.
  if (cmd == CGD_SHUTDOWN && c < 0xe0 && c > 31) cmd = CGD_GET_STATE;
  std::uintptr_t out = 0;
  unsigned long arg = LayOut(in, p, cmd, &out);
  long kthreadFails = fault::failures(fault::Site::kthread);
  errno = 0;
  int r = user::ioctl(fd, cmd, arg);
  int err = errno;
  Note(p, "ioctl(fd %d, %#x, %s) = %d (errno %d)", fd, cmd, Hex(arg).c_str(), r, r < 0 ? err : 0);
  if (r >= 0) {
    if (!DocumentedStatus(r)) Fail("ioctl returned an undocumented status", p.trace);
  } else if (r == -1 && err == EBADF && !IsOpen(p, fd)) {
    // not a descriptor of the program
  } else if (r == -1 && err == EFAULT && cmd == CGD_GET_DIRTY_BLOCK && !DirtyOutWritable(arg)) {
    // The dirty-block query hands put_user's -EFAULT back as it is when the
    // block number cannot be written (its established result, which
    // automap_cmd_test's DirtyBlockQueryOrder holds it to).
  } else if (r == -1 && err == EAGAIN && cmd == CGD_START_BACKUP &&
             fault::failures(fault::Site::kthread) > kthreadFails) {
    // the start reports a failed creation of kbackupd with its errno
  } else {
    Fail("ioctl failed with an undocumented result", p.trace);
  }
  if (r != CGD_OK) return;
  // What the module wrote must make sense.
  if ((cmd == CGD_GET_VERSION_MAJOR || cmd == CGD_GET_VERSION_MINOR) && Writable(out, 4)) {
    int v;
    Load(out, &v, 4);
    if (v != (cmd == CGD_GET_VERSION_MAJOR ? CGD_VERSION_MAJOR : CGD_VERSION_MINOR))
      Fail("version command wrote a wrong number", p.trace);
  }
  if (cmd == CGD_GET_STATE && out && Writable(out, sizeof(State))) {
    GetState g;
    if (Load(arg, &g, sizeof g) && g.s == reinterpret_cast<State*>(out) && g.len >= sizeof(State)) {
      State st;
      Load(out, &st, sizeof st);
      if (!DocumentedState(st.state)) Fail("GET_STATE reported an undocumented state", p.trace);
    }
  }
  if (cmd == CGD_GET_AUTOMAP_STATE && out && Writable(out, sizeof(AutoMapState))) {
    GetAutoMapState g;
    if (Load(arg, &g, sizeof g) && g.ams == reinterpret_cast<AutoMapState*>(out) &&
        g.len >= sizeof(AutoMapState)) {
      AutoMapState a;
      Load(out, &a, sizeof a);
      if (a.state != CGD_AUTOMAP_NOT_IN_SYNC && a.state != CGD_AUTOMAP_IN_SYNC)
        Fail("GET_AUTOMAP_STATE reported an undocumented state", p.trace);
      p.lastKey = a.amsKey;
    }
  }
}

void OpOpen(Input& in, Program& p) {
  int slot = in.u8() % kSlots;
  static const int kModes[4] = {O_RDWR, O_RDONLY, O_WRONLY, O_RDWR | O_NONBLOCK};
  int mode = kModes[in.u8() % 4];
  if (p.fd[slot] >= 0) return;
  errno = 0;
  int fd = user::open(CGD_DEVICE_NODE, mode);
  int err = errno;
  Note(p, "open(mode %#x) = %d (errno %d) -> slot %d", mode, fd, fd < 0 ? err : 0, slot);
  if (fd >= 0) {
    if (IsOpen(p, fd)) Fail("open returned a descriptor that is already open", p.trace);
    p.fd[slot] = fd;
  } else if (err != EAGAIN && err != ENXIO && err != ENOMEM && err != EMFILE && err != ENFILE) {
    Fail("open failed with an undocumented errno", p.trace);
  }
}

void OpClose(Input& in, Program& p) {
  int slot = in.u8() % kSlots;
  int fd = p.fd[slot];
  if (fd < 0) return;
  int r = user::close(fd);
  Note(p, "close(%d) = %d", fd, r);
  if (r != 0) Fail("close of an open descriptor failed", p.trace);
  p.fd[slot] = -1;
}

void OpMmap(Input& in, Program& p) {
  int fd = p.fd[in.u8() % kSlots];
  std::uint8_t l = in.u8(), x = in.u8(), pr = in.u8(), o = in.u8();
  std::size_t len = std::size_t(l % 65) * kPage;
  if (x & 1) len += x >> 1;                  // a length that is not a page multiple
  if (x == 0xfe) len = 257 * kPage;          // above the most a window may have
  // Far above any window (kept at 4 GiB: the stand-in keeps a page table
  // entry per page of a mapping before the driver sees it).
  if (x == 0xfc) len = (std::size_t{1} << 32) + kPage;
  static const int kProt[6] = {PROT_READ, PROT_READ, PROT_READ | PROT_WRITE, PROT_NONE,
                               PROT_READ | PROT_EXEC, PROT_WRITE};
  int prot = kProt[pr % 6];
  int flags = (pr >> 4) % 4 == 1 ? MAP_SHARED : (pr >> 4) % 4 == 2 ? 0 : MAP_PRIVATE;
  off_t off = o % 4 == 0 ? 0 : o % 4 == 1 ? off_t(kPage) : o % 4 == 2 ? off_t(o) : off_t(o) << 20;
  if (o < 0x80) off = 0;
  errno = 0;
  void* a = user::mmap(nullptr, len, prot, flags, fd, off);
  int err = errno;
  Note(p, "mmap(len %#zx, prot %d, flags %#x, fd %d, off %#lx) = %p (errno %d)", len, prot, flags,
       fd, long(off), a, a == MAP_FAILED ? err : 0);
  if (a == MAP_FAILED) {
    if (err != EINVAL && err != ENOMEM && err != EBADF && err != ENODEV && err != EACCES &&
        err != EOVERFLOW)
      Fail("mmap failed with an unexpected errno", p.trace);
    return;
  }
  if ((reinterpret_cast<std::uintptr_t>(a) & (kPage - 1)) || user::mappings() != p.maps.size() + 1)
    Fail("mmap returned something that is not a new mapping", p.trace);
  p.maps.push_back({a, len});
}

void OpMunmap(Input& in, Program& p) {
  std::uint8_t i = in.u8(), how = in.u8();
  if (p.maps.empty()) {
    int r = user::munmap(reinterpret_cast<void*>(W->arena), kPage);
    if (r != -1) Fail("munmap of memory that is no device mapping succeeded", p.trace);
    return;
  }
  std::size_t k = i % p.maps.size();
  Mapping m = p.maps[k];
  std::size_t rounded = (m.len + kPage - 1) & ~(kPage - 1);
  void* at = m.addr;
  std::size_t len = m.len;
  bool whole = true;
  switch (how % 4) {
    case 1: len = rounded; break;
    case 2: len = rounded + kPage; whole = false; break;  // longer than the mapping
    case 3:
      if (rounded > kPage) {  // a part of it
        at = static_cast<char*>(m.addr) + kPage;
        len = kPage;
        whole = false;
      }
      break;
    default: break;
  }
  int r = user::munmap(at, len);
  Note(p, "munmap(%p, %#zx) = %d", at, len, r);
  if (whole) {
    if (r != 0) Fail("munmap of a whole mapping failed", p.trace);
    p.maps.erase(p.maps.begin() + long(k));
  }
  // The stand-in unmaps whole mappings only; a part is refused.
  if (!whole && r == 0) p.maps.erase(p.maps.begin() + long(k));
}

void OpFaultPage(Input& in, Program& p) {
  std::uint8_t i = in.u8();
  std::uint16_t pg = in.u16();
  if (p.maps.empty()) return;
  const Mapping& m = p.maps[i % p.maps.size()];
  std::size_t pages = (m.len + kPage - 1) / kPage;
  void* a = static_cast<char*>(m.addr) + (pg % (pages + 1)) * kPage;
  int r = user::fault(a);
  Note(p, "fault(%p) = %d", a, r);
}

void OpDisk(Input& in, Program& p, bool writing) {
  std::uint8_t t = in.u8();
  std::uint16_t at = in.u16();
  std::uint8_t n = in.u8(), pat = in.u8();
  std::size_t sectors = 2 * (1 + n % 8);  // 1 to 8 KiB
  std::vector<std::uint8_t> buf(sectors * 512, pat);
  int r;
  int target = (t & 0x7f) % 3;
  if (target < 2) {
    // A partition; its first 4 KiB (the file system's header) stay as they are.
    blk::devnum d = W->part[target];
    std::uint64_t total = blk::device_sectors(d);
    std::uint64_t s = 8 + at % (total - 8 - sectors);
    if (writing && (t & 0x80))
      r = blk::fs_write(d, s * 512, buf.data(), buf.size());
    else
      r = blk::rw_sectors(d, writing ? 1 : 0, s, buf.data(), buf.size());
    Note(p, "%s%s part%d sector %lu len %zu = %d", writing ? "write" : "read",
         writing && (t & 0x80) ? " (fs)" : "", target + 1,
         static_cast<unsigned long>(s), buf.size(), r);
  } else {
    // The whole disk, over both partitions' blocks (not their headers or the table).
    std::uint64_t s = kPart1Start + 8 + at % (kDiskSectors - kPart1Start - 8 - sectors);
    if (s < kPart2Start + 8 && s + sectors > kPart2Start) s = kPart2Start + 8;
    r = blk::rw_sectors(W->disk->dev(), writing ? 1 : 0, s, buf.data(), buf.size());
    Note(p, "%s disk sector %lu len %zu = %d", writing ? "write" : "read",
         static_cast<unsigned long>(s), buf.size(), r);
  }
}

constexpr fault::Site kSites[] = {
    fault::Site::kmalloc,   fault::Site::vmalloc,    fault::Site::slab_alloc,
    fault::Site::slab_create, fault::Site::page_alloc, fault::Site::kthread,
    fault::Site::bio_alloc, fault::Site::bh_alloc,   fault::Site::disk_read,
    fault::Site::disk_write, fault::Site::disk_partial, fault::Site::disk_notsupp};

void OpFault(Input& in, Program& p) {
  std::uint8_t s = in.u8(), n = in.u8();
  fault::Site site = kSites[s % (sizeof kSites / sizeof kSites[0])];
  if (n % 9 == 0) {
    fault::clear(site);
    Note(p, "fault clear site %d", int(site));
    return;
  }
  fault::Attr attr;
  attr.nth = n % 9;
  attr.times = 1;
  fault::set(site, attr);
  Note(p, "fault site %d nth %ld", int(site), attr.nth);
}

void OpReadWrite(Input& in, Program& p) {
  std::uint8_t s = in.u8();
  int fd = p.fd[s % kSlots];
  char buf[16] = {};
  errno = 0;
  ssize_t r = (s & 0x80) ? user::write(fd, buf, sizeof buf) : user::read(fd, buf, sizeof buf);
  int err = errno;
  Note(p, "%s(fd %d) = %zd (errno %d)", (s & 0x80) ? "write" : "read", fd, r, r < 0 ? err : 0);
  if (r > 0 || (r < 0 && err != EBADF)) Fail("read/write of the device gave an unexpected result", p.trace);
}

// ---- back to idle, and the checks ------------------------------------------------

std::string UsageDiff(const mem::Usage& want, const mem::Usage& got) {
  std::string s;
  for (int k = 0; k < int(mem::Kind::count_); k++)
    if (want.count[k] != got.count[k])
      s += std::string("  ") + mem::name(mem::Kind(k)) + ": " + std::to_string(want.count[k]) +
           " -> " + std::to_string(got.count[k]) + "\n";
  return s;
}

void CheckLocks(const Program& p) {
  auto v = standin::lockcheck::take();
  if (v.empty()) return;
  std::string r = p.trace;
  for (const auto& x : v) r += x.kind + "\n" + x.report + "\n";
  Fail("lock-check violation", r);
}

void BackToIdle(Program& p) {
  fault::clear_all();
  user::munmap_all();
  p.maps.clear();
  for (int& fd : p.fd) {
    if (fd >= 0 && user::close(fd) != 0) Fail("close at the end of the input failed", p.trace);
    fd = -1;
  }
  if (!standin::task::wait_kernel_threads(10000))
    Fail("a kernel thread did not end after every session was closed", p.trace);
  // Tracking sessions outlive the backups that started them (each holds
  // memory and a reference on its device), so the accounting differs from
  // the idle module's exactly while one exists.  Closing them all scans
  // the module's whole 256 x 256 table, so it is done only then.
  if (UsageDiff(W->idle, mem::usage()).size()) {
    int fd = user::open(CGD_DEVICE_NODE, O_RDWR);
    if (fd < 0) Fail("the control device cannot be opened after the input", p.trace);
    int r = user::ioctl(fd, CGD_SHUTDOWN, 0);
    if (r != CGD_OK) Fail("SHUTDOWN failed after the input", p.trace);
    if (user::close(fd) != 0) Fail("close after SHUTDOWN failed", p.trace);
    if (!standin::task::wait_kernel_threads(10000))
      Fail("a kernel thread did not end after the tracking sessions were closed", p.trace);
  }
  CheckLocks(p);
  if (standin::modules::refcount("cowguard") != 0)
    Fail("the module keeps references with no file open", p.trace);
  if (W->disk->queue()->make_request_fn != W->realMRF)
    Fail("the disk's request queue is still hooked with no session left", p.trace);
  for (blk::devnum d : W->part) {
    blk::FsInfo fi;
    if (!blk::fs_info(d, &fi)) Fail("a partition is no longer mounted", p.trace);
    if (fi.frozen) Fail("a file system stays frozen with no session left", p.trace);
  }
  mem::Usage now = mem::usage();
  std::string diff = UsageDiff(W->idle, now);
  if (!diff.empty())
    Fail("the stand-in's accounting differs from the idle module's (leak)",
         p.trace + diff + mem::leak_report(W->idle));
  standin::log::clear();
}

void AtExit() {
  if (!W || !W->ready) return;
  W->ready = false;
  fault::clear_all();
  int r = standin::modules::rmmod("cowguard");
  if (r != 0) Fail("rmmod cowguard failed at exit", std::to_string(r));
  if (!standin::task::wait_kernel_threads(10000)) Fail("kernel threads left after rmmod");
  std::string leak = mem::leak_report(W->beforeLoad);
  std::string diff = UsageDiff(W->beforeLoad, mem::usage());
  if (!leak.empty() || !diff.empty())
    Fail("the stand-in holds more after rmmod than before the load (leak)", diff + leak);
  auto v = standin::lockcheck::take();
  if (!v.empty()) Fail("lock-check violation at exit", v.front().kind + "\n" + v.front().report);
  for (blk::devnum d : W->part) blk::umount(d);
  W->disk.reset();
  std::fprintf(stderr, "cowguard-fuzz: module unloaded, nothing leaked\n");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  W = new World;
  standin::log::set_echo(false);
  standin::lockcheck::take();
  // The user memory of the program.
  int mfd = memfd_create("cowguard-fuzz", 0);
  if (mfd < 0 || ftruncate(mfd, kArenaPages * kPage) != 0) Fail("memfd");
  void* alias = ::mmap(nullptr, kArenaPages * kPage, PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
  void* arena = ::mmap(nullptr, kArenaPages * kPage, PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
  ::close(mfd);
  if (alias == MAP_FAILED || arena == MAP_FAILED) Fail("mmap of the arena");
  W->alias = static_cast<unsigned char*>(alias);
  W->arena = static_cast<unsigned char*>(arena);
  for (int k = 0; k < kArenaPages; k++)
    if (::mprotect(W->arena + k * kPage, kPage, kArenaProt[k]) != 0) Fail("mprotect of the arena");

  if (const char* bs = std::getenv("CG_FUZZ_BLOCK_SIZE")) kBlockSize[0] = std::uint32_t(std::atoi(bs));
  W->disk = blk::Disk::ram(kDiskSectors);
  if (!W->disk ||
      !blk::write_mbr(*W->disk, {{.start = kPart1Start, .sectors = kPart1Sectors},
                                 {.start = kPart2Start, .sectors = kPart2Sectors}}) ||
      W->disk->rescan() != 0)
    Fail("the RAM disk cannot be set up");
  W->realMRF = W->disk->queue()->make_request_fn;
  for (int i = 0; i < 2; i++) {
    W->part[i] = W->disk->part_dev(i + 1);
    if (!blk::format_testfs(W->part[i], kBlockSize[i]) || blk::mount(W->part[i]) != 0)
      Fail("the test file system cannot be mounted");
  }
  W->beforeLoad = mem::usage();
  int r = standin::modules::insmod(CG_MODULE_PATH);
  if (r != 0) Fail("insmod " CG_MODULE_PATH " failed", std::to_string(r));
  W->idle = mem::usage();
  W->ready = true;
  std::atexit(AtExit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  Program p;
  for (p.op = 0; p.op < kMaxOps && !in.empty(); p.op++) {
    switch (in.u8() % 10) {
      case 0: OpOpen(in, p); break;
      case 1: OpClose(in, p); break;
      case 2:
      case 3: OpIoctl(in, p); break;
      case 4: OpMmap(in, p); break;
      case 5: OpMunmap(in, p); break;
      case 6: OpDisk(in, p, in.u8() & 1); break;
      case 7: OpFault(in, p); break;
      case 8: OpFaultPage(in, p); break;
      default: OpReadWrite(in, p); break;
    }
    CheckLocks(p);
  }
  // CG_FUZZ_TRACE=1: every input's operations on stderr (to read a seed or a crash).
  static const bool trace = std::getenv("CG_FUZZ_TRACE") != nullptr;
  if (trace) std::fprintf(stderr, "input of %zu bytes:\n%s", size, p.trace.c_str());
  BackToIdle(p);
  return 0;
}
