// Backup files without the module: a chain of a full image and deltas built
// with the writers, restored at every point and verified; corrupt headers,
// flipped block bytes, truncated files and wrong parents are refused with a
// message naming the file (and block), and a refused restore leaves nothing
// under the output name.  Also the catalog's text form and the block bitmap.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/files.h"
#include "bitmap.h"
#include "format.h"

namespace fs = std::filesystem;
using namespace cowguard::agent;

namespace {

constexpr std::uint32_t kBs = 1024;
constexpr std::uint32_t kBlocks = 300;  // more than one read run of 256

using Image = std::vector<std::uint8_t>;

std::vector<std::uint8_t> read_file(const fs::path& p) {
  return cgtest::ReadFileBytes(p);
}

void write_file(const fs::path& p, const std::vector<std::uint8_t>& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

class ChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cg-format-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    dir_ = tmpl;
    out_dir_ = dir_ / "out";
    fs::create_directory(out_dir_);
    rng_.seed(12345);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void randomize(Image& img, std::uint32_t block) {
    for (std::uint32_t i = 0; i < kBs; i++) img[block * kBs + i] = static_cast<std::uint8_t>(rng_());
  }

  // Writes the given blocks of `img` with a writer, run by run.
  template <typename W>
  void put_blocks(W& w, const BlockBitmap& map, const Image& img) {
    map.for_each_run(256, [&](std::uint32_t first, std::uint32_t count) {
      w.put(first, count, img.data() + static_cast<std::size_t>(first) * kBs);
    });
  }

  // A full backup of a device image in which only `taken` blocks count.
  ChainEntry make_full(std::uint32_t seq, const Image& device, const BlockBitmap& taken, Image* expect) {
    ImageWriter w(dir_, seq, 1000 + seq, kBs, taken);
    put_blocks(w, taken, device);
    ChainEntry e;
    e.sequence = seq;
    e.kind = BackupKind::full;
    e.time = 1000 + seq;
    e.block_size = kBs;
    e.block_count = kBlocks;
    e.info = w.finish();
    expect->assign(device.size(), 0);
    for (std::uint32_t n = 0; n < kBlocks; n++)
      if (taken.test(n)) std::copy_n(device.begin() + n * kBs, kBs, expect->begin() + n * kBs);
    return e;
  }

  ChainEntry make_delta(std::uint32_t seq, const ChainEntry& parent, const Image& device,
                        const BlockBitmap& changed, Image* expect, Hash64 parent_id = 0) {
    DeltaWriter w(dir_, seq, 1000 + seq, kBs, parent_id ? parent_id : parent.info.checksum, changed);
    put_blocks(w, changed, device);
    ChainEntry e;
    e.sequence = seq;
    e.kind = BackupKind::incremental;
    e.parent = parent.sequence;
    e.chain = parent.chain;
    e.time = 1000 + seq;
    e.block_size = kBs;
    e.block_count = kBlocks;
    e.info = w.finish();
    for (std::uint32_t n = 0; n < kBlocks; n++)
      if (changed.test(n)) std::copy_n(device.begin() + n * kBs, kBs, expect->begin() + n * kBs);
    return e;
  }

  // Full (every third block not taken), then two deltas.
  void build_chain() {
    Image device(static_cast<std::size_t>(kBlocks) * kBs);
    for (std::uint32_t n = 0; n < kBlocks; n++) randomize(device, n);
    BlockBitmap taken(kBlocks);
    for (std::uint32_t n = 0; n < kBlocks; n++)
      if (n % 3) taken.set(n);
    cat_ = Catalog{};
    cat_.block_size = kBs;
    cat_.block_count = kBlocks;
    cat_.major = 8;
    cat_.minor = 1;
    cat_.entries.push_back(make_full(1, device, taken, &expect_[0]));

    BlockBitmap c1(kBlocks);
    for (std::uint32_t n : {0u, 5u, 6u, 7u, 255u, 256u, 257u, 299u}) {
      c1.set(n);
      randomize(device, n);
    }
    expect_[1] = expect_[0];
    cat_.entries.push_back(make_delta(2, cat_.entries[0], device, c1, &expect_[1]));

    BlockBitmap c2(kBlocks);
    for (std::uint32_t n : {3u, 5u, 100u}) {
      c2.set(n);
      randomize(device, n);
    }
    expect_[2] = expect_[1];
    cat_.entries.push_back(make_delta(3, cat_.entries[1], device, c2, &expect_[2]));
    cat_.save(dir_);
  }

  // What is in the output directory besides `keep`.
  std::vector<std::string> out_files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(out_dir_)) names.push_back(e.path().filename().string());
    return names;
  }

  void flip(const fs::path& p, std::uint64_t offset) {
    auto b = read_file(p);
    ASSERT_LT(offset, b.size());
    b[offset] ^= 0x40;
    write_file(p, b);
  }

  fs::path dir_, out_dir_;
  std::mt19937 rng_;
  Catalog cat_;
  Image expect_[3];
};

// Offset of the data of the k-th block stored in a delta file.
std::uint64_t delta_block_offset(std::size_t k) {
  return 56 + (kBlocks + 7) / 8 + k * (8 + kBs) + 8;
}

TEST_F(ChainTest, RestoresEveryPointOfTheChainAndVerifies) {
  build_chain();
  for (std::uint32_t point = 1; point <= 3; point++) {
    fs::path out = out_dir_ / ("point" + std::to_string(point) + ".img");
    restore(dir_, point, out);
    EXPECT_EQ(expect_[point - 1], read_file(out)) << "point " << point;
  }
  // No point: the latest.
  restore(dir_, std::nullopt, out_dir_ / "latest.img");
  EXPECT_EQ(expect_[2], read_file(out_dir_ / "latest.img"));

  VerifyReport rep = verify(dir_);
  EXPECT_TRUE(rep.ok) << rep.message;
  EXPECT_EQ(4u, rep.files_checked);  // the image, its index and two deltas
  EXPECT_EQ(3u, rep.points_checked);
  EXPECT_EQ((std::vector<std::uint32_t>{1, 2, 3}), rep.restorable);
  // The image is the device's size; the catalog records what the writers counted.
  EXPECT_EQ(static_cast<std::uintmax_t>(kBlocks) * kBs, fs::file_size(dir_ / image_name(1)));
  auto loaded = Catalog::load(dir_);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(200u, loaded->entries[0].info.blocks);
  EXPECT_EQ(8u, loaded->entries[1].info.blocks);
  EXPECT_EQ(3u * kBs, loaded->entries[2].info.bytes_written);
}

TEST_F(ChainTest, CorruptHeaderIsRefusedAndNothingIsRestored) {
  build_chain();
  flip(dir_ / delta_name(3), 12);  // the block size field
  fs::path out = out_dir_ / "x.img";
  try {
    restore(dir_, 3, out);
    FAIL() << "restore accepted a corrupt header";
  } catch (const FormatError& e) {
    EXPECT_EQ(delta_name(3), e.file());
    EXPECT_NE(std::string::npos, std::string(e.what()).find("corrupt header")) << e.what();
  }
  EXPECT_TRUE(out_files().empty());
  // Earlier points do not need the file.
  restore(dir_, 2, out);
  EXPECT_EQ(expect_[1], read_file(out));

  VerifyReport rep = verify(dir_);
  EXPECT_FALSE(rep.ok);
  EXPECT_EQ(delta_name(3), rep.file);
  EXPECT_FALSE(rep.block);
}

TEST_F(ChainTest, FlippedBlockByteIsNamedByFileAndBlock) {
  build_chain();
  // Delta 2 holds blocks 0, 5, 6, 7, 255, ...: the fourth stored one is block 7.
  flip(dir_ / delta_name(2), delta_block_offset(3) + 100);
  VerifyReport rep = verify(dir_);
  EXPECT_FALSE(rep.ok);
  EXPECT_EQ(delta_name(2), rep.file);
  ASSERT_TRUE(rep.block);
  EXPECT_EQ(7u, *rep.block);
  EXPECT_THROW(restore(dir_, 3, out_dir_ / "x.img"), FormatError);
  EXPECT_TRUE(out_files().empty());
}

TEST_F(ChainTest, FlippedImageByteIsNamedByBlock) {
  build_chain();
  flip(dir_ / image_name(1), 42u * kBs + 7);
  VerifyReport rep = verify(dir_);
  EXPECT_FALSE(rep.ok);
  EXPECT_EQ(image_name(1), rep.file);
  ASSERT_TRUE(rep.block);
  EXPECT_EQ(42u, *rep.block);
  // A byte written into a block that was not taken is found as well.
  build_chain();
  flip(dir_ / image_name(1), 3u * kBs);
  rep = verify(dir_);
  ASSERT_TRUE(rep.block);
  EXPECT_EQ(3u, *rep.block);
}

TEST_F(ChainTest, TruncatedFileIsRefusedAndAnEarlierOutputStays) {
  build_chain();
  fs::path out = out_dir_ / "keep.img";
  write_file(out, {1, 2, 3});
  for (std::uint64_t cut : {5ull, 16ull, 2000ull}) {
    build_chain();
    fs::path p = dir_ / delta_name(3);
    fs::resize_file(p, fs::file_size(p) - cut);
    try {
      restore(dir_, 3, out);
      FAIL() << "restore accepted a file cut by " << cut;
    } catch (const FormatError& e) {
      EXPECT_EQ(delta_name(3), e.file());
      EXPECT_NE(std::string::npos, std::string(e.what()).find("truncated")) << e.what();
    }
    EXPECT_EQ((std::vector<std::uint8_t>{1, 2, 3}), read_file(out));
    EXPECT_EQ(std::vector<std::string>{"keep.img"}, out_files());
  }
  // A truncated image too.
  build_chain();
  fs::resize_file(dir_ / image_name(1), static_cast<std::uintmax_t>(kBlocks - 1) * kBs);
  EXPECT_THROW(restore(dir_, 1, out), FormatError);
  EXPECT_EQ((std::vector<std::uint8_t>{1, 2, 3}), read_file(out));
}

TEST_F(ChainTest, DeltaOfAnotherParentIsRefused) {
  build_chain();
  // Delta 3 rewritten as if it applied to another backup.
  Image device(static_cast<std::size_t>(kBlocks) * kBs, 7);
  BlockBitmap c(kBlocks);
  c.set(9);
  Image scratch = expect_[1];
  cat_.entries[2] = make_delta(3, cat_.entries[1], device, c, &scratch, 0x1234);
  cat_.save(dir_);
  try {
    restore(dir_, 3, out_dir_ / "x.img");
    FAIL() << "restore applied a delta of another parent";
  } catch (const FormatError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("wrong parent")) << e.what();
  }
  EXPECT_TRUE(out_files().empty());
  EXPECT_FALSE(verify(dir_).ok);
}

TEST_F(ChainTest, FileThatDiffersFromTheCatalogIsRefused) {
  build_chain();
  // A valid file of the same chain under another entry's name.
  fs::copy_file(dir_ / delta_name(2), dir_ / delta_name(3), fs::copy_options::overwrite_existing);
  EXPECT_THROW(restore(dir_, 3, out_dir_ / "x.img"), FormatError);
  VerifyReport rep = verify(dir_);
  EXPECT_FALSE(rep.ok);
  EXPECT_EQ(delta_name(3), rep.file);
}

TEST_F(ChainTest, CatalogRoundTripAndRefusals) {
  build_chain();
  Key k{};
  for (std::size_t i = 0; i < k.size(); i++) k[i] = static_cast<std::uint8_t>(i * 7 + 1);
  cat_.key = k;
  cat_.save(dir_);
  auto c = Catalog::load(dir_);
  ASSERT_TRUE(c);
  EXPECT_EQ(k, c->key);
  EXPECT_EQ(8u, c->major);
  EXPECT_EQ(1u, c->minor);
  ASSERT_EQ(3u, c->entries.size());
  EXPECT_EQ(BackupKind::incremental, c->entries[2].kind);
  EXPECT_EQ(2u, c->entries[2].parent.value());
  EXPECT_EQ(cat_.entries[2].info.checksum, c->entries[2].info.checksum);
  EXPECT_EQ(4u, c->next_sequence());
  ASSERT_EQ(3u, c->chain_to(3).size());
  EXPECT_EQ(1u, c->chain_to(3).front()->sequence);
  // The key is kept as text that reads back only as a whole key.
  EXPECT_EQ(k, key_from_hex(key_to_hex(k)));
  EXPECT_FALSE(key_from_hex(key_to_hex(k).substr(2)));
  EXPECT_FALSE(key_from_hex(std::string(112, 'g')));

  std::string text;
  {
    std::ifstream in(dir_ / Catalog::kFileName);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto save_text = [&](const std::string& t) {
    std::ofstream out(dir_ / Catalog::kFileName, std::ios::trunc);
    out << t;
  };
  save_text(text.substr(0, text.size() / 2));
  EXPECT_THROW(Catalog::load(dir_), FormatError);
  std::string escaped = text;
  escaped.replace(escaped.find(delta_name(2)), delta_name(2).size(), "../etc/passwd");
  save_text(escaped);
  EXPECT_THROW(Catalog::load(dir_), FormatError);
  fs::remove(dir_ / Catalog::kFileName);
  EXPECT_FALSE(Catalog::load(dir_));
  EXPECT_THROW(restore(dir_, 1, out_dir_ / "x.img"), FormatError);
}

TEST(AtomicFileTest, UncommittedFileLeavesNothingAndCommitReplaces) {
  char tmpl[] = "/tmp/cg-atomic-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(tmpl));
  fs::path dir = tmpl;
  fs::path p = dir / "f";
  write_file(p, {9});
  {
    AtomicFile f(p);
    f.write("abc", 3);
    EXPECT_TRUE(fs::exists(f.temp_path()));
  }
  EXPECT_EQ(std::vector<std::uint8_t>{9}, read_file(p));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  {
    AtomicFile f(p);
    f.write("abc", 3);
    f.commit();
  }
  EXPECT_EQ((std::vector<std::uint8_t>{'a', 'b', 'c'}), read_file(p));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  fs::remove_all(dir);
}

TEST(BlockBitmapTest, LayoutRunsAndIntersection) {
  BlockBitmap m(20);
  m.set(0);
  m.set(9);
  m.set(10);
  m.set(11);
  m.set(19);
  m.set(20);  // beyond the end: ignored
  EXPECT_EQ(3u, m.bytes().size());
  EXPECT_EQ(0x01, m.bytes()[0]);
  EXPECT_EQ(0x0e, m.bytes()[1]);
  EXPECT_EQ(0x08, m.bytes()[2]);
  EXPECT_EQ(5u, m.count());
  std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
  m.for_each_run(2, [&](std::uint32_t f, std::uint32_t c) { runs.emplace_back(f, c); });
  EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 1}, {9, 2}, {11, 1}, {19, 1}}), runs);

  BlockBitmap all(20, true);
  EXPECT_EQ(20u, all.count());
  EXPECT_EQ(0x0f, all.bytes()[2]);  // no bits past the end
  BlockBitmap other(12);
  other.set(10);
  other.set(0);
  all.intersect(other);
  EXPECT_EQ(2u, all.count());
  EXPECT_TRUE(all.test(0));
  EXPECT_TRUE(all.test(10));
  EXPECT_FALSE(all.test(19));
  // Bytes that carry bits past the end are trimmed when taken over.
  BlockBitmap t(std::vector<std::uint8_t>{0xff}, 3);
  EXPECT_EQ(3u, t.count());
  EXPECT_THROW(BlockBitmap(std::vector<std::uint8_t>{0, 0}, 3), std::invalid_argument);
}

}  // namespace

namespace {

// A catalog written before directories recorded their source: read with
// the directory's geometry on every entry, one chain per full backup, and
// its points restore as before.
TEST_F(ChainTest, CatalogOfTheFirstVersionIsReadAndItsPointsRestore) {
  build_chain();
  nlohmann::json j;
  {
    std::ifstream in(dir_ / Catalog::kFileName);
    j = nlohmann::json::parse(in);
  }
  j["version"] = 1;
  j["major"] = 8;
  j["minor"] = 1;
  j["block_size"] = kBs;
  j["block_count"] = kBlocks;
  j.erase("source");
  for (auto& e : j["chain"]) {
    e.erase("chain");
    e.erase("block_size");
    e.erase("block_count");
  }
  {
    std::ofstream out(dir_ / Catalog::kFileName, std::ios::trunc);
    out << j.dump(2);
  }
  auto c = Catalog::load(dir_);
  ASSERT_TRUE(c);
  EXPECT_EQ(static_cast<std::uint64_t>(kBlocks) * kBs, c->device_bytes);
  EXPECT_FALSE(c->fs_uuid);
  for (const ChainEntry& e : c->entries) {
    EXPECT_EQ(1u, e.chain);
    EXPECT_EQ(kBs, e.block_size);
    EXPECT_EQ(kBlocks, e.block_count);
  }
  restore(dir_, 3, out_dir_ / "v1.img");
  EXPECT_EQ(expect_[2], read_file(out_dir_ / "v1.img"));
  // Saved again, it is a catalog of the current version.
  c->save(dir_);
  std::ifstream in(dir_ / Catalog::kFileName);
  EXPECT_EQ(Catalog::kVersion, nlohmann::json::parse(in)["version"].get<int>());
}

TEST(SourceIdentityTest, TheFileSystemsUuidDecidesWhenBothHaveOne) {
  SourceIdentity a;
  a.major = 8;
  a.minor = 1;
  a.device_bytes = 64 << 20;
  a.block_size = 4096;
  SourceIdentity b = a;
  EXPECT_TRUE(a.same_as(b));
  b.device_bytes += 1 << 20;  // resized, no UUID to tell: another source
  EXPECT_FALSE(a.same_as(b));
  a.fs_uuid = "u1";
  b.fs_uuid = "u1";  // the same file system, grown
  EXPECT_TRUE(a.same_as(b));
  b.device_bytes = a.device_bytes;
  b.fs_uuid = "u2";  // another file system of the same size
  EXPECT_FALSE(a.same_as(b));
  b.fs_uuid.reset();  // the file system gone: the device decides
  EXPECT_TRUE(a.same_as(b));
  EXPECT_NE(std::string::npos, a.describe().find("UUID u1")) << a.describe();
}

TEST(DirLockTest, WritersExcludeEachOtherAndReadersAndSayWhoTheyAre) {
  char tmpl[] = "/tmp/cg-lock-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(tmpl));
  fs::path dir = tmpl;
  {
    DirLock w(dir, DirLock::Mode::exclusive, "a full backup of device 8:1");
    try {
      DirLock w2(dir, DirLock::Mode::exclusive, "another");
      FAIL() << "two writers";
    } catch (const LockBusy& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find("a full backup of device 8:1 (process ")) << e.what();
    }
    EXPECT_THROW(DirLock(dir, DirLock::Mode::shared, "a verify"), LockBusy);
  }
  {
    DirLock r1(dir, DirLock::Mode::shared, "a verify");
    DirLock r2(dir, DirLock::Mode::shared, "a restore");  // readers share
    try {
      DirLock w(dir, DirLock::Mode::exclusive, "a backup");
      FAIL() << "a writer beside readers";
    } catch (const LockBusy& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find("a reader")) << e.what();
    }
  }
  DirLock again(dir, DirLock::Mode::exclusive, "a backup");  // free once they are gone
  EXPECT_THROW(DirLock(dir / "missing", DirLock::Mode::shared, "a verify"), FormatError);
  fs::remove_all(dir);
}

}  // namespace
