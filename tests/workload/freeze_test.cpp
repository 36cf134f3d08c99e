// The writer at the frozen instants of freeze_bdev: the instants it records
// are clean file systems holding exactly the recorded files and equal the
// device at the frozen instant; no block is written while frozen; freezing
// a busy writer, stopping or destroying it while frozen do not hang.
#include <ext2fs/ext2fs.h>

#include <future>
#include <thread>

#include "fsops.h"
#include "workload_fixture.h"

namespace {

using namespace wltest;
using namespace std::chrono_literals;

class FreezeTest : public WorkloadTest {
 protected:
  void SetUp() override {
    WorkloadTest::SetUp();
    m_ = Mounted(4096, 32 << 20);
    bdev_ = bdget(m_.part);
    ASSERT_NE(nullptr, bdev_);
  }
  void TearDown() override {
    sb::set_freeze_hook({});
    if (bdev_) bdput(bdev_);
    WorkloadTest::TearDown();
  }
  // freeze_bdev and thaw_bdev run on one task of their own, as the module's
  // snapshot does (on 2.6.18 the mount lock is a mutex that only its owner
  // may release), each within a deadline.
  struct super_block* Freeze() {
    std::promise<struct super_block*> frozen;
    auto got = frozen.get_future();
    thaw_ = std::promise<void>();
    freezer_ = std::thread([this, &frozen, go = thaw_.get_future()]() mutable {
      struct super_block* s = freeze_bdev(bdev_);
      frozen.set_value(s);
      go.wait();
      thaw_bdev(bdev_, s);
    });
    struct super_block* s = nullptr;
    WithinSeconds(30, [&] { s = got.get(); }, "freeze_bdev");
    EXPECT_NE(nullptr, s);
    return s;
  }
  void Thaw(struct super_block*) {
    thaw_.set_value();
    WithinSeconds(30, [&] { freezer_.join(); }, "thaw_bdev");
  }
  std::thread freezer_;
  std::promise<void> thaw_;
  static wl::WorkloadOptions Opts(unsigned threads) {
    wl::WorkloadOptions o;
    o.threads = threads;
    o.seed = 99;
    o.max_file_size = 128 * 1024;
    return o;
  }

  wl::MountedImage m_;
  struct block_device* bdev_ = nullptr;
};

TEST_F(FreezeTest, InstantsOfFreezeCyclesAreCleanAndEqualTheFrozenDevice) {
  std::vector<std::vector<std::uint8_t>> at_hook;
  sb::set_freeze_hook([&](sb::devnum dev, struct super_block*) {
    if (dev == m_.part) at_hook.push_back(sb::device_bytes(dev));
  });
  auto w = Open(m_.part, Opts(2));
  ASSERT_NE(nullptr, w);
  w->start();
  constexpr unsigned kCycles = 4;
  for (unsigned i = 0; i < kCycles; i++) {
    ASSERT_TRUE(w->wait_for_operations(w->operations() + 5, 20s)) << w->error();
    struct super_block* s = Freeze();
    EXPECT_TRUE(w->frozen());
    std::uint64_t ops = w->operations();
    long writes = m_.disk->counters().writes;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ops, w->operations()) << "no operation while frozen";
    EXPECT_EQ(writes, m_.disk->counters().writes) << "no write while frozen";
    Thaw(s);
    EXPECT_FALSE(w->frozen());
  }
  ASSERT_TRUE(w->wait_for_operations(w->operations() + 3, 20s)) << "goes on after a thaw";
  w->stop();
  EXPECT_EQ("", w->error());

  std::vector<wl::FrozenInstant> fis = w->take_instants();
  ASSERT_EQ(kCycles, fis.size());
  ASSERT_EQ(kCycles, at_hook.size());
  EXPECT_TRUE(w->take_instants().empty()) << "moved out";
  EXPECT_EQ(kCycles, w->instants_recorded());
  for (unsigned i = 0; i < kCycles; i++) {
    EXPECT_EQ(i, fis[i].seq);
    if (i) {
      EXPECT_LT(fis[i - 1].ops_done, fis[i].ops_done);
    }
    EXPECT_TRUE(fis[i].device == at_hook[i]) << "instant " << i << " is the frozen device";
    ExpectImageHolds(Save("fi" + std::to_string(i) + ".img", fis[i].device), fis[i]);
  }
}

// Opens a copy of an instant for writing with libext2fs.
struct RwImage {
  explicit RwImage(const std::string& path) {
    EXPECT_EQ(0, ext2fs_open2(path.c_str(), nullptr, EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0,
                              unix_io_manager, &fs));
    if (fs) {
      EXPECT_EQ(0, ext2fs_read_bitmaps(fs));
    }
  }
  ~RwImage() {
    if (fs) {
      EXPECT_EQ(0, wl::fsops::flush_fs(fs));
      ext2fs_close_free(&fs);
    }
  }
  ext2_ino_t Lookup(const std::string& path) {
    ext2_ino_t ino = 0;
    EXPECT_EQ(0, ext2fs_namei(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, path.c_str(), &ino)) << path;
    return ino;
  }
  ext2_filsys fs = nullptr;
};

TEST_F(FreezeTest, AnInstantChangedAfterwardsFailsTheCheck) {
  auto w = Open(m_.part, Opts(1));
  ASSERT_NE(nullptr, w);
  ASSERT_TRUE(w->run(60)) << w->error();
  Thaw(Freeze());
  auto fis = w->take_instants();
  ASSERT_EQ(1u, fis.size());
  const wl::FrozenInstant& fi = fis[0];
  ASSERT_GE(fi.files.size(), 2u);
  const wl::FileRecord* target = nullptr;
  for (const auto& f : fi.files)
    if (f.size > 0) target = &f;
  ASSERT_NE(nullptr, target);

  // One byte of one file changed in place: same size, other checksum.
  std::string changed = Save("changed.img", fi.device);
  {
    RwImage img(changed);
    ext2_ino_t ino = img.Lookup(target->path);
    std::uint8_t b = 0;
    ext2_file_t f;
    ASSERT_EQ(0, ext2fs_file_open(img.fs, ino, 0, &f));
    ASSERT_EQ(0, ext2fs_file_read(f, &b, 1, nullptr));
    ASSERT_EQ(0, ext2fs_file_close(f));
    b ^= 0x01;
    ASSERT_EQ(0, wl::fsops::write_at(img.fs, ino, 0, &b, 1));
  }
  std::string out;
  EXPECT_TRUE(wl::run_e2fsck(changed, &out)) << out;
  wl::CheckReport rep;
  EXPECT_FALSE(wl::check_image(changed, fi, &rep));
  ASSERT_EQ(1u, rep.problems.size()) << rep.text();
  EXPECT_EQ(0u, rep.problems[0].find(target->path + ": checksum ")) << rep.problems[0];

  // A file deleted, another added.
  std::string moved = Save("moved.img", fi.device);
  {
    RwImage img(moved);
    const std::string& victim = fi.files[0].path;
    std::string dir = victim.substr(0, victim.rfind('/'));
    ext2_ino_t parent = dir.empty() ? EXT2_ROOT_INO : img.Lookup(dir);
    ASSERT_EQ(0, wl::fsops::delete_file(img.fs, parent, victim.substr(victim.rfind('/') + 1),
                                        img.Lookup(victim)));
    ext2_ino_t extra = 0;
    ASSERT_EQ(0, wl::fsops::create_file(img.fs, EXT2_ROOT_INO, "extra", &extra));
  }
  EXPECT_TRUE(wl::run_e2fsck(moved, &out)) << out;
  EXPECT_FALSE(wl::check_image(moved, fi, &rep));
  EXPECT_EQ((std::vector<std::string>{"missing file " + fi.files[0].path, "unexpected file /extra"}),
            rep.problems);
}

TEST_F(FreezeTest, FreezingABusyWriterRepeatedlyNeitherHangsNorSplitsAnOperation) {
  m_.disk->set_delay_us(200);  // operations in flight for longer
  auto w = Open(m_.part, Opts(3));
  ASSERT_NE(nullptr, w);
  w->set_keep_device_bytes(false);
  w->start();
  constexpr unsigned kCycles = 16;
  for (unsigned i = 0; i < kCycles; i++) {
    ASSERT_TRUE(w->wait_for_operations(w->operations() + 1, 20s)) << w->error();
    w->set_keep_device_bytes(i % 6 == 5);
    struct super_block* s = Freeze();
    Thaw(s);
  }
  WithinSeconds(30, [&] { w->stop(); }, "stop");
  EXPECT_EQ("", w->error());
  auto fis = w->take_instants();
  ASSERT_EQ(kCycles, fis.size());
  sb::FsInfo info;
  ASSERT_TRUE(sb::fs_info(m_.part, &info));
  EXPECT_EQ(long(kCycles), info.lockfs_calls);
  EXPECT_EQ(long(kCycles), info.unlockfs_calls);
  EXPECT_LE(fis[0].ops_done + kCycles - 1, fis.back().ops_done);
  for (unsigned i = 0; i < kCycles; i++) {
    EXPECT_EQ(i, fis[i].seq);
    if (i) {
      EXPECT_LT(fis[i - 1].ops_done, fis[i].ops_done);
    }
    EXPECT_EQ(i % 6 == 5, !fis[i].device.empty()) << i;
    if (!fis[i].device.empty())
      ExpectImageHolds(Save("busy" + std::to_string(i) + ".img", fis[i].device), fis[i]);
  }
}

TEST_F(FreezeTest, StopAndDestructionWhileFrozenArePromptAndWriteNothing) {
  auto w = Open(m_.part, Opts(2));
  ASSERT_NE(nullptr, w);
  w->start();
  ASSERT_TRUE(w->wait_for_operations(10, 20s)) << w->error();
  struct super_block* s = Freeze();
  WithinSeconds(10, [&] { w->stop(); }, "stop while frozen");
  EXPECT_FALSE(w->running());
  // Started again it waits for the thaw; destroyed while frozen it writes
  // nothing and leaves the thaw to work.
  w->start();
  std::this_thread::sleep_for(20ms);
  auto fis = w->take_instants();
  ASSERT_EQ(1u, fis.size());
  EXPECT_EQ(fis[0].ops_done, w->operations());
  WithinSeconds(10, [&] { w.reset(); }, "destruction while frozen");
  EXPECT_TRUE(sb::device_bytes(m_.part) == fis[0].device);
  Thaw(s);
  Thaw(Freeze());  // no callback of the destroyed writer runs
  sb::FsInfo info;
  ASSERT_TRUE(sb::fs_info(m_.part, &info));
  EXPECT_EQ(2, info.lockfs_calls);
  ExpectImageHolds(Save("after.img", sb::device_bytes(m_.part)), fis[0]);
}

TEST_F(FreezeTest, AWorkloadDoesNotOpenAFrozenFileSystem) {
  struct super_block* s = Freeze();
  std::string err;
  EXPECT_EQ(nullptr, wl::Ext4Workload::open(m_.part, {}, &err));
  EXPECT_NE(std::string::npos, err.find("frozen")) << err;
  Thaw(s);
  EXPECT_NE(nullptr, Open(m_.part));
}

}  // namespace

namespace {

// The block checksums recorded at an instant, instead of the device's
// bytes: they match a copy of the device taken at the same instant, and
// they name the first used block a later change touches.
TEST_F(FreezeTest, BlockChecksumsOfAnInstantMatchItsDeviceAndCatchAChangedBlock) {
  wl::WorkloadOptions o = Opts(2);
  o.block_sums_dir = dir_;
  o.keep_device_bytes = false;
  auto w = Open(m_.part, o);
  ASSERT_NE(nullptr, w);
  w->start();
  ASSERT_TRUE(w->wait_for_operations(10, 20s)) << w->error();
  struct super_block* s = Freeze();
  std::string copy = Save("sums.img", sb::device_bytes(m_.part));
  Thaw(s);
  WithinSeconds(30, [&] { w->stop(); }, "stop");
  auto fis = w->take_instants();
  ASSERT_EQ(1u, fis.size());
  const wl::FrozenInstant& fi = fis[0];
  EXPECT_TRUE(fi.device.empty());
  ASSERT_EQ(Path("instant-0.sums"), fi.block_sums_file);
  EXPECT_EQ(4096u, fi.block_size);
  EXPECT_GT(fi.used_blocks, 0u);
  EXPECT_EQ(fi.used_blocks * 16, std::filesystem::file_size(fi.block_sums_file));
  wl::BlockSumCompare c = wl::compare_block_sums(copy, fi);
  EXPECT_TRUE(c.ok()) << c.error << " " << c.differing << " blocks differ";
  EXPECT_EQ(fi.used_blocks, c.compared);

  // One byte of the last used block changed, and one of an unused block.
  std::uint64_t rec[2];
  {
    std::FILE* f = std::fopen(fi.block_sums_file.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::fseek(f, -16, SEEK_END);
    ASSERT_EQ(1u, std::fread(rec, sizeof rec, 1, f));
    std::fclose(f);
  }
  std::vector<std::uint8_t> img(std::filesystem::file_size(copy));
  {
    std::FILE* f = std::fopen(copy.c_str(), "rb");
    ASSERT_EQ(img.size(), std::fread(img.data(), 1, img.size(), f));
    std::fclose(f);
  }
  img[rec[0] * 4096 + 17] ^= 1;
  std::string changed = Save("changed-sums.img", img);
  c = wl::compare_block_sums(changed, fi);
  EXPECT_FALSE(c.ok());
  EXPECT_EQ(1u, c.differing);
  EXPECT_EQ(rec[0], c.first_differing);
  // An image cut short is unreadable, not equal.
  img.resize(rec[0] * 4096);
  c = wl::compare_block_sums(Save("short.img", img), fi);
  EXPECT_FALSE(c.readable);
  EXPECT_NE(std::string::npos, c.error.find("ends before block")) << c.error;
}

}  // namespace
