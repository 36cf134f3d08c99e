#include "stamp.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <unordered_map>

namespace cowguard::stamp {

namespace {

void put64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t get64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}
void fill(std::uint8_t* p, std::size_t n, std::uint64_t seq, std::uint64_t sector) {
  std::uint64_t x = seq * 0x9e3779b97f4a7c15ull ^ sector;
  for (std::size_t i = 0; i < n; i++) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    p[i] = static_cast<std::uint8_t>(x);
  }
}

constexpr std::size_t kFill = 32;   // filler from byte 32
constexpr std::size_t kSum = 504;   // checksum of bytes 0..503

}  // namespace

void make_sector(std::uint8_t* out, std::uint64_t sector, std::uint64_t seq, std::uint64_t submit_ns) {
  std::memcpy(out, kMagic, 8);
  put64(out + 8, sector);
  put64(out + 16, seq);
  put64(out + 24, submit_ns);
  fill(out + kFill, kSum - kFill, seq, sector);
  put64(out + kSum, XXH64(out, kSum, 0));
}

Parsed parse_sector(const std::uint8_t* in) {
  Parsed p;
  p.has_magic = std::memcmp(in, kMagic, 8) == 0;
  if (!p.has_magic) return p;
  p.sector = get64(in + 8);
  p.seq = get64(in + 16);
  if (get64(in + kSum) != XXH64(in, kSum, 0)) return p;
  std::uint8_t expect[kSum - kFill];
  fill(expect, sizeof expect, p.seq, p.sector);
  p.valid = std::memcmp(in + kFill, expect, sizeof expect) == 0;
  return p;
}

bool read_log(const std::string& path, std::vector<LogRecord>* out, std::string* err) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *err = "cannot read the log " + path;
    return false;
  }
  std::uint8_t rec[40];
  out->clear();
  while (f.read(reinterpret_cast<char*>(rec), sizeof rec)) {
    LogRecord r;
    r.seq = get64(rec), r.first = get64(rec + 8), r.count = get64(rec + 16);
    r.submit_ns = get64(rec + 24), r.complete_ns = get64(rec + 32);
    out->push_back(r);
  }
  if (f.gcount() != 0) {
    *err = "the log " + path + " ends in the middle of a record";
    return false;
  }
  return true;
}

namespace {

// What a sector may hold at the frozen instant.
struct Expect {
  bool has_last = false;
  std::uint64_t last = 0;             // last write completed before the instant
  std::uint64_t last_complete = 0;
  std::vector<std::uint64_t> inflight;  // writes in flight across it
};

// `read` returns 1 for a sector read, 0 for one missing, -1 for one
// outside what is checked.
template <class ReadSector>
CheckResult check(const std::vector<LogRecord>& log, std::uint64_t frozen, ReadSector read) {
  CheckResult res;
  std::unordered_map<std::uint64_t, const LogRecord*> by_seq;
  std::unordered_map<std::uint64_t, Expect> sectors;
  for (const auto& r : log) {
    by_seq[r.seq] = &r;
    for (std::uint64_t s = r.first; s < r.first + r.count; s++) {
      Expect& e = sectors[s];
      if (r.complete_ns < frozen) {
        if (!e.has_last || r.complete_ns > e.last_complete) e.has_last = true, e.last = r.seq, e.last_complete = r.complete_ns;
      } else if (r.submit_ns <= frozen) {
        e.inflight.push_back(r.seq);
      }
    }
  }
  auto problem = [&](const std::string& what) {
    if (res.problems.size() < 10) res.problems.push_back(what);
  };
  std::vector<std::uint64_t> order;
  order.reserve(sectors.size());
  for (const auto& kv : sectors) order.push_back(kv.first);
  std::sort(order.begin(), order.end());
  std::uint8_t buf[kSector];
  for (std::uint64_t s : order) {
    const Expect& e = sectors[s];
    const int got = read(s, buf);
    if (got < 0) continue;
    res.checked++;
    if (got == 0) {
      res.missing++;
      problem("sector " + std::to_string(s) + ": not in the image");
      continue;
    }
    Parsed p = parse_sector(buf);
    const LogRecord* w = p.valid ? (by_seq.count(p.seq) ? by_seq[p.seq] : nullptr) : nullptr;
    if (p.has_magic && (!p.valid || p.sector != s || !w || s < w->first || s >= w->first + w->count)) {
      res.torn++;
      problem("sector " + std::to_string(s) + ": a torn or misplaced stamp");
      continue;
    }
    if (!w) {
      // No stamp: right only when no write had completed there.
      if (e.has_last) {
        res.missing++;
        problem("sector " + std::to_string(s) + ": no stamp where write " + std::to_string(e.last) +
                " had completed");
      } else {
        res.ok++;
      }
      continue;
    }
    if (w->submit_ns > frozen) {
      res.too_new++;
      problem("sector " + std::to_string(s) + ": write " + std::to_string(p.seq) + " was submitted after the instant");
      continue;
    }
    if ((e.has_last && p.seq == e.last) || std::count(e.inflight.begin(), e.inflight.end(), p.seq)) {
      res.ok++;
      continue;
    }
    res.stale++;
    problem("sector " + std::to_string(s) + ": write " + std::to_string(p.seq) + " where write " +
            std::to_string(e.last) + " had completed later");
  }
  return res;
}

}  // namespace

CheckResult check_image(const std::string& image, std::uint64_t image_offset, const std::vector<LogRecord>& log,
                        std::uint64_t frozen_ns, std::string* err, std::optional<std::uint64_t> sector_base) {
  std::ifstream f(image, std::ios::binary);
  if (!f) {
    *err = "cannot read the image " + image;
    return {};
  }
  f.seekg(0, std::ios::end);
  const std::uint64_t size = static_cast<std::uint64_t>(f.tellg());
  return check(log, frozen_ns, [&](std::uint64_t s, std::uint8_t* buf) -> int {
    std::uint64_t at = image_offset + s * kSector;
    if (sector_base) {
      if (s < *sector_base) return -1;
      at = image_offset + (s - *sector_base) * kSector;
      if (at + kSector > size) return -1;
    }
    f.clear();
    f.seekg(static_cast<std::streamoff>(at));
    return f.read(reinterpret_cast<char*>(buf), kSector) ? 1 : 0;
  });
}

CheckResult check_bytes(const std::vector<std::uint8_t>& bytes, const std::vector<LogRecord>& log,
                        std::uint64_t frozen_ns) {
  return check(log, frozen_ns, [&](std::uint64_t s, std::uint8_t* buf) -> int {
    if ((s + 1) * kSector > bytes.size()) return 0;
    std::memcpy(buf, bytes.data() + s * kSector, kSector);
    return 1;
  });
}

}  // namespace cowguard::stamp
