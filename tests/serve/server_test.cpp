// The daemon's machine in process: the write gate that takes part in a
// freeze, the checks made before anything starts (missing, locked and
// corrupt images), exports as bios on the block layer, backups of a mounted
// partition under writers (each point restored and compared with the
// device at its frozen instant), one backup at a time, cancel, and the
// control socket's protocol, including what a hostile client sends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"
#include "control.h"
#include "exit_codes.h"
#include "format.h"
#include "gate.h"
#include "server.h"
#include "workload/workload.h"

namespace fs = std::filesystem;
namespace serve = cowguard::serve;
namespace tool = cowguard::tool;
namespace agent = cowguard::agent;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_all(const fs::path& p) {
  return cgtest::ReadFileBytes(p);
}

struct TempDir {
  fs::path path;
  TempDir() {
    std::string t = (fs::temp_directory_path() / "cg-serve-XXXXXX").string();
    path = ::mkdtemp(t.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// ---- the write gate ---------------------------------------------------------

TEST(WriteGate, FreezeWaitsForWritesInFlightAndHoldsNewOnesOnItsRangeOnly) {
  serve::WriteGate g;
  auto inside = g.enter({100, 8});
  std::atomic<bool> frozen{false};
  std::thread freezer([&] {
    g.freeze({96, 64});
    frozen = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(frozen) << "the freeze returned with a write in flight on its range";
  // A write elsewhere on the disk is not held, even while the freeze waits.
  auto elsewhere = g.enter({0, 8});
  g.leave(elsewhere);
  g.leave(inside);
  freezer.join();
  EXPECT_TRUE(frozen);

  std::atomic<bool> written{false};
  std::thread writer([&] {
    auto t = g.enter({150, 20});  // overlaps the frozen range's end
    written = true;
    g.leave(t);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(written) << "a write went through a frozen range";
  EXPECT_EQ(g.held_writes(), 1u);
  auto after = g.enter({160, 4});  // just past it: goes on
  g.leave(after);
  g.thaw({96, 64});
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(g.in_flight(), 0u);
}

TEST(WriteGate, TwoFrozenRangesThawIndependently) {
  serve::WriteGate g;
  g.freeze({0, 10});
  g.freeze({20, 10});
  g.thaw({0, 10});
  auto a = g.enter({0, 10});
  g.leave(a);
  std::atomic<bool> written{false};
  std::thread w([&] {
    auto t = g.enter({25, 1});
    written = true;
    g.leave(t);
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(written);
  g.thaw({20, 10});
  w.join();
}

// ---- checks before the start ------------------------------------------------------

serve::ServerOptions options(const std::vector<std::string>& images) {
  serve::ServerOptions o;
  o.images = images;
  o.module_path = CG_MODULE_PATH;
  return o;
}

int start_error(const serve::ServerOptions& o, std::string* msg) {
  try {
    auto s = serve::Server::prepare(o);
    s->start();
  } catch (const serve::StartError& e) {
    *msg = e.what();
    return e.exit_code();
  }
  return 0;
}

TEST(ServerStart, RefusesMissingLockedDirectoryAndCorruptImagesWithTheirExitCodes) {
  TempDir d;
  std::string msg;
  EXPECT_EQ(start_error(options({(d.path / "nope.img").string()}), &msg), tool::kExitMissing);
  EXPECT_NE(msg.find("nope.img"), std::string::npos) << msg;

  EXPECT_EQ(start_error(options({d.path.string()}), &msg), tool::kExitUsage);
  EXPECT_NE(msg.find("not a regular file"), std::string::npos) << msg;

  const std::string img = (d.path / "disk.img").string();
  ASSERT_TRUE(cowguard::workload::make_disk_image(img, 16 << 20, 1024, nullptr));
  {
    // Another holder of the image's lock (another daemon).
    int fd = ::open(img.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(start_error(options({img}), &msg), tool::kExitFailed);
    EXPECT_NE(msg.find("in use"), std::string::npos) << msg;
    ::close(fd);
  }
  EXPECT_EQ(start_error(options({img, img}), &msg), tool::kExitUsage);

  // A partition that ends beyond the disk: the table is corrupt.
  Bytes b = read_all(img);
  const std::uint32_t huge = 1u << 30;
  std::memcpy(&b[446 + 16 + 12], &huge, 4);
  const std::string bad = (d.path / "bad.img").string();
  std::ofstream(bad, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
  EXPECT_EQ(start_error(options({bad}), &msg), tool::kExitCorrupt);
  EXPECT_NE(msg.find("partition 2"), std::string::npos) << msg;
  EXPECT_NE(msg.find("corrupt"), std::string::npos) << msg;
}

// ---- a started server --------------------------------------------------------------

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = (dir_.path / "disk.img").string();
    ASSERT_TRUE(cowguard::workload::make_disk_image(image_, 32 << 20, 1024, &layout_));
    auto o = options({image_});
    o.truth_dir = (dir_.path / "truth").string();
    server_ = serve::Server::prepare(o);
    server_->start();
    sda1_ = server_->find("sda1");
    ASSERT_NE(sda1_, nullptr);
  }
  void TearDown() override { server_.reset(); }

  // Random writes of 1 to 64 sectors to sda1 until stopped.
  void start_writer(unsigned seed) {
    writer_ = std::thread([this, seed] {
      std::mt19937_64 rng(seed);
      std::vector<std::uint8_t> buf(64 * 512);
      const std::uint64_t sectors = sda1_->range.count;
      while (!stop_) {
        std::uint32_t n = 1 + rng() % 64;
        std::uint64_t at = rng() % (sectors - n);
        for (auto& x : buf) x = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(server_->write(*sda1_, buf.data(), n * 512, at * 512), 0);
        writes_++;
      }
    });
  }
  void stop_writer() {
    stop_ = true;
    if (writer_.joinable()) writer_.join();
  }

  // Restores a point and compares it with the ground truth of its frozen instant.
  void expect_point_is_truth(const json& r) {
    ASSERT_TRUE(r.value("ok", false)) << r.dump();
    ASSERT_TRUE(r.contains("truth_file")) << r.dump();
    const fs::path out = dir_.path / "restored.img";
    agent::restore(dir_.path / "bk", r["point"].get<std::uint32_t>(), out);
    Bytes got = read_all(out), want = read_all(r["truth_file"].get<std::string>());
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "point " << r["point"] << " differs from the device at its frozen instant";
  }

  TempDir dir_;
  std::string image_;
  cowguard::workload::DiskLayout layout_;
  std::unique_ptr<serve::Server> server_;
  const serve::Export* sda1_ = nullptr;
  std::thread writer_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> writes_{0};
};

TEST_F(ServerTest, ExportsTheDiskAndItsPartitionsAndMountsTheOneWithAFileSystem) {
  const auto& ex = server_->exports();
  ASSERT_EQ(ex.size(), 3u);
  EXPECT_EQ(ex[0].name, "sda");
  EXPECT_EQ(ex[0].range.count * 512, 32u << 20);
  EXPECT_EQ(ex[1].name, "sda1");
  EXPECT_TRUE(ex[1].mounted);
  EXPECT_EQ(ex[1].block_size, 1024u);
  EXPECT_EQ(ex[2].name, "sda2");
  EXPECT_FALSE(ex[2].mounted);
  EXPECT_EQ(server_->default_export(), "sda1");
  EXPECT_EQ(ex[1].range.first, layout_.parts[0].start_sector);
}

TEST_F(ServerTest, WritesThroughAPartitionLandInTheImageAtItsPlaceAndReadBackThroughTheDisk) {
  Bytes pattern(8192);
  for (std::size_t i = 0; i < pattern.size(); i++) pattern[i] = static_cast<std::uint8_t>(i * 7 + 3);
  ASSERT_EQ(server_->write(*sda1_, pattern.data(), 8192, 4096), 0);
  Bytes back(8192);
  const serve::Export* sda = server_->find("sda");
  ASSERT_EQ(server_->read(*sda, back.data(), 8192, sda1_->range.first * 512 + 4096), 0);
  EXPECT_EQ(back, pattern);
  EXPECT_EQ(server_->write(*sda1_, pattern.data(), 100, 0), -EINVAL) << "a write that is not whole sectors";
  EXPECT_EQ(server_->write(*sda1_, pattern.data(), 1024, sda1_->range.count * 512), -EINVAL)
      << "a write beyond the export";
  ASSERT_EQ(server_->flush(*sda1_), 0);
  server_.reset();  // detaches: the image file holds the write
  Bytes img = read_all(image_);
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), img.begin() + layout_.parts[0].start_sector * 512 + 4096));
}

TEST_F(ServerTest, FullAndIncrementalBackupsUnderWritersAreTheDeviceAtTheirFrozenInstants) {
  start_writer(7);
  serve::BackupRequest r;
  r.device = "sda1";
  r.dir = (dir_.path / "bk").string();
  r.all_blocks = true;  // raw writers: the file system's bitmaps do not say what they wrote
  r.incremental = false;
  std::uint64_t last_done = 0, total = 0;
  json full = server_->backup(r, [&](std::uint64_t d, std::uint64_t t) { last_done = d, total = t; });
  EXPECT_EQ(full.value("kind", ""), "full");
  EXPECT_GT(total, 0u);
  EXPECT_EQ(last_done, total);
  std::vector<json> points{full};
  r.incremental = true;
  for (int i = 0; i < 3; i++) {
    std::this_thread::sleep_for(20ms);
    points.push_back(server_->backup(r, {}));
    EXPECT_EQ(points.back().value("kind", ""), "incremental") << points.back().dump();
  }
  stop_writer();
  EXPECT_GT(writes_, 0u);
  for (const auto& p : points) expect_point_is_truth(p);
  json st = server_->status();
  EXPECT_EQ(st["backups_ok"], 4);
  EXPECT_TRUE(st["running"].is_null());
}

TEST_F(ServerTest, OneBackupAtATimeAndACancelLeavesTheCatalogAtItsLastGoodPoint) {
  serve::BackupRequest r;
  r.device = "sda1";
  r.dir = (dir_.path / "bk").string();
  r.incremental = false;
  ASSERT_TRUE(server_->backup(r, {}).value("ok", false));
  // The second request while the first runs: busy, naming the running one.
  std::atomic<bool> in_progress{false}, release{false};
  json busy, cancelled;
  std::thread first([&] {
    cancelled = server_->backup(r, [&](std::uint64_t d, std::uint64_t) {
      if (d == 0 || in_progress) return;
      // Holds the backup in its first run until the test has asked.
      in_progress = true;
      while (!release) std::this_thread::sleep_for(1ms);
    });
  });
  while (!in_progress) std::this_thread::sleep_for(1ms);
  busy = server_->backup(r, {});
  EXPECT_FALSE(busy.value("ok", true));
  EXPECT_EQ(busy.value("error_kind", ""), "busy");
  EXPECT_NE(busy.value("error", "").find("full backup of sda1"), std::string::npos) << busy.dump();
  EXPECT_TRUE(server_->cancel());
  release = true;
  first.join();
  EXPECT_FALSE(cancelled.value("ok", true)) << cancelled.dump();
  EXPECT_EQ(cancelled.value("exit_code", 0), tool::kExitInterrupted);
  auto cat = agent::Catalog::load(dir_.path / "bk");
  ASSERT_TRUE(cat);
  ASSERT_EQ(cat->entries.size(), 1u);
  EXPECT_TRUE(agent::find_leftovers(dir_.path / "bk", &*cat).empty());
  EXPECT_FALSE(server_->cancel()) << "nothing runs now";
}

TEST_F(ServerTest, RefusesUnknownDevicesPartitionsWithoutAFileSystemAndRelativeDirectories) {
  serve::BackupRequest r;
  r.dir = (dir_.path / "bk").string();
  r.device = "sdz9";
  json j = server_->backup(r, {});
  EXPECT_EQ(j.value("exit_code", 0), tool::kExitUsage);
  EXPECT_NE(j.value("error", "").find("sda, sda1, sda2"), std::string::npos) << j.dump();
  r.device = "sda2";
  j = server_->backup(r, {});
  EXPECT_EQ(j.value("exit_code", 0), tool::kExitUsage);
  EXPECT_NE(j.value("error", "").find("no mounted file system"), std::string::npos) << j.dump();
  r.device = "sda1";
  r.dir = "relative/bk";
  EXPECT_EQ(server_->backup(r, {}).value("exit_code", 0), tool::kExitUsage);
  EXPECT_FALSE(fs::exists("relative"));
}

TEST_F(ServerTest, AnotherSourcesDirectoryIsRefusedBeforeTheSnapshotAndTheChainGoesOn) {
  serve::BackupRequest r;
  r.device = "sda1";
  r.dir = (dir_.path / "bk").string();
  r.incremental = false;
  json full = server_->backup(r, {});
  ASSERT_TRUE(full.value("ok", false)) << full.dump();
  // A directory whose catalog names another ext file system.
  const fs::path other = dir_.path / "other";
  fs::create_directory(other);
  json cat = json::parse(std::ifstream(fs::path(r.dir) / "catalog.json"));
  ASSERT_TRUE(cat["source"].contains("fs_uuid")) << cat.dump();
  cat["source"]["fs_uuid"] = "00000000-1111-2222-3333-444444444444";
  std::ofstream(other / "catalog.json") << cat.dump();
  serve::BackupRequest o = r;
  o.dir = other.string();
  o.incremental = true;
  json refused = server_->backup(o, {});
  EXPECT_EQ(refused.value("exit_code", 0), tool::kExitUsage) << refused.dump();
  EXPECT_NE(refused.value("error", "").find("another source"), std::string::npos) << refused.dump();
  // The refusal took no snapshot: the device's own chain goes on.
  r.incremental = true;
  json inc = server_->backup(r, {});
  EXPECT_EQ(inc.value("kind", ""), "incremental") << inc.dump();
}

// ---- the control protocol --------------------------------------------------------------

TEST_F(ServerTest, ControlRequestsMalformedUnknownOversizedAndHostileGetErrorsAndTheDaemonGoesOn) {
  bool stopped = false;
  serve::ControlSocket c(*server_, [&] { stopped = true; });
  auto ask = [&](const std::string& line) { return c.handle(line, [](const json&) {}); };
  for (const char* bad : {"{", "[1,2]", "42", "\"status\"", "{\"op\": 7}", "{\"op\": \"format-disk\"}", "{}",
                          "{\"op\": \"backup\"}", "{\"op\": \"backup\", \"device\": \"sda1\", \"mode\": \"half\"}",
                          "{\"op\": \"backup\", \"device\": \"sda1\", \"dir\": \"/x\", \"rm\": true}",
                          "{\"op\": \"backup\", \"device\": \"sda1\", \"cache\": -1}"}) {
    json j = ask(bad);
    EXPECT_FALSE(j.value("ok", true)) << bad;
    EXPECT_EQ(j.value("exit_code", 0), tool::kExitUsage) << bad;
    EXPECT_FALSE(j.value("error", "").empty()) << bad;
  }
  EXPECT_FALSE(stopped);
  json st = ask("{\"op\": \"status\"}");
  EXPECT_TRUE(st.value("ok", false));
  EXPECT_EQ(st["devices"].size(), 3u);

  // Over a real socket: an oversized line is refused and the daemon still answers.
  const std::string path = (dir_.path / "control.sock").string();
  c.start(path);
  struct stat sb {};
  ASSERT_EQ(::stat(path.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);
  auto connect = [&] {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a {};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  };
  int fd = connect();
  std::string huge(serve::kMaxRequest + 10, 'x');
  ::send(fd, huge.data(), huge.size(), MSG_NOSIGNAL);
  std::string buf, line;
  bool too_long = false;
  ASSERT_TRUE(serve::read_line(fd, buf, line, &too_long));
  EXPECT_NE(line.find("longer than"), std::string::npos) << line;
  ::close(fd);
  fd = connect();
  ASSERT_TRUE(serve::send_line(fd, {{"op", "backup"}, {"device", "sda1"}, {"dir", (dir_.path / "bk").string()}}));
  std::vector<std::string> events;
  buf.clear();
  while (serve::read_line(fd, buf, line, &too_long)) {
    json j = json::parse(line);
    events.push_back(j.value("event", ""));
    if (events.back() == "done") {
      EXPECT_TRUE(j.value("ok", false)) << line;
      EXPECT_EQ(j.value("kind", ""), "full");
      break;
    }
  }
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front(), "started");
  EXPECT_EQ(events[1], "progress");
  ASSERT_TRUE(serve::send_line(fd, {{"op", "stop"}}));
  ASSERT_TRUE(serve::read_line(fd, buf, line, &too_long));
  EXPECT_TRUE(stopped);
  ::close(fd);
  c.stop();
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
