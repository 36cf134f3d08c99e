#include "gate.h"

#include <algorithm>

namespace cowguard::serve {

bool WriteGate::frozen_over(const SectorRange& r) const {
  return std::any_of(frozen_.begin(), frozen_.end(), [&](const SectorRange& f) { return f.overlaps(r); });
}

WriteGate::Ticket WriteGate::enter(SectorRange r) {
  std::unique_lock<std::mutex> g(lock_);
  if (frozen_over(r)) {
    held_++;
    changed_.wait(g, [&] { return !frozen_over(r); });
  }
  inflight_.push_front(r);
  return inflight_.begin();
}

void WriteGate::leave(Ticket t) {
  {
    std::lock_guard<std::mutex> g(lock_);
    inflight_.erase(t);
  }
  changed_.notify_all();
}

void WriteGate::freeze(SectorRange r) {
  std::unique_lock<std::mutex> g(lock_);
  frozen_.push_back(r);
  changed_.wait(g, [&] {
    return std::none_of(inflight_.begin(), inflight_.end(), [&](const SectorRange& w) { return w.overlaps(r); });
  });
}

void WriteGate::thaw(SectorRange r) {
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find_if(frozen_.begin(), frozen_.end(),
                           [&](const SectorRange& f) { return f.first == r.first && f.count == r.count; });
    if (it != frozen_.end()) frozen_.erase(it);
  }
  changed_.notify_all();
}

std::uint64_t WriteGate::held_writes() const {
  std::lock_guard<std::mutex> g(lock_);
  return held_;
}

std::size_t WriteGate::in_flight() const {
  std::lock_guard<std::mutex> g(lock_);
  return inflight_.size();
}

}  // namespace cowguard::serve
