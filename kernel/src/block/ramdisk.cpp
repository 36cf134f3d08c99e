// Storage of a RAM disk: 64 KiB chunks, allocated on first write when the
// disk is sparse (unwritten chunks read as zeros).  Each chunk is copied
// under one of a set of striped locks, so concurrent bios and direct reads
// of ground truth never see a torn sector.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "internal.h"
#include "block/block_internal.h"

namespace standin::blk {
namespace {

constexpr std::uint64_t kChunk = 64 * 1024;
constexpr std::size_t kStripes = 64;

class RamBacking final : public Backing {
 public:
  RamBacking(std::uint64_t bytes, bool sparse)
      : bytes_(bytes), chunks_((bytes + kChunk - 1) / kChunk) {
    if (!sparse)
      for (auto& c : chunks_) c = std::make_unique<std::uint8_t[]>(kChunk);
  }

  std::uint64_t bytes() const override { return bytes_; }

  int read(std::uint64_t offset, void* buf, std::size_t len) override {
    auto* out = static_cast<std::uint8_t*>(buf);
    for_each_piece(offset, len, [&](std::uint64_t idx, std::uint64_t at, std::size_t n) {
      std::lock_guard lk(stripes_[idx % kStripes]);
      if (chunks_[idx])
        std::memcpy(out, chunks_[idx].get() + at, n);
      else
        std::memset(out, 0, n);
      out += n;
    });
    return 0;
  }

  int write(std::uint64_t offset, const void* buf, std::size_t len) override {
    auto* in = static_cast<const std::uint8_t*>(buf);
    for_each_piece(offset, len, [&](std::uint64_t idx, std::uint64_t at, std::size_t n) {
      std::lock_guard lk(stripes_[idx % kStripes]);
      if (!chunks_[idx]) chunks_[idx] = std::make_unique<std::uint8_t[]>(kChunk);
      std::memcpy(chunks_[idx].get() + at, in, n);
      in += n;
    });
    return 0;
  }

 private:
  template <typename F>
  static void for_each_piece(std::uint64_t offset, std::size_t len, F&& f) {
    while (len > 0) {
      std::uint64_t idx = offset / kChunk, at = offset % kChunk;
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, kChunk - at));
      f(idx, at, n);
      offset += n;
      len -= n;
    }
  }

  std::uint64_t bytes_;
  std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;  // Protected by stripes_
  std::array<std::mutex, kStripes> stripes_;
};

}  // namespace

std::unique_ptr<Backing> make_ram_backing(std::uint64_t bytes, bool sparse) {
  return std::make_unique<RamBacking>(bytes, sparse);
}

}  // namespace standin::blk
