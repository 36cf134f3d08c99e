// The write gate of one disk: how the NBD exports take part in a freeze.
//
// A freeze of a partition (the file system's lockfs hook) closes the gate on
// the partition's sectors: writes in flight on them finish, and new writes
// that touch them wait until the thaw.  Writes elsewhere on the disk, and
// every read, go on.  So a snapshot is the device exactly between two client
// requests.
//
// Locking: lock_ guards frozen_ and inflight_; a waiting writer or freezer
// sleeps on changed_.  Nothing else is taken under lock_.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

namespace cowguard::serve {

// A range of whole-disk sectors.
struct SectorRange {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  bool overlaps(const SectorRange& o) const {
    return first < o.first + o.count && o.first < first + count;
  }
};

class WriteGate {
 public:
  using Ticket = std::list<SectorRange>::iterator;

  // Waits while the range touches a frozen one, then counts the write in.
  Ticket enter(SectorRange r);
  void leave(Ticket t);

  // Closes the range to new writes and waits for those in flight on it.
  void freeze(SectorRange r);
  // Opens a range closed by freeze (the same first and count).
  void thaw(SectorRange r);

  // Writes that had to wait for a thaw, since the gate was made.
  std::uint64_t held_writes() const;
  // Writes in flight now.
  std::size_t in_flight() const;

 private:
  bool frozen_over(const SectorRange& r) const;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<SectorRange> frozen_;
  std::list<SectorRange> inflight_;
  std::uint64_t held_ = 0;
};

}  // namespace cowguard::serve
