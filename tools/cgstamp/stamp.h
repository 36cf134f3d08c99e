// Sector stamps: an oracle that needs no copy of the device.  Every 512-byte
// sector a stamping writer writes carries its own place, the sequence number
// of the write and a checksum, and the writer logs every write with the
// times it was submitted and completed.  A restored snapshot is then
// checked against the log and the snapshot's frozen instant: each sector
// must hold the last write completed before the instant, or one that was in
// flight across it, and never a write submitted after it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cowguard::stamp {

constexpr std::size_t kSector = 512;
constexpr char kMagic[8] = {'C', 'G', 'S', 'T', 'A', 'M', 'P', '1'};

// Sector layout (little-endian): magic[8], sector u64, seq u64, submit ns
// u64, filler derived from seq and sector, xxh64 of bytes 0..503 at 504.
void make_sector(std::uint8_t* out, std::uint64_t sector, std::uint64_t seq, std::uint64_t submit_ns);

struct Parsed {
  bool has_magic = false;
  bool valid = false;  // magic, checksum and filler good
  std::uint64_t sector = 0, seq = 0;
};
Parsed parse_sector(const std::uint8_t* in);

// One write of the log (40 bytes on disk, in this order).
struct LogRecord {
  std::uint64_t seq = 0;
  std::uint64_t first = 0;  // first sector
  std::uint64_t count = 0;  // sectors
  std::uint64_t submit_ns = 0;
  std::uint64_t complete_ns = 0;
};
bool read_log(const std::string& path, std::vector<LogRecord>* out, std::string* err);

struct CheckResult {
  std::uint64_t checked = 0, ok = 0, torn = 0, stale = 0, too_new = 0, missing = 0;
  std::vector<std::string> problems;  // the first few, with sector numbers
  bool good() const { return checked == ok; }
};
// Checks an image (sector k of the export at image_offset + 512 k) against
// the log at the frozen instant.  With a sector base, the image holds the
// export's sectors from that one on (a partition of a disk the writer
// wrote whole), and sectors outside it are not checked.
CheckResult check_image(const std::string& image, std::uint64_t image_offset, const std::vector<LogRecord>& log,
                        std::uint64_t frozen_ns, std::string* err,
                        std::optional<std::uint64_t> sector_base = std::nullopt);
// The same over sectors in memory (tests), sector k at bytes[512 k].
CheckResult check_bytes(const std::vector<std::uint8_t>& bytes, const std::vector<LogRecord>& log,
                        std::uint64_t frozen_ns);

}  // namespace cowguard::stamp
