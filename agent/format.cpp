#include "format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>

namespace cowguard::agent {

namespace fs = std::filesystem;

namespace {

constexpr char kDeltaMagic[8] = {'C', 'G', 'D', 'E', 'L', 'T', 'A', '1'};
constexpr char kIndexMagic[8] = {'C', 'G', 'I', 'N', 'D', 'E', 'X', '1'};
constexpr char kTrailerMagic[8] = {'C', 'G', 'E', 'N', 'D', '0', '0', '1'};
constexpr std::uint32_t kFormatVersion = 1;

// Header of a delta file and of an image index (little-endian, packed by
// construction: every field on its natural boundary).
struct FileHeader {
  char magic[8];
  std::uint32_t version;
  std::uint32_t block_size;
  std::uint32_t block_count;  // blocks of the device: bits of the bitmap
  std::uint32_t blocks;       // blocks in the file (delta) or taken (image)
  std::uint64_t ref;          // delta: checksum of the parent file; index: of the image
  std::int64_t time;
  std::uint32_t sequence;
  std::uint32_t header_size;
  std::uint64_t header_sum;   // of the bytes before it
};
static_assert(sizeof(FileHeader) == 56);

struct Trailer {
  char magic[8];
  std::uint64_t file_sum;  // of every byte before the trailer
};
static_assert(sizeof(Trailer) == 16);

[[noreturn]] void sys_fail(const std::string& what, const fs::path& p) {
  throw std::system_error(errno, std::generic_category(), what + " " + p.string());
}

class Hasher {
 public:
  Hasher() : s_(XXH3_createState()) {
    if (!s_) throw std::bad_alloc();
    XXH3_64bits_reset(s_);
  }
  ~Hasher() { XXH3_freeState(s_); }
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;
  void update(const void* p, std::size_t n) { XXH3_64bits_update(s_, p, n); }
  Hash64 digest() const { return XXH3_64bits_digest(s_); }

 private:
  XXH3_state_t* s_;
};

Hash64 header_sum(const FileHeader& h) { return XXH3_64bits(&h, offsetof(FileHeader, header_sum)); }

FileHeader make_header(const char (&magic)[8], std::uint32_t block_size, std::uint32_t block_count,
                       std::uint32_t blocks, Hash64 ref, std::int64_t time, std::uint32_t sequence) {
  FileHeader h{};
  std::memcpy(h.magic, magic, 8);
  h.version = kFormatVersion;
  h.block_size = block_size;
  h.block_count = block_count;
  h.blocks = blocks;
  h.ref = ref;
  h.time = time;
  h.sequence = sequence;
  h.header_size = sizeof(FileHeader);
  h.header_sum = header_sum(h);
  return h;
}

// Reads a file from the start, hashing every byte it hands out.
class HashedReader {
 public:
  explicit HashedReader(const fs::path& p) : path_(p), name_(p.filename().string()) {
    fd_ = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw FormatError(name_, std::string("cannot open: ") + std::strerror(errno));
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw FormatError(name_, "cannot stat");
    size_ = static_cast<std::uint64_t>(st.st_size);
  }
  ~HashedReader() { ::close(fd_); }
  HashedReader(const HashedReader&) = delete;
  HashedReader& operator=(const HashedReader&) = delete;

  const std::string& name() const { return name_; }
  std::uint64_t size() const { return size_; }
  std::uint64_t offset() const { return off_; }
  Hash64 digest() const { return h_.digest(); }

  // Reads exactly n bytes; a short file is a truncated one.
  void read(void* buf, std::size_t n, const char* what, bool hash = true) {
    auto* p = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(off_ + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw FormatError(name_, std::string("read error: ") + std::strerror(errno));
      if (r == 0) throw FormatError(name_, std::string("truncated file: ends inside the ") + what);
      done += static_cast<std::size_t>(r);
    }
    if (hash) h_.update(p, n);
    off_ += n;
  }
  void expect_end() const {
    if (off_ != size_) throw FormatError(name_, "unexpected bytes after the end of the file");
  }

 private:
  fs::path path_;
  std::string name_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t off_ = 0;
  Hasher h_;
};

void check_header(const FileHeader& h, const char (&magic)[8], const std::string& file) {
  if (std::memcmp(h.magic, magic, 8) != 0) throw FormatError(file, "bad magic: not a cowguard file of this kind");
  if (h.header_sum != header_sum(h)) throw FormatError(file, "corrupt header: checksum mismatch");
  if (h.version != kFormatVersion)
    throw FormatError(file, "unsupported format version " + std::to_string(h.version));
  if (h.header_size != sizeof(FileHeader)) throw FormatError(file, "corrupt header: bad header size");
  if (h.block_size == 0 || h.block_size % 512 || h.block_size > (1u << 20))
    throw FormatError(file, "corrupt header: bad block size " + std::to_string(h.block_size));
}

// Reads and checks the trailer; returns the checksum of the whole file,
// trailer included (the one the catalog records).
Hash64 check_trailer(HashedReader& r) {
  Hash64 expect = r.digest();
  Trailer t{};
  if (r.size() - r.offset() < sizeof t) throw FormatError(r.name(), "truncated file: no trailer");
  r.read(&t, sizeof t, "trailer");
  if (std::memcmp(t.magic, kTrailerMagic, 8) != 0) throw FormatError(r.name(), "truncated file: no trailer");
  if (t.file_sum != expect) throw FormatError(r.name(), "file checksum mismatch");
  r.expect_end();
  return r.digest();
}

Trailer make_trailer(Hash64 sum) {
  Trailer t{};
  std::memcpy(t.magic, kTrailerMagic, 8);
  t.file_sum = sum;
  return t;
}

std::string seq_name(const char* prefix, std::uint32_t seq, const char* ext) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s-%06u.%s", prefix, seq, ext);
  return buf;
}

}  // namespace

// ---- small helpers ---------------------------------------------------------------

std::string hash_hex(Hash64 h) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::optional<Hash64> hash_from_hex(const std::string& s) {
  if (s.size() != 16) return std::nullopt;
  Hash64 v = 0;
  for (char c : s) {
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<unsigned>(d);
  }
  return v;
}

Hash64 block_hash(const void* data, std::size_t size, std::uint32_t block) {
  return XXH3_64bits_withSeed(data, size, block);
}

FormatError::FormatError(const std::string& file, const std::string& what,
                         std::optional<std::uint32_t> block)
    : std::runtime_error(file + ": " + what + (block ? " (block " + std::to_string(*block) + ")" : "")),
      file_(file),
      block_(block) {}

std::string_view kind_name(BackupKind k) { return k == BackupKind::full ? "full" : "incremental"; }
std::string image_name(std::uint32_t s) { return seq_name("full", s, "img"); }
std::string index_name(std::uint32_t s) { return seq_name("full", s, "idx"); }
std::string delta_name(std::uint32_t s) { return seq_name("delta", s, "cgd"); }

void sync_directory(const fs::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) sys_fail("cannot open directory", dir);
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  if (rc != 0) {
    errno = err;
    sys_fail("cannot fsync directory", dir);
  }
}

// ---- AtomicFile ------------------------------------------------------------------

AtomicFile::AtomicFile(fs::path final_path) : final_(std::move(final_path)) {
  std::random_device rd;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".tmp-%08x", static_cast<unsigned>(rd()));
  temp_ = final_;
  temp_ += suffix;
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) sys_fail("cannot create", temp_);
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

void AtomicFile::write(const void* data, std::size_t len) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (len) {
    ssize_t w = ::write(fd_, p, len);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) sys_fail("cannot write", temp_);
    p += w;
    len -= static_cast<std::size_t>(w);
  }
}

void AtomicFile::pwrite(const void* data, std::size_t len, std::uint64_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (len) {
    ssize_t w = ::pwrite(fd_, p, len, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) sys_fail("cannot write", temp_);
    p += w;
    offset += static_cast<std::uint64_t>(w);
    len -= static_cast<std::size_t>(w);
  }
}

void AtomicFile::truncate(std::uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) sys_fail("cannot size", temp_);
}

void AtomicFile::commit() {
  if (::fsync(fd_) != 0) sys_fail("cannot fsync", temp_);
  int rc = ::close(fd_);
  fd_ = -1;
  if (rc != 0) sys_fail("cannot close", temp_);
  if (::rename(temp_.c_str(), final_.c_str()) != 0) sys_fail("cannot rename", temp_);
  committed_ = true;
  sync_directory(final_.has_parent_path() ? final_.parent_path() : fs::path("."));
}

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

  AtomicFile index(p_->dir / index_name(p_->sequence));
  Hasher h;
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

  Impl(const fs::path& d, std::uint32_t seq, std::uint32_t bs, const BlockBitmap& ch)
      : block_size(bs), changed(ch), file(d / delta_name(seq)), expected(ch.count()) {}
  void out(const void* d, std::size_t n) {
    sum.update(d, n);
    file.write(d, n);
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
    p_->out(&h, sizeof h);
    p_->out(b, bs);
  }
  p_->next = first + count;
  p_->blocks += count;
  p_->written += static_cast<std::uint64_t>(count) * bs;
}

FileInfo DeltaWriter::finish() {
  if (p_->blocks != p_->expected) throw std::logic_error("DeltaWriter: not every changed block was written");
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

// ---- Catalog ---------------------------------------------------------------------

namespace {

using nlohmann::json;

Hash64 json_hash(const json& j, const char* field, const std::string& file) {
  auto h = hash_from_hex(j.at(field).get<std::string>());
  if (!h) throw FormatError(file, std::string("bad checksum text in ") + field);
  return *h;
}

// A name from the catalog must stay inside the backup directory.
std::string safe_name(const json& j, const char* field) {
  std::string s = j.at(field).get<std::string>();
  if (s.empty() || s.find('/') != std::string::npos || s == "." || s == "..")
    throw FormatError(Catalog::kFileName, std::string("bad file name in ") + field + ": " + s);
  return s;
}

}  // namespace

std::optional<Catalog> Catalog::load(const fs::path& dir) {
  fs::path p = dir / kFileName;
  std::ifstream in(p);
  if (!in) {
    if (!fs::exists(p)) return std::nullopt;
    throw FormatError(kFileName, "cannot read the catalog");
  }
  Catalog c;
  try {
    json j = json::parse(in);
    if (j.at("format").get<std::string>() != "cowguard-catalog" || j.at("version").get<int>() != 1)
      throw FormatError(kFileName, "not a cowguard catalog of version 1");
    c.major = j.at("major").get<unsigned>();
    c.minor = j.at("minor").get<unsigned>();
    c.block_size = j.at("block_size").get<std::uint32_t>();
    c.block_count = j.at("block_count").get<std::uint32_t>();
    if (!j.at("key").is_null()) {
      c.key = key_from_hex(j.at("key").get<std::string>());
      if (!c.key) throw FormatError(kFileName, "bad key text");
    }
    for (const json& e : j.at("chain")) {
      ChainEntry ce;
      ce.sequence = e.at("sequence").get<std::uint32_t>();
      std::string kind = e.at("kind").get<std::string>();
      if (kind == "full") ce.kind = BackupKind::full;
      else if (kind == "incremental") ce.kind = BackupKind::incremental;
      else throw FormatError(kFileName, "unknown backup kind " + kind);
      if (!e.at("parent").is_null()) ce.parent = e.at("parent").get<std::uint32_t>();
      ce.time = e.at("time").get<std::int64_t>();
      ce.info.file = safe_name(e, "file");
      ce.info.checksum = json_hash(e, "checksum", kFileName);
      if (ce.kind == BackupKind::full) {
        ce.info.index = safe_name(e, "index");
        ce.info.index_checksum = json_hash(e, "index_checksum", kFileName);
      }
      ce.info.blocks = e.at("blocks").get<std::uint64_t>();
      ce.info.bytes_written = e.at("bytes").get<std::uint64_t>();
      if ((ce.kind == BackupKind::full) != !ce.parent)
        throw FormatError(kFileName, "entry " + std::to_string(ce.sequence) + ": a full backup has no parent, an incremental one has one");
      c.entries.push_back(std::move(ce));
    }
  } catch (const json::exception& e) {
    throw FormatError(kFileName, std::string("malformed catalog: ") + e.what());
  }
  return c;
}

void Catalog::save(const fs::path& dir) const {
  json chain = json::array();
  for (const ChainEntry& e : entries) {
    json je = {{"sequence", e.sequence},
               {"kind", std::string(kind_name(e.kind))},
               {"parent", e.parent ? json(*e.parent) : json(nullptr)},
               {"time", e.time},
               {"file", e.info.file},
               {"checksum", hash_hex(e.info.checksum)},
               {"blocks", e.info.blocks},
               {"bytes", e.info.bytes_written}};
    if (e.kind == BackupKind::full) {
      je["index"] = e.info.index;
      je["index_checksum"] = hash_hex(e.info.index_checksum);
    }
    chain.push_back(std::move(je));
  }
  json j = {{"format", "cowguard-catalog"},
            {"version", 1},
            {"major", major},
            {"minor", minor},
            {"block_size", block_size},
            {"block_count", block_count},
            {"key", key ? json(key_to_hex(*key)) : json(nullptr)},
            {"chain", chain}};
  std::string text = j.dump(2) + "\n";
  AtomicFile f(dir / kFileName);
  f.write(text.data(), text.size());
  f.commit();
}

const ChainEntry* Catalog::find(std::uint32_t sequence) const {
  for (const ChainEntry& e : entries)
    if (e.sequence == sequence) return &e;
  return nullptr;
}

const ChainEntry* Catalog::latest() const { return entries.empty() ? nullptr : &entries.back(); }

std::uint32_t Catalog::next_sequence() const {
  std::uint32_t n = 0;
  for (const ChainEntry& e : entries) n = std::max(n, e.sequence);
  return n + 1;
}

std::vector<const ChainEntry*> Catalog::chain_to(std::uint32_t sequence) const {
  std::vector<const ChainEntry*> chain;
  const ChainEntry* e = find(sequence);
  if (!e) throw FormatError(kFileName, "no backup with sequence " + std::to_string(sequence));
  while (e) {
    if (chain.size() > entries.size()) throw FormatError(kFileName, "the chain loops");
    chain.push_back(e);
    if (!e->parent) break;
    const ChainEntry* parent = find(*e->parent);
    if (!parent)
      throw FormatError(kFileName, "entry " + std::to_string(e->sequence) + " names a parent " +
                                       std::to_string(*e->parent) + " that is not in the catalog");
    e = parent;
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

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

// Checks a full backup (index and image) and hands every block to the sink.
void read_full(const fs::path& dir, const Catalog& cat, const ChainEntry& e, const BlockSink& sink) {
  HashedReader idx(dir / e.info.index);
  FileHeader hdr{};
  idx.read(&hdr, sizeof hdr, "header");
  check_header(hdr, kIndexMagic, idx.name());
  if (hdr.block_size != cat.block_size || hdr.block_count != cat.block_count)
    throw FormatError(idx.name(), "block size or count differs from the catalog's");
  if (hdr.sequence != e.sequence) throw FormatError(idx.name(), "sequence differs from the catalog's");
  BlockBitmap taken;
  {
    std::vector<std::uint8_t> bytes((static_cast<std::size_t>(hdr.block_count) + 7) / 8);
    idx.read(bytes.data(), bytes.size(), "taken-block bitmap");
    taken = BlockBitmap(std::move(bytes), hdr.block_count);
  }
  std::vector<Hash64> sums(hdr.block_count);
  idx.read(sums.data(), sums.size() * sizeof(Hash64), "block checksums");
  require_whole_sum(check_trailer(idx), idx.name(), e.info.index_checksum);

  HashedReader img(dir / e.info.file);
  const std::uint64_t bs = hdr.block_size;
  if (img.size() < hdr.block_count * bs) throw FormatError(img.name(), "truncated image");
  std::vector<std::uint8_t> buf(kRunBlocks * bs);
  for (std::uint32_t first = 0; first < hdr.block_count; first += kRunBlocks) {
    std::uint32_t n = std::min(kRunBlocks, hdr.block_count - first);
    img.read(buf.data(), n * bs, "image");
    for (std::uint32_t i = 0; i < n; i++) {
      const std::uint8_t* b = buf.data() + i * bs;
      if (block_hash(b, bs, first + i) != sums[first + i])
        throw FormatError(img.name(), "block checksum mismatch", first + i);
      if (sink) sink(first + i, b);
    }
  }
  img.expect_end();
  if (img.digest() != hdr.ref) throw FormatError(img.name(), "image checksum does not match its index");
  require_whole_sum(img.digest(), img.name(), e.info.checksum);
}

// Checks a delta file and hands its blocks to the sink.  parent_sum is the
// checksum of the file it applies to.
void read_delta(const fs::path& dir, const Catalog& cat, const ChainEntry& e, Hash64 parent_sum,
                const BlockSink& sink) {
  HashedReader r(dir / e.info.file);
  FileHeader hdr{};
  r.read(&hdr, sizeof hdr, "header");
  check_header(hdr, kDeltaMagic, r.name());
  if (hdr.block_size != cat.block_size || hdr.block_count != cat.block_count)
    throw FormatError(r.name(), "block size or count differs from the catalog's");
  if (hdr.sequence != e.sequence) throw FormatError(r.name(), "sequence differs from the catalog's");
  if (hdr.ref != parent_sum)
    throw FormatError(r.name(), "wrong parent: the file does not apply to the backup before it");
  std::vector<std::uint8_t> bytes((static_cast<std::size_t>(hdr.block_count) + 7) / 8);
  r.read(bytes.data(), bytes.size(), "changed-block bitmap");
  BlockBitmap changed(bytes, hdr.block_count);
  if (changed.count() != hdr.blocks || !std::equal(bytes.begin(), bytes.end(), changed.bytes().begin()))
    throw FormatError(r.name(), "changed-block bitmap does not match the header's block count");
  const std::size_t bs = hdr.block_size;
  std::vector<std::uint8_t> block(bs);
  changed.for_each_run(kRunBlocks, [&](std::uint32_t first, std::uint32_t count) {
    for (std::uint32_t n = first; n < first + count; n++) {
      Hash64 want = 0;
      r.read(&want, sizeof want, "block data");
      r.read(block.data(), bs, "block data");
      if (block_hash(block.data(), bs, n) != want) throw FormatError(r.name(), "block checksum mismatch", n);
      if (sink) sink(n, block.data());
    }
  });
  require_whole_sum(check_trailer(r), r.name(), e.info.checksum);
}

}  // namespace

void restore(const fs::path& dir, std::optional<std::uint32_t> point, const fs::path& out_image) {
  std::optional<Catalog> cat = Catalog::load(dir);
  if (!cat) throw FormatError(Catalog::kFileName, "no catalog in " + dir.string());
  const ChainEntry* last = point ? cat->find(*point) : cat->latest();
  if (!last) throw FormatError(Catalog::kFileName, point ? "no backup with sequence " + std::to_string(*point) : "the catalog is empty");
  std::vector<const ChainEntry*> chain = cat->chain_to(last->sequence);

  AtomicFile out(out_image);
  const std::uint64_t bs = cat->block_size;
  out.truncate(static_cast<std::uint64_t>(cat->block_count) * bs);
  std::vector<std::uint8_t> zero(bs, 0);
  BlockSink to_image = [&](std::uint32_t n, const std::uint8_t* data) {
    out.pwrite(data, bs, n * bs);
  };
  BlockSink from_full = [&](std::uint32_t n, const std::uint8_t* data) {
    if (!all_zero(data, bs)) out.pwrite(data, bs, n * bs);  // the output stays sparse
  };
  Hash64 parent_sum = 0;
  for (const ChainEntry* e : chain) {
    if (e->kind == BackupKind::full) read_full(dir, *cat, *e, from_full);
    else read_delta(dir, *cat, *e, parent_sum, to_image);
    parent_sum = e->info.checksum;
  }
  out.commit();
}

VerifyReport verify(const fs::path& dir) {
  VerifyReport rep;
  try {
    std::optional<Catalog> cat = Catalog::load(dir);
    if (!cat) throw FormatError(Catalog::kFileName, "no catalog in " + dir.string());
    for (const ChainEntry& e : cat->entries) {
      Hash64 parent_sum = 0;
      if (e.parent) {
        const ChainEntry* p = cat->find(*e.parent);
        if (!p) throw FormatError(Catalog::kFileName, "entry " + std::to_string(e.sequence) + " has no parent in the catalog");
        parent_sum = p->info.checksum;
      }
      if (e.kind == BackupKind::full) read_full(dir, *cat, e, {});
      else read_delta(dir, *cat, e, parent_sum, {});
      rep.files_checked++;
    }
  } catch (const FormatError& e) {
    rep.ok = false;
    rep.file = e.file();
    rep.block = e.block();
    rep.message = e.what();
  }
  return rep;
}

}  // namespace cowguard::agent
