// Reading a chain back: restore of any point and verify of every file.
#include "format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <system_error>

#include "records.h"

namespace cowguard::agent {

namespace fs = std::filesystem;
using namespace records;

// ---- reading a chain ---------------------------------------------------------------

namespace {

constexpr std::uint32_t kRunBlocks = 256;

bool all_zero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

// Where verified blocks go: the output image, or nowhere (verify).
using BlockSink = std::function<void(std::uint32_t block, const std::uint8_t* data)>;

void require_whole_sum(Hash64 got, const std::string& file, Hash64 want) {
  if (got != want) throw FormatError(file, "checksum does not match the catalog's");
}

// A data file of the chain must be there: its absence is a missing input.
void require_present(const fs::path& dir, const std::string& name, const ChainEntry& e) {
  std::error_code ec;
  if (!fs::exists(dir / name, ec))
    throw FormatError(name, "missing (backup point " + std::to_string(e.sequence) + ", " +
                                std::string(kind_name(e.kind)) + ")",
                      std::nullopt, FormatError::Kind::missing);
}

// Reads a full backup's index: its header, taken-block map and block checksums.
// Reads a file's header and holds it against its catalog entry: magic,
// version and header checksum, block size and count, sequence.
FileHeader read_entry_header(HashedReader& r, const char (&magic)[8], const ChainEntry& e) {
  FileHeader h{};
  r.read(&h, sizeof h, "header");
  check_header(h, magic, r.name());
  if (h.block_size != e.block_size || h.block_count != e.block_count)
    throw FormatError(r.name(), "block size or count differs from the catalog's");
  if (h.sequence != e.sequence) throw FormatError(r.name(), "sequence differs from the catalog's");
  return h;
}

// The bitmap of block_count bits that follows a header.
std::vector<std::uint8_t> read_bitmap(HashedReader& r, std::uint32_t block_count, const char* what) {
  std::vector<std::uint8_t> bytes((static_cast<std::size_t>(block_count) + 7) / 8);
  r.read(bytes.data(), bytes.size(), what);
  return bytes;
}

struct Index {
  FileHeader hdr{};
  BlockBitmap taken;
  std::vector<Hash64> sums;
};

Index read_index(const fs::path& dir, const ChainEntry& e) {
  require_present(dir, e.info.index, e);
  HashedReader idx(dir / e.info.index);
  Index x;
  x.hdr = read_entry_header(idx, kIndexMagic, e);
  x.taken = BlockBitmap(read_bitmap(idx, x.hdr.block_count, "taken-block bitmap"), x.hdr.block_count);
  x.sums.resize(x.hdr.block_count);
  idx.read(x.sums.data(), x.sums.size() * sizeof(Hash64), "block checksums");
  require_whole_sum(check_trailer(idx), idx.name(), e.info.index_checksum);
  return x;
}

// Checks a full backup (index and image) and hands every block to the
// sink.  quick: the index whole, the image's size only.
void read_full(const fs::path& dir, const ChainEntry& e, const BlockSink& sink, bool quick,
               const Progress& progress, std::uint64_t* bytes_done) {
  Index x = read_index(dir, e);
  require_present(dir, e.info.file, e);
  HashedReader img(dir / e.info.file);
  const std::uint64_t bs = x.hdr.block_size;
  if (img.size() != x.hdr.block_count * bs)
    throw FormatError(img.name(), img.size() < x.hdr.block_count * bs ? "truncated image"
                                                                     : "unexpected bytes after the image");
  if (quick) return;
  std::vector<std::uint8_t> buf(kRunBlocks * bs);
  for (std::uint32_t first = 0; first < x.hdr.block_count; first += kRunBlocks) {
    check_interrupt();
    std::uint32_t n = std::min(kRunBlocks, x.hdr.block_count - first);
    img.read(buf.data(), n * bs, "image");
    for (std::uint32_t i = 0; i < n; i++) {
      const std::uint8_t* b = buf.data() + i * bs;
      if (block_hash(b, bs, first + i) != x.sums[first + i])
        throw FormatError(img.name(), "block checksum mismatch", first + i);
      if (sink) sink(first + i, b);
    }
    if (progress) progress(*bytes_done += n * bs, 0);
  }
  img.expect_end();
  if (img.digest() != x.hdr.ref) throw FormatError(img.name(), "image checksum does not match its index");
  require_whole_sum(img.digest(), img.name(), e.info.checksum);
}

// Reads a delta file's header and changed-block map, checked.
struct DeltaHead {
  FileHeader hdr{};
  BlockBitmap changed;
  std::uint64_t data_offset = 0;  // where the first block's checksum is
};

DeltaHead read_delta_head(HashedReader& r, const ChainEntry& e, Hash64 parent_sum) {
  DeltaHead d;
  d.hdr = read_entry_header(r, kDeltaMagic, e);
  if (d.hdr.ref != parent_sum)
    throw FormatError(r.name(), "wrong parent: the file does not apply to the backup before it");
  const std::vector<std::uint8_t> bytes = read_bitmap(r, d.hdr.block_count, "changed-block bitmap");
  d.changed = BlockBitmap(bytes, d.hdr.block_count);
  if (d.changed.count() != d.hdr.blocks ||
      !std::equal(bytes.begin(), bytes.end(), d.changed.bytes().begin()))
    throw FormatError(r.name(), "changed-block bitmap does not match the header's block count");
  d.data_offset = r.offset();
  return d;
}

// Checks a delta file and hands its blocks to the sink.  parent_sum is the
// checksum of the file it applies to.  quick: header, map and size only.
void read_delta(const fs::path& dir, const ChainEntry& e, Hash64 parent_sum, const BlockSink& sink,
                bool quick, const Progress& progress, std::uint64_t* bytes_done) {
  require_present(dir, e.info.file, e);
  HashedReader r(dir / e.info.file);
  DeltaHead d = read_delta_head(r, e, parent_sum);
  const std::size_t bs = d.hdr.block_size;
  const std::uint64_t want_size = d.data_offset + d.changed.count() * (sizeof(Hash64) + bs) + sizeof(Trailer);
  if (quick) {
    if (r.size() != want_size)
      throw FormatError(r.name(), r.size() < want_size ? "truncated file" : "unexpected bytes after the end of the file");
    return;
  }
  std::vector<std::uint8_t> block(bs);
  std::uint64_t since = 0;
  d.changed.for_each_run(kRunBlocks, [&](std::uint32_t first, std::uint32_t count) {
    check_interrupt();
    for (std::uint32_t n = first; n < first + count; n++) {
      Hash64 want = 0;
      r.read(&want, sizeof want, "block data");
      r.read(block.data(), bs, "block data");
      if (block_hash(block.data(), bs, n) != want) throw FormatError(r.name(), "block checksum mismatch", n);
      if (sink) sink(n, block.data());
    }
    since += count * (bs + sizeof(Hash64));
    if (progress) progress(*bytes_done += count * (bs + sizeof(Hash64)), 0);
  });
  require_whole_sum(check_trailer(r), r.name(), e.info.checksum);
}

// The bytes of the chain's data files: what reading them all takes.
std::uint64_t chain_bytes(const fs::path& dir, const std::vector<const ChainEntry*>& chain) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (const ChainEntry* e : chain) {
    std::uintmax_t n = fs::file_size(dir / e->info.file, ec);
    if (!ec) total += n;
    ec.clear();
  }
  return total;
}

// Verifies every file of the chain (entries from a full backup on) without
// handing out any block.  progress counts the bytes read.
void verify_chain(const fs::path& dir, const std::vector<const ChainEntry*>& chain, const Progress& progress,
                  std::uint64_t* done) {
  Hash64 parent_sum = 0;
  for (const ChainEntry* e : chain) {
    if (e->kind == BackupKind::full) read_full(dir, *e, {}, false, progress, done);
    else read_delta(dir, *e, parent_sum, {}, false, progress, done);
    parent_sum = e->info.checksum;
  }
}

// The point asked for (none: the newest) and its chain, from the catalog.
std::vector<const ChainEntry*> chain_of(const fs::path& dir, const Catalog& cat,
                                        std::optional<std::uint32_t> point) {
  if (!point && !cat.latest()) throw FormatError::missing(Catalog::kFileName, "the catalog lists no backup point");
  return cat.chain_to(point ? *point : cat.latest()->sequence);
}

Catalog load_existing(const fs::path& dir) {
  std::optional<Catalog> cat = Catalog::load(dir);
  if (!cat) throw FormatError::missing(dir.string(), std::string("not a backup directory: it has no ") + Catalog::kFileName);
  return std::move(*cat);
}

// Writes n bytes to fd at the current position (a stream) or at offset.
void write_out(int fd, const void* data, std::size_t n, std::optional<std::uint64_t> offset) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n) {
    ssize_t w = offset ? ::pwrite(fd, p, n, static_cast<off_t>(*offset)) : ::write(fd, p, n);
    if (w < 0 && errno == EINTR) {
      check_interrupt();  // a signal that asks to stop ends a write blocked on a stream
      continue;
    }
    if (w < 0) throw std::system_error(errno, std::generic_category(), "cannot write the restored image");
    p += w;
    n -= static_cast<std::size_t>(w);
    if (offset) *offset += static_cast<std::uint64_t>(w);
  }
}

RestoreResult result_of(const std::vector<const ChainEntry*>& chain) {
  RestoreResult r;
  r.point = chain.back()->sequence;
  r.files_applied = chain.size();
  r.block_size = chain.back()->block_size;
  r.block_count = chain.back()->block_count;
  return r;
}

}  // namespace

RestoreResult restore(const fs::path& dir, std::optional<std::uint32_t> point, const fs::path& out_image,
                      const Progress& progress) {
  DirLock lock(dir, DirLock::Mode::shared, "a restore");
  Catalog cat = load_existing(dir);
  std::vector<const ChainEntry*> chain = chain_of(dir, cat, point);
  const ChainEntry& last = *chain.back();

  AtomicFile out(out_image);
  const std::uint64_t bs = last.block_size;
  const std::uint64_t total = chain_bytes(dir, chain);
  out.truncate(static_cast<std::uint64_t>(last.block_count) * bs);
  BlockSink to_image = [&](std::uint32_t n, const std::uint8_t* data) { out.pwrite(data, bs, n * bs); };
  BlockSink from_full = [&](std::uint32_t n, const std::uint8_t* data) {
    if (!all_zero(data, bs)) out.pwrite(data, bs, n * bs);  // the output stays sparse
  };
  Progress step;
  if (progress) {
    progress(0, total);
    step = [&](std::uint64_t d, std::uint64_t) { progress(std::min(d, total), total); };
  }
  Hash64 parent_sum = 0;
  std::uint64_t bytes = 0;
  for (const ChainEntry* e : chain) {
    if (e->kind == BackupKind::full) read_full(dir, *e, from_full, false, step, &bytes);
    else read_delta(dir, *e, parent_sum, to_image, false, step, &bytes);
    parent_sum = e->info.checksum;
  }
  check_interrupt();
  out.commit();
  if (progress) progress(total, total);
  return result_of(chain);
}

RestoreResult restore_to_fd(const fs::path& dir, std::optional<std::uint32_t> point, int fd, bool seekable,
                            const Progress& progress) {
  DirLock lock(dir, DirLock::Mode::shared, "a restore");
  Catalog cat = load_existing(dir);
  std::vector<const ChainEntry*> chain = chain_of(dir, cat, point);
  const ChainEntry& last = *chain.back();
  const std::uint32_t count = last.block_count;
  const std::size_t bs = last.block_size;
  // Progress counts the chain's bytes read to verify it, then the image's
  // bytes written.
  const std::uint64_t verify_bytes = chain_bytes(dir, chain);
  const std::uint64_t total = verify_bytes + static_cast<std::uint64_t>(count) * bs;
  std::uint64_t done = 0;
  Progress step;
  if (progress) {
    progress(0, total);
    step = [&](std::uint64_t d, std::uint64_t) { progress(std::min(d, verify_bytes), total); };
  }
  verify_chain(dir, chain, step, &done);  // nothing is written unless the whole chain is good

  // Each block comes from the newest file of the chain that holds it: the
  // deltas' data, in block order, or the full backup's image.
  struct Source {
    std::unique_ptr<HashedReader> reader;
    BlockBitmap changed;     // deltas
    std::uint64_t next = 0;  // offset of the next changed block's checksum
  };
  std::vector<Source> sources;
  Hash64 parent_sum = 0;
  for (const ChainEntry* e : chain) {
    Source src;
    src.reader = std::make_unique<HashedReader>(dir / e->info.file);
    if (e->kind == BackupKind::incremental) {
      DeltaHead d = read_delta_head(*src.reader, *e, parent_sum);
      src.changed = std::move(d.changed);
      src.next = d.data_offset;
    }
    parent_sum = e->info.checksum;
    sources.push_back(std::move(src));
  }
  std::vector<std::uint8_t> run(static_cast<std::size_t>(kRunBlocks) * bs);
  std::optional<std::uint64_t> at;
  if (seekable) at = 0;
  for (std::uint32_t first = 0; first < count; first += kRunBlocks) {
    check_interrupt();
    const std::uint32_t n = std::min(kRunBlocks, count - first);
    sources[0].reader->read_at(run.data(), n * bs, static_cast<std::uint64_t>(first) * bs, "image");
    for (std::size_t k = 1; k < sources.size(); k++) {
      Source& src = sources[k];
      for (std::uint32_t i = 0; i < n; i++) {
        if (!src.changed.test(first + i)) continue;
        src.reader->read_at(run.data() + i * bs, bs, src.next + sizeof(Hash64), "block data");
        src.next += sizeof(Hash64) + bs;
      }
    }
    write_out(fd, run.data(), n * bs, at);
    if (at) at = static_cast<std::uint64_t>(first + n) * bs;
    if (progress) progress(verify_bytes + static_cast<std::uint64_t>(first + n) * bs, total);
  }
  if (seekable && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
    throw std::system_error(errno, std::generic_category(), "cannot flush the restored image");
  return result_of(chain);
}

VerifyReport verify(const fs::path& dir, const VerifyOptions& opts) {
  DirLock lock(dir, DirLock::Mode::shared, "a verify");
  Catalog cat = load_existing(dir);
  VerifyReport rep;
  std::vector<const ChainEntry*> entries;
  if (opts.point) {
    entries = cat.chain_to(*opts.point);
  } else {
    for (const ChainEntry& e : cat.entries) entries.push_back(&e);
  }
  std::uint64_t total = 0, done = 0;
  std::error_code ec;
  for (const ChainEntry* e : entries) {
    total += fs::file_size(dir / e->info.file, ec);
    if (ec) ec.clear();
  }
  std::set<std::uint32_t> bad;  // points whose own files are bad
  for (const ChainEntry* e : entries) {
    check_interrupt();
    Hash64 parent_sum = 0;
    std::vector<std::string> files = {e->info.file};
    if (e->kind == BackupKind::full) files.insert(files.begin(), e->info.index);
    FileCheck fc;
    fc.point = e->sequence;
    fc.kind = e->kind;
    fc.file = e->info.file;
    try {
      if (e->parent) {
        const ChainEntry* p = cat.find(*e->parent);
        if (!p) throw FormatError(Catalog::kFileName, "entry " + std::to_string(e->sequence) + " has no parent in the catalog");
        parent_sum = p->info.checksum;
      }
      Progress step;
      if (opts.progress) step = [&](std::uint64_t d, std::uint64_t) { opts.progress(d, total); };
      if (e->kind == BackupKind::full) read_full(dir, *e, {}, opts.quick, step, &done);
      else read_delta(dir, *e, parent_sum, {}, opts.quick, step, &done);
    } catch (const FormatError& err) {
      fc.ok = false;
      fc.missing = err.kind() == FormatError::Kind::missing;
      fc.file = err.file();
      fc.message = err.what();
      fc.block = err.block();
      bad.insert(e->sequence);
      if (rep.ok) {
        rep.ok = false;
        rep.file = err.file();
        rep.block = err.block();
        rep.message = err.what();
      }
    }
    rep.files_checked += files.size();
    rep.points_checked++;
    rep.files.push_back(std::move(fc));
  }
  // A point is restorable when every file of its chain is good.
  for (const ChainEntry* e : entries) {
    bool good = true;
    try {
      for (const ChainEntry* c : cat.chain_to(e->sequence))
        if (bad.count(c->sequence)) good = false;
    } catch (const FormatError&) {
      good = false;
    }
    (good ? rep.restorable : rep.unrestorable).push_back(e->sequence);
  }
  rep.leftovers = find_leftovers(dir, &cat);
  return rep;
}

}  // namespace cowguard::agent
