// cowguard serve as a user runs it: the built command starts the daemon
// (nbdkit with cowguard's plugin) on unix sockets in a private folder, real
// NBD clients (qemu-io, fio, nbdcopy, nbdinfo) write and read its exports,
// and separate `cowguard backup` commands take full and incremental backups
// while they write.  Every point is restored and compared byte for byte
// with the device at its frozen instant (the daemon's ground-truth copies).
// Also: SIGTERM during a backup, a client gone mid-backup, a restart, TLS on
// a TCP export, and the refusals before anything starts.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/files.h"
#include "exit_codes.h"

namespace fs = std::filesystem;
namespace tool = cowguard::tool;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_all(const fs::path& p) {
  return cgtest::ReadFileBytes(p);
}

bool have(const std::string& program) {
  return std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) == 0;
}

struct CmdRun {
  int code = -1;  // exit code, or 128 + signal
  std::string out, err;
};

// Starts argv with stdout and stderr to files; returns the pid.
pid_t spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0), ::dup2(o, 1), ::dup2(e, 2);
    std::vector<char*> a;
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    ::execvp(a[0], a.data());
    ::_exit(127);
  }
  return pid;
}

int wait_exit(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string slurp(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class ServeE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CG_SANITIZED) GTEST_SKIP() << "nbdkit cannot load a plugin built with a sanitizer";
    for (const char* p : {"nbdkit", "qemu-io", "nbdcopy", "nbdinfo", "fio"})
      if (!have(p)) GTEST_SKIP() << p << " is not installed (tools/install-deps.sh installs it)";
    std::string t = (fs::temp_directory_path() / "cg-serve-e2e-XXXXXX").string();
    dir_ = ::mkdtemp(t.data());
    run_ = dir_ / "run";
    ::mkdir(run_.c_str(), 0700);
    socket_ = (run_ / "control.sock").string();
    nbd_ = (run_ / "nbd.sock").string();
    image_ = (dir_ / "disk.img").string();
  }
  void TearDown() override {
    if (dir_.empty()) return;
    cmd({"stop", "--socket", socket_});
    if (fg_ > 0) {
      ::kill(fg_, SIGKILL);
      wait_exit(fg_);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  CmdRun cmd(std::vector<std::string> args) {
    args.insert(args.begin(), CG_COWGUARD_EXE);
    const fs::path o = dir_ / "cmd.out", e = dir_ / "cmd.err";
    CmdRun r;
    r.code = wait_exit(spawn(args, o, e));
    r.out = slurp(o);
    r.err = slurp(e);
    return r;
  }
  CmdRun tool_run(const std::vector<std::string>& args) {
    const fs::path o = dir_ / "tool.out", e = dir_ / "tool.err";
    CmdRun r;
    r.code = wait_exit(spawn(args, o, e));
    r.out = slurp(o);
    r.err = slurp(e);
    return r;
  }
  std::string uri(const std::string& exp) const { return "nbd+unix:///" + exp + "?socket=" + nbd_; }

  void make_image(const std::string& size, const std::string& bs = "1024") {
    CmdRun r = cmd({"make-image", image_, "--size", size, "--block-size", bs});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  void serve(std::vector<std::string> extra = {}) {
    std::vector<std::string> a = {"serve", image_, "--socket", socket_, "--truth-dir", (dir_ / "truth").string()};
    a.insert(a.end(), extra.begin(), extra.end());
    CmdRun r = cmd(a);
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_NE(r.out.find("sda1"), std::string::npos) << r.out;
  }
  json status() {
    CmdRun r = cmd({"status", "--socket", socket_, "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    return json::parse(r.out, nullptr, false);
  }
  json backup(const std::vector<std::string>& extra) {
    std::vector<std::string> a = {"backup", "sda1", (dir_ / "bk").string(), "--socket", socket_, "--json",
                                  "--all-blocks"};
    a.insert(a.end(), extra.begin(), extra.end());
    CmdRun r = cmd(a);
    json j = json::parse(r.out, nullptr, false);
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    return j;
  }
  // Whether the daemon was seen running a backup (that has read some
  // blocks, when asked) within about two seconds.
  bool backup_seen_running(bool with_progress) {
    for (int i = 0; i < 400; i++) {
      json st = status();
      if (st["running"].is_object() && (!with_progress || st["running"].value("blocks_done", 0) > 0)) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  // Restores the point and compares it with the device at its frozen instant.
  void expect_truth(const json& point) {
    ASSERT_TRUE(point.contains("truth_file")) << point.dump();
    const std::string n = std::to_string(point["point"].get<int>());
    const fs::path out = dir_ / ("point-" + n + ".img");
    CmdRun r = cmd({"restore", (dir_ / "bk").string(), "--point", n, "-o", out.string(), "--no-progress"});
    ASSERT_EQ(r.code, 0) << r.err;
    Bytes got = read_all(out), want = read_all(point["truth_file"].get<std::string>());
    ASSERT_EQ(got.size(), want.size());
    std::size_t differ = 0;
    for (std::size_t i = 0; i < got.size(); i += 512) differ += std::memcmp(&got[i], &want[i], 512) != 0;
    EXPECT_EQ(differ, 0u) << "point " << n << ": sectors unlike the device at the frozen instant";
    fs::remove(out);
    fs::remove(point["truth_file"].get<std::string>());
  }

  fs::path dir_, run_;
  std::string socket_, nbd_, image_;
  pid_t fg_ = -1;
};

TEST_F(ServeE2E, RealClientsWriteAndReadTheExportsAndFlushReachesTheImage) {
  make_image("32M");
  serve();
  CmdRun list = tool_run({"nbdinfo", "--list", "--json", "nbd+unix:///?socket=" + nbd_});
  ASSERT_EQ(list.code, 0) << list.err;
  json l = json::parse(list.out);
  std::vector<std::string> names;
  for (const auto& e : l["exports"]) names.push_back(e["export-name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"sda", "sda1", "sda2"}));

  // qemu-io writes a pattern into sda1 (one unaligned write: the blocksize
  // filter turns it into whole sectors), nbdcopy reads the export whole.
  CmdRun w = tool_run({"qemu-io", "-f", "raw", "-c", "write -P 0x5a 4096 131072", "-c", "write -P 0x33 1000 100",
                    "-c", "flush", uri("sda1")});
  ASSERT_EQ(w.code, 0) << w.err;
  const fs::path copy = dir_ / "sda1.copy";
  CmdRun c = tool_run({"nbdcopy", uri("sda1"), copy.string()});
  ASSERT_EQ(c.code, 0) << c.err;
  Bytes b = read_all(copy);
  ASSERT_GT(b.size(), 4096u + 131072u);
  EXPECT_TRUE(std::all_of(b.begin() + 4096, b.begin() + 4096 + 131072, [](auto x) { return x == 0x5a; }));
  EXPECT_TRUE(std::all_of(b.begin() + 1000, b.begin() + 1100, [](auto x) { return x == 0x33; }));
  // The whole disk shows the partition's bytes at the partition's place.
  json st = status();
  std::uint64_t start = 0;
  for (const auto& d : st["devices"])
    if (d["name"] == "sda1") start = d["start_sector"];
  CmdRun r = tool_run({"qemu-io", "-f", "raw", "-c",
                    "read -P 0x5a " + std::to_string(start * 512 + 4096) + " 131072", uri("sda")});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("Pattern verification failed"), std::string::npos) << r.out;
  // An export that is not there is refused to the client.
  EXPECT_NE(tool_run({"nbdinfo", uri("sdq7")}).code, 0);
  // Stopped, the image file holds what was written.
  ASSERT_EQ(cmd({"stop", "--socket", socket_}).code, 0);
  Bytes img = read_all(image_);
  EXPECT_EQ(img[start * 512 + 4096], 0x5a);
  EXPECT_EQ(img[start * 512 + 1000], 0x33);
}

TEST_F(ServeE2E, ChainOfTwentyPointsBySeparateCommandsUnderFioRestoresByteExactAtEveryPoint) {
  make_image("32M");
  serve();
  // fio writes sda1 all along: random 4 KiB and 64 KiB writes, two jobs each.
  const std::string u = uri("sda1");
  pid_t fio = spawn({"fio", "--ioengine=nbd", "--uri=" + u, "--time_based", "--runtime=600", "--rw=randwrite",
                     "--iodepth=4", "--name=small", "--bs=4k", "--numjobs=2", "--name=large", "--bs=64k",
                     "--numjobs=2"},
                    dir_ / "fio.out", dir_ / "fio.err");
  std::this_thread::sleep_for(300ms);
  std::vector<json> points;
  points.push_back(backup({"--full"}));
  for (int i = 0; i < 19; i++) {
    std::this_thread::sleep_for(30ms);
    points.push_back(backup({}));
    if (::testing::Test::HasFailure()) break;
  }
  ::kill(fio, SIGINT);
  wait_exit(fio);
  // Every fio job ended without an I/O error.
  const std::string fio_out = slurp(dir_ / "fio.out");
  std::size_t jobs = 0;
  for (auto at = fio_out.find("err="); at != std::string::npos; at = fio_out.find("err=", at + 1)) {
    jobs++;
    EXPECT_EQ(fio_out.compare(at, 6, "err= 0"), 0) << fio_out;
  }
  EXPECT_GE(jobs, 2u) << fio_out << slurp(dir_ / "fio.err");
  ASSERT_EQ(points.size(), 20u);
  EXPECT_EQ(points[0].value("kind", ""), "full");
  std::uint64_t held = 0;
  for (std::size_t i = 1; i < points.size(); i++) {
    EXPECT_EQ(points[i].value("kind", ""), "incremental") << points[i].dump();
    EXPECT_GT(points[i].value("blocks_changed", 0), 0) << "fio was writing: every point has changes";
    held += points[i].value("held_writes", 0);
  }
  for (const auto& p : points) expect_truth(p);
  CmdRun v = cmd({"verify", (dir_ / "bk").string(), "--no-progress"});
  EXPECT_EQ(v.code, 0) << v.out << v.err;
  RecordProperty("held_writes", std::to_string(held));
}

// The oracle that needs no copy: a stamping writer of ours (cgstamp, on
// libnbd) writes sectors that carry their place, the write's sequence number
// and a checksum; each restored point must hold, in every sector, the last
// stamp written before its frozen instant and no later one.
TEST_F(ServeE2E, StampedWritesCheckEveryRestoredPointAgainstItsFrozenInstant) {
  if (std::string(CG_CGSTAMP_EXE).empty()) GTEST_SKIP() << "cgstamp was not built (no libnbd)";
  make_image("32M");
  serve();
  const fs::path log = dir_ / "stamps.log";
  pid_t w = spawn({CG_CGSTAMP_EXE, "write", uri("sda1"), "--log", log.string(), "--threads", "4", "--seconds",
                   "600"},
                  dir_ / "w.out", dir_ / "w.err");
  std::this_thread::sleep_for(300ms);
  std::vector<json> points;
  points.push_back(backup({"--full"}));
  for (int i = 0; i < 5; i++) {
    std::this_thread::sleep_for(100ms);
    points.push_back(backup({}));
  }
  ::kill(w, SIGTERM);
  ASSERT_EQ(wait_exit(w), 0) << slurp(dir_ / "w.err");
  auto check = [&](const fs::path& image, std::uint64_t frozen) {
    return tool_run({CG_CGSTAMP_EXE, "check", image.string(), "--log", log.string(), "--frozen-at",
                     std::to_string(frozen)});
  };
  std::vector<fs::path> images;
  for (const auto& p : points) {
    ASSERT_TRUE(p.contains("frozen_at_ns")) << p.dump();
    const std::string n = std::to_string(p["point"].get<int>());
    images.push_back(dir_ / ("stamped-" + n + ".img"));
    CmdRun r = cmd({"restore", (dir_ / "bk").string(), "--point", n, "-o", images.back().string(), "--no-progress"});
    ASSERT_EQ(r.code, 0) << r.err;
    CmdRun c = check(images.back(), p["frozen_at_ns"].get<std::uint64_t>());
    EXPECT_EQ(c.code, 0) << "point " << n << ": " << c.out << c.err;
    if (p["point"] == 3) RecordProperty("point3_check", c.out);
  }
  // The oracle tells instants apart: point 2 is not the device at point 5's.
  CmdRun wrong = check(images[1], points[4]["frozen_at_ns"].get<std::uint64_t>());
  EXPECT_EQ(wrong.code, 1) << wrong.out;
  EXPECT_NE(wrong.out.find("stale"), std::string::npos) << wrong.out;
}

TEST_F(ServeE2E, SigtermDuringABackupFailsItCleanlyAndARestartBeginsWithAFullBackupSayingWhy) {
  make_image("512M", "4096");
  // In the foreground: this test sees the daemon's own exit code.
  std::vector<std::string> a = {CG_COWGUARD_EXE, "serve", image_, "--socket", socket_, "--foreground"};
  fg_ = spawn(a, dir_ / "fg.out", dir_ / "fg.err");
  for (int i = 0; i < 200 && cmd({"status", "--socket", socket_}).code != 0; i++) std::this_thread::sleep_for(50ms);
  json first = backup({"--full"});
  ASSERT_EQ(first.value("point", 0), 1);
  // A big full backup; SIGTERM while it runs.
  pid_t b = spawn({CG_COWGUARD_EXE, "backup", "sda1", (dir_ / "bk").string(), "--socket", socket_, "--full",
                   "--all-blocks"},
                  dir_ / "b.out", dir_ / "b.err");
  ASSERT_TRUE(backup_seen_running(true)) << "the backup was never seen running";
  ::kill(fg_, SIGTERM);
  EXPECT_EQ(wait_exit(fg_), 0) << slurp(dir_ / "fg.err");
  fg_ = -1;
  // The client is told that its backup was cancelled.
  EXPECT_EQ(wait_exit(b), tool::kExitInterrupted) << slurp(dir_ / "b.err");
  EXPECT_NE(slurp(dir_ / "b.err").find("cancelled"), std::string::npos) << slurp(dir_ / "b.err");
  // The catalog keeps its last good point; nothing half-written is left.
  CmdRun l = cmd({"list", (dir_ / "bk").string(), "--json"});
  ASSERT_EQ(l.code, 0) << l.err;
  json lj = json::parse(l.out);
  EXPECT_EQ(lj["points"].size(), 1u) << l.out;
  CmdRun k = cmd({"check", (dir_ / "bk").string()});
  EXPECT_EQ(k.code, 0) << k.out << k.err;
  EXPECT_EQ(cmd({"verify", (dir_ / "bk").string(), "--no-progress"}).code, 0);

  // The image lock went with the daemon: it can be served again, and the
  // first incremental is a full backup that says why.
  serve();
  json again = backup({});
  EXPECT_EQ(again.value("kind", ""), "full");
  EXPECT_NE(again.value("fallback_reason", "").find("since the daemon started"), std::string::npos) << again.dump();
  json next = backup({});
  EXPECT_EQ(next.value("kind", ""), "incremental");
}

TEST_F(ServeE2E, AClientGoneMidBackupLeavesTheBackupToFinish) {
  make_image("512M", "4096");
  serve();
  pid_t b = spawn({CG_COWGUARD_EXE, "backup", "sda1", (dir_ / "bk").string(), "--socket", socket_, "--full",
                   "--all-blocks"},
                  dir_ / "b.out", dir_ / "b.err");
  ASSERT_TRUE(backup_seen_running(false));
  ::kill(b, SIGKILL);
  wait_exit(b);
  json st;
  for (int i = 0; i < 600; i++) {
    st = status();
    if (st["running"].is_null()) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(st["running"].is_null());
  EXPECT_EQ(st["backups_ok"], 1) << st.dump();
  EXPECT_EQ(cmd({"verify", (dir_ / "bk").string(), "--no-progress"}).code, 0);
}

TEST_F(ServeE2E, CtrlCOnTheBackupCommandCancelsTheBackupAndLeavesTheCatalogAsItWas) {
  make_image("512M", "4096");
  serve();
  json first = backup({"--full"});
  ASSERT_EQ(first.value("point", 0), 1);
  const std::string before = slurp(dir_ / "bk" / "catalog.json");
  pid_t b = spawn({CG_COWGUARD_EXE, "backup", "sda1", (dir_ / "bk").string(), "--socket", socket_, "--full",
                   "--all-blocks"},
                  dir_ / "b.out", dir_ / "b.err");
  ASSERT_TRUE(backup_seen_running(true));
  ::kill(b, SIGINT);
  EXPECT_EQ(wait_exit(b), tool::kExitInterrupted) << slurp(dir_ / "b.err");
  EXPECT_NE(slurp(dir_ / "b.err").find("cancelled"), std::string::npos);
  EXPECT_EQ(slurp(dir_ / "bk" / "catalog.json"), before) << "a cancelled backup changed the catalog";
  CmdRun k = cmd({"check", (dir_ / "bk").string()});
  EXPECT_EQ(k.code, 0) << k.out << k.err;
  json st = status();
  EXPECT_TRUE(st["running"].is_null());
  EXPECT_EQ(st["backups_failed"], 1);
  // The cancelled snapshot took the changes since the last good point from
  // the tracking session: the next backup is a full one that says why, and
  // the chain goes on from there.
  json next = backup({});
  EXPECT_EQ(next.value("kind", ""), "full");
  EXPECT_NE(next.value("fallback_reason", "").find("did not complete"), std::string::npos) << next.dump();
  EXPECT_EQ(backup({}).value("kind", ""), "incremental");
}

TEST_F(ServeE2E, RefusalsBeforeAnythingStarts) {
  CmdRun r = cmd({"serve", (dir_ / "none.img").string(), "--socket", socket_});
  EXPECT_EQ(r.code, tool::kExitMissing) << r.err;
  EXPECT_NE(r.err.find("no such image"), std::string::npos) << r.err;

  make_image("16M");
  // A corrupt partition table (partition 1 ends beyond the disk).
  const std::string bad = (dir_ / "bad.img").string();
  fs::copy_file(image_, bad);
  {
    std::fstream f(bad, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(446 + 12);
    const char huge[4] = {0, 0, 0, 0x40};
    f.write(huge, 4);
  }
  r = cmd({"serve", bad, "--socket", socket_});
  EXPECT_EQ(r.code, tool::kExitCorrupt) << r.err;
  EXPECT_NE(r.err.find("partition table is corrupt"), std::string::npos) << r.err;

  // Sockets in a folder others can enter.
  const fs::path open_dir = dir_ / "open";
  ::mkdir(open_dir.c_str(), 0755);
  ::chmod(open_dir.c_str(), 0755);
  r = cmd({"serve", image_, "--socket", (open_dir / "c.sock").string()});
  EXPECT_EQ(r.code, tool::kExitUsage) << r.err;
  EXPECT_NE(r.err.find("only you can enter"), std::string::npos) << r.err;

  // A TCP export beyond the loopback address without TLS.
  r = cmd({"serve", image_, "--socket", socket_, "--export", "tcp:0.0.0.0:10809"});
  EXPECT_EQ(r.code, tool::kExitUsage) << r.err;
  EXPECT_NE(r.err.find("TLS"), std::string::npos) << r.err;

  // No daemon: the client commands say so.
  r = cmd({"backup", "sda1", (dir_ / "bk").string(), "--socket", socket_});
  EXPECT_EQ(r.code, tool::kExitMissing) << r.err;
  EXPECT_NE(r.err.find("no daemon answers"), std::string::npos) << r.err;

  // The image is served once: a second daemon on it is refused.
  serve();
  struct stat sb {};
  ASSERT_EQ(::stat(socket_.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(nbd_.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 077, 0u) << "the NBD socket is open to others";
  const fs::path run2 = dir_ / "run2";
  ::mkdir(run2.c_str(), 0700);
  r = cmd({"serve", image_, "--socket", (run2 / "c.sock").string()});
  EXPECT_EQ(r.code, tool::kExitFailed) << r.err;
  EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
  r = cmd({"serve", image_, "--socket", socket_});
  EXPECT_EQ(r.code, tool::kExitFailed) << r.err;
  EXPECT_NE(r.err.find("already answers"), std::string::npos) << r.err;
  // A partition without a file system cannot be backed up.
  r = cmd({"backup", "sda2", (dir_ / "bk").string(), "--socket", socket_});
  EXPECT_EQ(r.code, tool::kExitUsage) << r.err;
}

// A free TCP port on the loopback address.
unsigned free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

TEST_F(ServeE2E, ATcpExportWithTlsRefusesAClientWithoutTheKey) {
  make_image("16M");
  const fs::path psk = dir_ / "keys.psk";
  {
    std::ofstream f(psk);
    f << "alice:0123456789abcdef0123456789abcdef\n";
  }
  ::chmod(psk.c_str(), 0600);
  const std::string port = std::to_string(free_port());
  serve({"--export", "tcp:127.0.0.1:" + port, "--tls-psk", psk.string()});
  CmdRun plain = tool_run({"nbdinfo", "nbd://127.0.0.1:" + port + "/sda1"});
  EXPECT_NE(plain.code, 0) << "a client without TLS got in: " << plain.out;
  CmdRun wrong = tool_run({"nbdinfo", "nbds://mallory@127.0.0.1:" + port + "/sda1?tls-psk-file=" + psk.string()});
  EXPECT_NE(wrong.code, 0) << "a user without a key got in: " << wrong.out;
  CmdRun keyed = tool_run({"nbdinfo", "--size", "nbds://alice@127.0.0.1:" + port + "/sda1?tls-psk-file=" + psk.string()});
  EXPECT_EQ(keyed.code, 0) << keyed.err;
}

}  // namespace
