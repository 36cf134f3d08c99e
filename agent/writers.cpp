// The writers of a backup point: the full image with its index, and the
// delta file of an incremental.
#include "format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <system_error>

#include "records.h"

namespace cowguard::agent {

namespace fs = std::filesystem;
using namespace records;

// ---- ImageWriter -----------------------------------------------------------------

struct ImageWriter::Impl {
  fs::path dir;
  std::uint32_t sequence;
  std::int64_t time;
  std::uint32_t block_size;
  BlockBitmap taken;
  AtomicFile image;
  Hasher image_sum;
  std::vector<Hash64> sums;  // one per block of the device
  std::vector<std::uint8_t> zero;
  std::uint32_t next = 0;    // blocks below it are hashed
  std::uint64_t written = 0;

  Impl(const fs::path& d, std::uint32_t seq, std::int64_t t, std::uint32_t bs, const BlockBitmap& tk)
      : dir(d), sequence(seq), time(t), block_size(bs), taken(tk), image(d / image_name(seq)),
        sums(tk.blocks()), zero(bs, 0) {}
};

ImageWriter::ImageWriter(const fs::path& dir, std::uint32_t sequence, std::int64_t time,
                         std::uint32_t block_size, const BlockBitmap& taken)
    : p_(std::make_unique<Impl>(dir, sequence, time, block_size, taken)) {
  p_->image.truncate(static_cast<std::uint64_t>(taken.blocks()) * block_size);
}

ImageWriter::~ImageWriter() = default;

void ImageWriter::fill_to(std::uint32_t block) {
  // Blocks not taken read as zeros in the sparse image.
  for (; p_->next < block; p_->next++) {
    p_->image_sum.update(p_->zero.data(), p_->block_size);
    p_->sums[p_->next] = block_hash(p_->zero.data(), p_->block_size, p_->next);
  }
}

void ImageWriter::put(std::uint32_t first, std::uint32_t count, const std::uint8_t* data) {
  if (first < p_->next || static_cast<std::uint64_t>(first) + count > p_->taken.blocks())
    throw std::logic_error("ImageWriter: blocks out of order or beyond the device");
  fill_to(first);
  const std::uint32_t bs = p_->block_size;
  for (std::uint32_t i = 0; i < count; i++) {
    if (!p_->taken.test(first + i)) throw std::logic_error("ImageWriter: a block that is not taken");
    const std::uint8_t* b = data + static_cast<std::size_t>(i) * bs;
    p_->image_sum.update(b, bs);
    p_->sums[first + i] = block_hash(b, bs, first + i);
  }
  p_->image.pwrite(data, static_cast<std::size_t>(count) * bs, static_cast<std::uint64_t>(first) * bs);
  p_->next = first + count;
  p_->written += static_cast<std::uint64_t>(count) * bs;
}

FileInfo ImageWriter::finish() {
  fill_to(p_->taken.blocks());
  Hash64 image_sum = p_->image_sum.digest();
  p_->image.commit();

  // An image without its index is of no use: it goes when the index fails.
  Hasher h;
  try {
    AtomicFile index(p_->dir / index_name(p_->sequence));
    auto out = [&](const void* d, std::size_t n) {
      h.update(d, n);
      index.write(d, n);
    };
    FileHeader hdr = make_header(kIndexMagic, p_->block_size, p_->taken.blocks(),
                                 static_cast<std::uint32_t>(p_->taken.count()), image_sum, p_->time,
                                 p_->sequence);
    out(&hdr, sizeof hdr);
    out(p_->taken.bytes().data(), p_->taken.bytes().size());
    out(p_->sums.data(), p_->sums.size() * sizeof(Hash64));
    Trailer t = make_trailer(h.digest());
    out(&t, sizeof t);  // the index checksum is the whole file's, trailer included
    index.commit();
  } catch (...) {
    ::unlink(p_->image.path().c_str());
    throw;
  }

  FileInfo info;
  info.file = image_name(p_->sequence);
  info.index = index_name(p_->sequence);
  info.checksum = image_sum;
  info.index_checksum = h.digest();
  info.blocks = p_->taken.count();
  info.bytes_written = p_->written;
  return info;
}

// ---- DeltaWriter -----------------------------------------------------------------

struct DeltaWriter::Impl {
  std::uint32_t block_size;
  BlockBitmap changed;
  AtomicFile file;
  Hasher sum;
  std::uint32_t next = 0;
  std::uint64_t blocks = 0;
  std::uint64_t written = 0;
  std::uint64_t expected;

  // The records of the blocks, gathered into writes of about kFlush bytes:
  // a scattered delta is mostly one-block runs, and two small writes a
  // block cost more than the block.
  static constexpr std::size_t kFlush = 1 << 20;
  std::vector<std::uint8_t> pending;

  Impl(const fs::path& d, std::uint32_t seq, std::uint32_t bs, const BlockBitmap& ch)
      : block_size(bs), changed(ch), file(d / delta_name(seq)), expected(ch.count()) {}
  void out(const void* d, std::size_t n) {
    sum.update(d, n);
    file.write(d, n);
  }
  void out_gathered(const void* d, std::size_t n) {
    sum.update(d, n);
    const auto* b = static_cast<const std::uint8_t*>(d);
    pending.insert(pending.end(), b, b + n);
    if (pending.size() >= kFlush) flush();
  }
  void flush() {
    if (!pending.empty()) file.write(pending.data(), pending.size());
    pending.clear();
  }
};

DeltaWriter::DeltaWriter(const fs::path& dir, std::uint32_t sequence, std::int64_t time,
                         std::uint32_t block_size, Hash64 parent_id, const BlockBitmap& changed)
    : p_(std::make_unique<Impl>(dir, sequence, block_size, changed)) {
  FileHeader hdr = make_header(kDeltaMagic, block_size, changed.blocks(),
                               static_cast<std::uint32_t>(p_->expected), parent_id, time, sequence);
  p_->out(&hdr, sizeof hdr);
  p_->out(changed.bytes().data(), changed.bytes().size());
}

DeltaWriter::~DeltaWriter() = default;

void DeltaWriter::put(std::uint32_t first, std::uint32_t count, const std::uint8_t* data) {
  if (first < p_->next) throw std::logic_error("DeltaWriter: blocks out of order");
  const std::uint32_t bs = p_->block_size;
  for (std::uint32_t i = 0; i < count; i++) {
    std::uint32_t n = first + i;
    if (!p_->changed.test(n)) throw std::logic_error("DeltaWriter: a block not in the changed map");
    const std::uint8_t* b = data + static_cast<std::size_t>(i) * bs;
    Hash64 h = block_hash(b, bs, n);
    p_->out_gathered(&h, sizeof h);
    p_->out_gathered(b, bs);
  }
  p_->next = first + count;
  p_->blocks += count;
  p_->written += static_cast<std::uint64_t>(count) * bs;
}

FileInfo DeltaWriter::finish() {
  if (p_->blocks != p_->expected) throw std::logic_error("DeltaWriter: not every changed block was written");
  p_->flush();
  Trailer t = make_trailer(p_->sum.digest());
  p_->sum.update(&t, sizeof t);
  p_->file.write(&t, sizeof t);
  p_->file.commit();
  FileInfo info;
  info.file = p_->file.path().filename().string();
  info.checksum = p_->sum.digest();
  info.blocks = p_->blocks;
  info.bytes_written = p_->written;
  return info;
}

}  // namespace cowguard::agent
