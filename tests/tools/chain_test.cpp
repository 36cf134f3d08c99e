// `cowguard restore` and `cowguard verify` over a real backup directory (a
// full and an incremental backup of a test file system): results, and exit
// codes and messages for missing and corrupt input.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "backup.h"
#include "chain.h"
#include "exit_codes.h"
#include "format.h"
#include "standin/block.h"
#include "support/kernel_test.h"

namespace fs = std::filesystem;
namespace blk = standin::block;
namespace tool = cowguard::tool;
namespace agent = cowguard::agent;

namespace {

std::vector<std::uint8_t> ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void FlipByte(const fs::path& p, std::uint64_t off) {
  std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(static_cast<std::streamoff>(off));
  char c = 0;
  f.read(&c, 1);
  f.seekp(static_cast<std::streamoff>(off));
  c = static_cast<char>(c ^ 0x5a);
  f.write(&c, 1);
}

class ChainCommands : public ModuleTest {
 protected:
  static constexpr std::uint32_t kBlock = 4096;

  void SetUp() override {
    ModuleTest::SetUp();
    dir_ = fs::temp_directory_path() / ("cowguard-chain-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    disk_ = blk::Disk::ram(16384);
    ASSERT_TRUE(disk_);
    ASSERT_TRUE(blk::write_mbr(*disk_, {{.start = 2048, .sectors = 8192}}));
    ASSERT_EQ(0, disk_->rescan());
    part_ = disk_->part_dev(1);
    ASSERT_TRUE(blk::format_testfs(part_, kBlock));
    ASSERT_EQ(0, blk::mount(part_));
    std::vector<std::uint8_t> data(2 * kBlock, 0x31);
    ASSERT_EQ(0, blk::fs_write(part_, 8 * kBlock, data.data(), data.size()));

    agent::BackupOptions o;
    o.major = blk::major_of(part_);
    o.minor = blk::minor_of(part_);
    o.dir = dir_ / "b";
    agent::full_backup(o);
    first_ = blk::device_bytes(part_);
    std::fill(data.begin(), data.end(), 0x47);
    ASSERT_EQ(0, blk::fs_write(part_, 9 * kBlock, data.data(), data.size()));
    auto r = agent::incremental_backup(o);
    ASSERT_EQ(agent::BackupKind::incremental, r.kind) << r.fallback_reason;
    second_ = blk::device_bytes(part_);
  }
  void TearDown() override {
    blk::umount(part_);
    disk_.reset();
    fs::remove_all(dir_);
    ModuleTest::TearDown();
  }

  int Verify(bool json = false) {
    out_.str("");
    err_.str("");
    tool::VerifyArgs a;
    a.dir = (dir_ / "b").string();
    a.json = json;
    a.progress = false;
    return tool::verify_command(a, out_, err_);
  }
  int Restore(std::optional<std::uint32_t> point, const fs::path& output, bool json = false) {
    out_.str("");
    err_.str("");
    tool::RestoreArgs a;
    a.dir = (dir_ / "b").string();
    a.point = point;
    a.output = output.string();
    a.json = json;
    a.progress = false;
    return tool::restore_command(a, out_, err_);
  }
  std::vector<std::uint8_t> Head(const std::vector<std::uint8_t>& v, std::size_t n) {
    return {v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(n, v.size()))};
  }

  fs::path dir_;
  std::unique_ptr<blk::Disk> disk_;
  blk::devnum part_ = 0;
  std::vector<std::uint8_t> first_, second_;
  std::ostringstream out_, err_;
};

TEST_F(ChainCommands, RestoresEveryPointAndVerifiesTheChain) {
  EXPECT_EQ(tool::kExitOk, Verify()) << err_.str();
  EXPECT_NE(std::string::npos, out_.str().find("2 backup points")) << out_.str();

  fs::path img = dir_ / "latest.img";
  ASSERT_EQ(tool::kExitOk, Restore(std::nullopt, img)) << err_.str();
  EXPECT_NE(std::string::npos, out_.str().find("restored backup point 2 (2 files)")) << out_.str();
  auto latest = ReadFile(img);
  ASSERT_EQ(1024u * kBlock, latest.size());
  EXPECT_TRUE(latest == Head(second_, latest.size()));

  fs::path one = dir_ / "one.img";
  ASSERT_EQ(tool::kExitOk, Restore(1, one)) << err_.str();
  auto p1 = ReadFile(one);
  EXPECT_TRUE(p1 == Head(first_, p1.size()));
  EXPECT_FALSE(p1 == latest);

  ASSERT_EQ(tool::kExitOk, Verify(true));
  auto j = nlohmann::json::parse(out_.str());
  EXPECT_TRUE(j["ok"].get<bool>());
  ASSERT_EQ(2u, j["points"].size());
  EXPECT_EQ("incremental", j["points"][1]["kind"]);
}

TEST_F(ChainCommands, MissingInputsExitThreeAndSayWhat) {
  fs::path img = dir_ / "x.img";
  EXPECT_EQ(tool::kExitMissing, Restore(7, img));
  EXPECT_NE(std::string::npos, err_.str().find("no backup point 7")) << err_.str();
  EXPECT_NE(std::string::npos, err_.str().find("(points: 1, 2)")) << err_.str();
  EXPECT_FALSE(fs::exists(img));

  EXPECT_EQ(tool::kExitMissing, Restore(std::nullopt, dir_ / "no" / "such" / "x.img"));
  EXPECT_NE(std::string::npos, err_.str().find("for the output")) << err_.str();

  fs::remove(dir_ / "b" / agent::delta_name(2));
  EXPECT_EQ(tool::kExitMissing, Verify());
  EXPECT_NE(std::string::npos, err_.str().find(agent::delta_name(2) + ": missing (backup point 2")) << err_.str();
  EXPECT_NE(std::string::npos, out_.str().find("restorable points: 1\n")) << out_.str();
  EXPECT_EQ(tool::kExitMissing, Restore(std::nullopt, img));
  EXPECT_FALSE(fs::exists(img));
  // The point before the missing file still restores.
  EXPECT_EQ(tool::kExitOk, Restore(1, img)) << err_.str();
}

TEST_F(ChainCommands, CorruptInputsExitFourAndLeaveNoOutput) {
  fs::path img = dir_ / "x.img";
  // A flipped byte in block 2 of the full image.
  FlipByte(dir_ / "b" / agent::image_name(1), 2 * kBlock + 100);
  EXPECT_EQ(tool::kExitCorrupt, Verify());
  EXPECT_NE(std::string::npos, err_.str().find(agent::image_name(1))) << err_.str();
  EXPECT_NE(std::string::npos, err_.str().find("block 2")) << err_.str();
  EXPECT_EQ(tool::kExitCorrupt, Restore(std::nullopt, img));
  // One message, the file named once.
  EXPECT_EQ("cowguard restore: " + agent::image_name(1) + ": block checksum mismatch (block 2)\n", err_.str());
  EXPECT_FALSE(fs::exists(img));
  FlipByte(dir_ / "b" / agent::image_name(1), 2 * kBlock + 100);  // mended
  EXPECT_EQ(tool::kExitOk, Verify()) << err_.str();

  // A truncated delta file.
  fs::path delta = dir_ / "b" / agent::delta_name(2);
  fs::resize_file(delta, fs::file_size(delta) / 2);
  EXPECT_EQ(tool::kExitCorrupt, Verify());
  EXPECT_EQ(tool::kExitCorrupt, Restore(2, img));
  EXPECT_FALSE(fs::exists(img));
  ASSERT_EQ(tool::kExitCorrupt, Verify(true));
  auto j = nlohmann::json::parse(out_.str());
  EXPECT_FALSE(j["ok"].get<bool>());
  EXPECT_EQ(tool::kExitCorrupt, j["exit_code"].get<int>());

  // A catalog that is not one.
  std::ofstream(dir_ / "b" / agent::Catalog::kFileName) << "{ not json";
  EXPECT_EQ(tool::kExitCorrupt, Verify());
  EXPECT_NE(std::string::npos, err_.str().find("catalog.json")) << err_.str();
}

}  // namespace
