// The sector-stamp checker on synthetic logs and images: a sector must hold
// the last write completed before the frozen instant or one in flight across
// it; an older stamp is stale, a stamp of a later write too new, a broken or
// misplaced one torn, and no stamp where a write had completed is missing.
#include <gtest/gtest.h>

#include "stamp.h"

namespace st = cowguard::stamp;

namespace {

// Sectors 0..7 of a disk, writes applied to them as the test says.
struct Disk {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(8 * st::kSector, 0);
  std::vector<st::LogRecord> log;
  // A write of sectors [first, first+count) with the given times; applied
  // to the bytes only when `lands`.
  void write(std::uint64_t seq, std::uint64_t first, std::uint64_t count, std::uint64_t submit,
             std::uint64_t complete, bool lands = true) {
    log.push_back({seq, first, count, submit, complete});
    if (lands)
      for (std::uint64_t s = first; s < first + count; s++) st::make_sector(&bytes[s * st::kSector], s, seq, submit);
  }
};

TEST(Stamp, ASectorRoundTripsAndAnyFlippedByteBreaksIt) {
  std::uint8_t s[st::kSector];
  st::make_sector(s, 42, 7, 1000);
  st::Parsed p = st::parse_sector(s);
  EXPECT_TRUE(p.valid);
  EXPECT_EQ(p.sector, 42u);
  EXPECT_EQ(p.seq, 7u);
  for (std::size_t i : {8u, 100u, 511u}) {
    std::uint8_t c[st::kSector];
    std::copy(s, s + st::kSector, c);
    c[i] ^= 1;
    EXPECT_FALSE(st::parse_sector(c).valid) << "byte " << i;
  }
}

TEST(Stamp, TheLastCompletedWriteOrOneInFlightIsRightAndNothingElse) {
  Disk d;
  d.write(1, 0, 4, 10, 20);
  d.write(2, 0, 2, 30, 40);   // completed before the instant (50): sectors 0-1 must hold it
  d.write(3, 2, 2, 45, 60);   // in flight across it: 2-3 may hold 1 or 3
  d.write(4, 4, 2, 70, 80, false);  // submitted after it: must not be there
  st::CheckResult r = st::check_bytes(d.bytes, d.log, 50);
  EXPECT_TRUE(r.good()) << r.problems.size();
  EXPECT_EQ(r.checked, 6u);

  Disk held = d;  // the in-flight write had not landed: 2-3 hold write 1
  for (std::uint64_t s : {2u, 3u}) st::make_sector(&held.bytes[s * st::kSector], s, 1, 10);
  EXPECT_TRUE(st::check_bytes(held.bytes, held.log, 50).good());

  Disk stale = d;  // sector 0 lost write 2
  st::make_sector(&stale.bytes[0], 0, 1, 10);
  st::CheckResult rs = st::check_bytes(stale.bytes, stale.log, 50);
  EXPECT_EQ(rs.stale, 1u);
  EXPECT_FALSE(rs.good());

  Disk newer = d;  // write 4 is in the snapshot
  st::make_sector(&newer.bytes[4 * st::kSector], 4, 4, 70);
  EXPECT_EQ(st::check_bytes(newer.bytes, newer.log, 50).too_new, 1u);

  Disk torn = d;
  torn.bytes[st::kSector + 300] ^= 0xff;
  EXPECT_EQ(st::check_bytes(torn.bytes, torn.log, 50).torn, 1u);

  Disk moved = d;  // sector 1's stamp written at sector 0
  std::copy(moved.bytes.begin() + st::kSector, moved.bytes.begin() + 2 * st::kSector, moved.bytes.begin());
  EXPECT_EQ(st::check_bytes(moved.bytes, moved.log, 50).torn, 1u);

  Disk lost = d;  // sector 1 never written
  std::fill(lost.bytes.begin() + st::kSector, lost.bytes.begin() + 2 * st::kSector, 0);
  EXPECT_EQ(st::check_bytes(lost.bytes, lost.log, 50).missing, 1u);

  // Before any write completed, an unwritten sector is right.
  EXPECT_TRUE(st::check_bytes(std::vector<std::uint8_t>(8 * st::kSector, 0), d.log, 5).good());
}

}  // namespace
