// A bitmap of block numbers in the module's byte layout: block n is bit
// n % 8 (least significant first) of byte n / 8.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace cowguard::agent {

class BlockBitmap {
 public:
  BlockBitmap() = default;
  explicit BlockBitmap(std::uint32_t blocks, bool all = false)
      : bytes_((static_cast<std::size_t>(blocks) + 7) / 8, all ? 0xff : 0), blocks_(blocks) {
    if (all) trim();
  }
  // Takes the bytes of a map of `blocks` blocks; bits past the end are cleared.
  BlockBitmap(std::vector<std::uint8_t> bytes, std::uint32_t blocks)
      : bytes_(std::move(bytes)), blocks_(blocks) {
    if (bytes_.size() != (static_cast<std::size_t>(blocks) + 7) / 8)
      throw std::invalid_argument("BlockBitmap: byte count does not match the block count");
    trim();
  }

  std::uint32_t blocks() const { return blocks_; }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

  bool test(std::uint32_t n) const { return n < blocks_ && (bytes_[n / 8] >> (n % 8)) & 1; }
  void set(std::uint32_t n) {
    if (n < blocks_) bytes_[n / 8] |= static_cast<std::uint8_t>(1u << (n % 8));
  }
  void clear(std::uint32_t n) {
    if (n < blocks_) bytes_[n / 8] &= static_cast<std::uint8_t>(~(1u << (n % 8)));
  }
  std::uint64_t count() const {
    std::uint64_t c = 0;
    for (std::uint8_t b : bytes_) c += static_cast<unsigned>(__builtin_popcount(b));
    return c;
  }
  // Keeps only the blocks also set in `other` (blocks beyond it are cleared).
  void intersect(const BlockBitmap& other) {
    for (std::size_t i = 0; i < bytes_.size(); i++)
      bytes_[i] &= i < other.bytes_.size() ? other.bytes_[i] : 0;
    if (other.blocks_ < blocks_)
      for (std::uint32_t n = other.blocks_; n < blocks_ && n % 8; n++) clear(n);
  }
  // Calls f(first, count) for each run of set blocks, in ascending order,
  // cutting runs at max_run blocks.
  template <typename F>
  void for_each_run(std::uint32_t max_run, F&& f) const {
    std::uint32_t n = 0;
    while (n < blocks_) {
      if (bytes_[n / 8] == 0 && n % 8 == 0) {
        n += 8;
        continue;
      }
      if (!test(n)) {
        n++;
        continue;
      }
      std::uint32_t first = n;
      while (n < blocks_ && test(n) && n - first < max_run) n++;
      f(first, n - first);
    }
  }
  bool operator==(const BlockBitmap&) const = default;

 private:
  void trim() {
    if (blocks_ % 8 && !bytes_.empty()) bytes_.back() &= static_cast<std::uint8_t>((1u << (blocks_ % 8)) - 1);
  }
  std::vector<std::uint8_t> bytes_;
  std::uint32_t blocks_ = 0;
};

}  // namespace cowguard::agent
