// The built cowguard command, run as a user runs it (a child process): the
// restore targets it accepts and refuses, verify, list and check over a
// backup directory, the directory's lock, leftovers, interrupts, the demo's
// workdir, and one JSON object per --json run.  Every refusal is checked
// for its exit code and message, and for leaving the backup directory as it
// was (a hash of every file in it before and after).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/files.h"
#include "chain.h"
#include "exit_codes.h"
#include "format.h"

namespace fs = std::filesystem;
namespace agent = cowguard::agent;
namespace tool = cowguard::tool;
using nlohmann::json;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_all(const fs::path& p) {
  return cgtest::ReadFileBytes(p);
}

void write_all(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// Every name, type, size, mode and content in a directory tree, as text:
// equal before and after means nothing there changed.
std::string tree_state(const fs::path& dir) {
  std::map<std::string, std::string> rows;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    std::string row = std::to_string(st.st_mode) + " " + std::to_string(st.st_size);
    if (S_ISREG(st.st_mode)) {
      Bytes b = read_all(it->path());
      row += " " + agent::hash_hex(agent::block_hash(b.data(), b.size(), 0));
    }
    rows[fs::relative(it->path(), dir).string()] = row;
  }
  std::string s;
  for (const auto& [k, v] : rows) s += k + ": " + v + "\n";
  return s;
}

struct CmdRun {
  int code = -1;        // exit code, or 128 + signal
  std::string out, err;
};

// Runs the command with the arguments; stdout and stderr captured (stdout
// to `out_fd` instead when given).  `on_start` runs in the parent with the
// child's pid once it runs.
CmdRun run_cowguard(const std::vector<std::string>& args, int out_fd = -1,
                 const std::function<void(pid_t)>& on_start = {}) {
  int op[2], ep[2];
  EXPECT_EQ(0, ::pipe2(op, O_CLOEXEC));
  EXPECT_EQ(0, ::pipe2(ep, O_CLOEXEC));
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_fd >= 0 ? out_fd : op[1], 1);
    ::dup2(ep[1], 2);
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    std::vector<char*> argv;
    std::string exe = CG_COWGUARD_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(op[1]);
  ::close(ep[1]);
  if (on_start) on_start(pid);
  CmdRun r;
  pollfd fds[2] = {{op[0], POLLIN, 0}, {ep[0], POLLIN, 0}};
  int open_fds = 2;
  char buf[65536];
  while (open_fds) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      } else {
        (i ? r.err : r.out).append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// Runs a shell command; its exit code.
int sh(const std::string& cmd) {
  int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A loop device over a file, detached at the end; empty when the machine
// has none to give.
struct Loop {
  std::string dev;
  Loop(const fs::path& file, std::uint64_t bytes) {
    {
      std::ofstream(file).close();
      fs::resize_file(file, bytes);
    }
    std::FILE* p = ::popen(("losetup -f --show " + file.string() + " 2>/dev/null").c_str(), "r");
    if (!p) return;
    char line[256] = {};
    if (std::fgets(line, sizeof line, p)) dev = line;
    ::pclose(p);
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
    struct stat st {};
    if (::stat(dev.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) dev.clear();
  }
  ~Loop() {
    if (!dev.empty()) sh("losetup -d " + dev);
  }
};

// A backup directory of three points of a 64-block device: a full backup
// (with blocks of zeros, stored sparse), a delta and a delta that writes
// zeros over a block.  images[k] is point k+1's image.
class CliTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kBs = 4096;
  static constexpr std::uint32_t kBlocks = 64;

  void SetUp() override {
    char tmpl[] = "/tmp/cg-cli-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    tmp_ = tmpl;
    dir_ = tmp_ / "backups";
    build_chain();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }

  void build_chain() {
    agent::make_backup_dir(dir_);
    agent::DirLock lock(dir_, agent::DirLock::Mode::exclusive, "the test's writer");  // as a backup takes it
    std::mt19937 rng(7);
    Bytes dev(std::size_t{kBlocks} * kBs);
    for (auto& b : dev) b = static_cast<std::uint8_t>(rng());
    std::fill_n(dev.begin() + 10 * kBs, 10 * kBs, 0);  // blocks 10-19 are zeros
    agent::Catalog cat;
    agent::SourceIdentity src;
    src.major = 8;
    src.minor = 1;
    src.device_bytes = dev.size();
    src.block_size = kBs;
    src.fs_uuid = "0b5e0c1a-1111-2222-3333-444455556666";
    cat.set_source(src);

    agent::BlockBitmap all(kBlocks, true);
    agent::ImageWriter w(dir_, 1, 1000, kBs, all);
    w.put(0, kBlocks, dev.data());
    add(cat, 1, std::nullopt, w.finish());
    images_.push_back(dev);

    auto delta = [&](std::uint32_t seq, const std::vector<std::uint32_t>& blocks, bool zero) {
      agent::BlockBitmap changed(kBlocks);
      for (std::uint32_t n : blocks) {
        changed.set(n);
        for (std::uint32_t i = 0; i < kBs; i++) dev[n * kBs + i] = zero ? 0 : static_cast<std::uint8_t>(rng());
      }
      agent::DeltaWriter d(dir_, seq, 1000 + seq, kBs, cat.entries.back().info.checksum, changed);
      for (std::uint32_t n : blocks) d.put(n, 1, dev.data() + n * kBs);
      add(cat, seq, seq - 1, d.finish());
      images_.push_back(dev);
    };
    delta(2, {3, 40, 41}, false);
    delta(3, {5, 6}, true);  // zeros over data: a device restore must write them
    cat.save(dir_);
  }

  void add(agent::Catalog& cat, std::uint32_t seq, std::optional<std::uint32_t> parent, const agent::FileInfo& info) {
    agent::ChainEntry e;
    e.sequence = seq;
    e.kind = parent ? agent::BackupKind::incremental : agent::BackupKind::full;
    e.parent = parent;
    e.chain = 1;
    e.time = 1000 + seq;
    e.block_size = kBs;
    e.block_count = kBlocks;
    e.info = info;
    cat.entries.push_back(e);
  }

  // Runs the command and checks the exit code, that the message holds
  // `says` and that the backup directory did not change.
  CmdRun expect(int code, const std::string& says, const std::vector<std::string>& args) {
    const std::string before = tree_state(dir_);
    CmdRun r = run_cowguard(args);
    EXPECT_EQ(code, r.code) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find(says)) << "wanted \"" << says << "\" in:\n" << r.out << r.err;
    EXPECT_EQ(before, tree_state(dir_)) << "the backup directory changed";
    return r;
  }

  std::string d() const { return dir_.string(); }

  fs::path tmp_, dir_;
  std::vector<Bytes> images_;
};

// ---- restore targets ---------------------------------------------------------------

TEST_F(CliTest, RestoreRefusesEveryOutputInsideTheBackupDirectoryOrEqualToItsFiles) {
  for (const std::string name : {"full-000001.img", "full-000001.idx", "delta-000002.cgd", "catalog.json", "new.img"})
    expect(2, "inside the backup directory", {"restore", d(), "-o", d() + "/" + name});
  // The same through a relative path with dots, a symlink and a hard link.
  fs::create_directory(tmp_ / "out");
  expect(2, "inside the backup directory", {"restore", d(), "-o", (tmp_ / "out" / ".." / "backups" / "x.img").string()});
  fs::create_symlink(dir_ / "delta-000003.cgd", tmp_ / "out" / "link.img");
  expect(2, "inside the backup directory", {"restore", d(), "-o", (tmp_ / "out" / "link.img").string()});
  fs::create_hard_link(dir_ / "full-000001.idx", tmp_ / "out" / "hard.img");
  expect(2, "is the backup file full-000001.idx", {"restore", d(), "-o", (tmp_ / "out" / "hard.img").string()});
  EXPECT_EQ(0, run_cowguard({"verify", d(), "--no-progress"}).code);
}

TEST_F(CliTest, RestoreChecksItsOutputBeforeAnyWork) {
  const fs::path out = tmp_ / "out";
  fs::create_directory(out);
  // An empty output is refused before anything is read or written.
  expect(2, "the output is an empty path", {"restore", d(), "-o", ""});
  expect(2, "is a directory", {"restore", d(), "-o", out.string()});
  expect(3, "no directory", {"restore", d(), "-o", (out / "no" / "x.img").string()});
  ASSERT_EQ(0, ::mkfifo((out / "fifo").c_str(), 0600));
  expect(2, "is a FIFO", {"restore", d(), "-o", (out / "fifo").string()});
  EXPECT_TRUE(fs::is_fifo(out / "fifo"));
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", (out / "sock").c_str());
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
  expect(2, "is a socket", {"restore", d(), "-o", (out / "sock").string()});
  ::close(s);
  // Nothing but the refused nodes was left in the output directory.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"fifo", "sock"}), names);
}

TEST_F(CliTest, RestoreFollowsSymlinksAndWritesFilesPrivately) {
  const fs::path out = tmp_ / "out";
  fs::create_directory(out);
  // A link to an existing file: the file gets the image, the link stays.
  write_all(out / "old.img", "old contents");
  fs::create_symlink("old.img", out / "link");
  CmdRun r = expect(0, "restored backup point 3 (3 files)", {"restore", d(), "-o", (out / "link").string()});
  EXPECT_TRUE(fs::is_symlink(out / "link"));
  EXPECT_EQ(images_[2], read_all(out / "old.img"));
  // A dangling link: its target is made.
  fs::create_symlink(out / "new.img", out / "dangling");
  expect(0, "restored backup point 2", {"restore", d(), "--point", "2", "-o", (out / "dangling").string()});
  EXPECT_TRUE(fs::is_symlink(out / "dangling"));
  EXPECT_EQ(images_[1], read_all(out / "new.img"));
  // Restored images hold a whole partition: 0600.
  for (const char* n : {"old.img", "new.img"}) {
    struct stat st {};
    ASSERT_EQ(0, ::stat((out / n).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << n;
  }
}

TEST_F(CliTest, RestoreStreamsToStdoutAndCharacterDevicesButNeverToATerminal) {
  // stdout into a pipe: the image, byte for byte; the summary on stderr.
  const fs::path img = tmp_ / "stdout.img";
  int fd = ::open(img.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  CmdRun r = run_cowguard({"restore", d(), "--point", "1", "-o", "-", "--no-progress"}, fd);
  ::close(fd);
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(images_[0], read_all(img));
  EXPECT_NE(std::string::npos, r.err.find("restored backup point 1")) << r.err;
  // /dev/null stays a character device.
  expect(0, "to /dev/null", {"restore", d(), "-o", "/dev/null"});
  struct stat st {};
  ASSERT_EQ(0, ::stat("/dev/null", &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  // A terminal on stdout is refused.
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, ::grantpt(master));
  ASSERT_EQ(0, ::unlockpt(master));
  int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  r = run_cowguard({"restore", d(), "-o", "-"}, slave);
  ::close(slave);
  ::close(master);
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("not writing a disk image to a terminal")) << r.err;
}

TEST_F(CliTest, RestoreWritesEveryBlockOfABlockDeviceInPlaceAndRefusesSmallOrMountedOnes) {
  const std::uint64_t image_bytes = std::uint64_t{kBlocks} * kBs;
  Loop loop(tmp_ / "loop.img", image_bytes + 8192);
  if (loop.dev.empty()) GTEST_SKIP() << "no loop device on this machine";
  // Stale bytes everywhere: zeros of the image must overwrite them.
  {
    std::ofstream f(loop.dev, std::ios::binary);
    std::string ones(image_bytes + 8192, '\xff');
    f.write(ones.data(), static_cast<std::streamsize>(ones.size()));
  }
  expect(0, "left as they were", {"restore", d(), "-o", loop.dev});
  Bytes got = read_all(loop.dev);
  ASSERT_EQ(image_bytes + 8192, got.size());
  EXPECT_TRUE(std::equal(images_[2].begin(), images_[2].end(), got.begin())) << "the device differs from point 3";
  EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(image_bytes), got.end(),
                          [](std::uint8_t b) { return b == 0xff; }));
  EXPECT_TRUE(fs::is_block_file(loop.dev));

  // Another device, too small for the image.
  Loop small(tmp_ / "small.img", image_bytes / 2);
  if (!small.dev.empty()) expect(2, "needs " + std::to_string(image_bytes) + " bytes", {"restore", d(), "-o", small.dev});

  // Mounted, as the mounts table says: refused, the device untouched.
  const fs::path mounts = tmp_ / "mounts";
  write_all(mounts, "/dev/root / ext4 rw 0 0\n" + loop.dev + " /mnt/some\\040place ext4 rw 0 0\n");
  tool::RestoreArgs a;
  a.dir = d();
  a.output = loop.dev;
  a.progress = false;
  a.mounts = mounts.string();
  std::ostringstream out, err;
  EXPECT_EQ(tool::kExitUsage, tool::restore_command(a, out, err));
  EXPECT_NE(std::string::npos, err.str().find("is mounted on /mnt/some place")) << err.str();
  // And really mounted, where this machine lets a test mount.
  const fs::path mnt = tmp_ / "mnt";
  fs::create_directory(mnt);
  if (sh("mkfs.ext4 -q -F " + loop.dev) == 0 && ::mount(loop.dev.c_str(), mnt.c_str(), "ext4", 0, nullptr) == 0) {
    expect(2, "is mounted on " + mnt.string(), {"restore", d(), "-o", loop.dev});
    ::umount(mnt.c_str());
    // The image's first block (random bytes) is not where ext4 leaves its
    // first 1024 bytes alone.
    Bytes head = read_all(loop.dev);
    head.resize(1024);
    EXPECT_FALSE(std::equal(head.begin(), head.end(), images_[2].begin())) << "the mounted device was written";
  }
}

TEST_F(CliTest, InterruptedRestoreLeavesNoTemporaryFile) {
  // A chain big enough that the restore runs a while: 256 MiB.
  const fs::path big = tmp_ / "big";
  agent::make_backup_dir(big);
  constexpr std::uint32_t kBigBlocks = 65536;
  {
    agent::BlockBitmap all(kBigBlocks, true);
    agent::ImageWriter w(big, 1, 1, kBs, all);
    Bytes run(256 * kBs);
    std::mt19937 rng(3);
    for (std::uint32_t first = 0; first < kBigBlocks; first += 256) {
      for (std::size_t i = 0; i < run.size(); i += 4096) run[i] = static_cast<std::uint8_t>(rng() | 1);
      w.put(first, 256, run.data());
    }
    agent::Catalog cat;
    agent::SourceIdentity src;
    src.major = 8;
    src.minor = 1;
    src.device_bytes = std::uint64_t{kBigBlocks} * kBs;
    src.block_size = kBs;
    cat.set_source(src);
    agent::ChainEntry e;
    e.sequence = 1;
    e.block_size = kBs;
    e.block_count = kBigBlocks;
    e.info = w.finish();
    cat.entries.push_back(e);
    cat.save(big);
  }
  const fs::path out = tmp_ / "out";
  fs::create_directory(out);
  bool signalled = false;
  CmdRun r = run_cowguard({"restore", big.string(), "-o", (out / "x.img").string(), "--no-progress"}, -1, [&](pid_t pid) {
    // Once the temporary file is there, the restore is under way.
    for (int i = 0; i < 20000 && !signalled; i++) {
      for (const auto& e : fs::directory_iterator(out))
        if (e.path().filename().string().find(".tmp-") != std::string::npos) {
          ::kill(pid, SIGINT);
          signalled = true;
        }
      if (!signalled) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  if (!signalled || r.code == 0) GTEST_SKIP() << "the restore ended before it could be interrupted";
  EXPECT_EQ(130, r.code) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("interrupted")) << r.err;
  EXPECT_TRUE(fs::is_empty(out)) << "the interrupted restore left files behind";
}

// ---- verify, list, check ------------------------------------------------------------

TEST_F(CliTest, VerifyGoesOnPastABadFileAndSaysWhatIsStillRestorable) {
  CmdRun r = expect(0, "3 backup points, 4 files checked, every checksum good", {"verify", d()});
  // A flipped byte in the second point's delta.
  Bytes delta = read_all(dir_ / "delta-000002.cgd");
  delta[delta.size() - 100] ^= 0x10;
  {
    std::ofstream f(dir_ / "delta-000002.cgd", std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(delta.data()), static_cast<std::streamsize>(delta.size()));
  }
  r = expect(4, "restorable points: 1\n", {"verify", d()});
  EXPECT_NE(std::string::npos, r.out.find("not restorable: 2, 3")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("4 files checked")) << r.out;
  // One message for the bad file, its name once.
  EXPECT_EQ(1u, count_of(r.err, "delta-000002.cgd")) << r.err;
  EXPECT_EQ(1u, count_of(r.err, "block 41")) << r.err;
  // Only point 1's chain; and --quick, which reads no block, finds nothing.
  expect(0, "the chain of point 1, 2 files checked", {"verify", d(), "--point", "1"});
  expect(4, "block 41", {"verify", d(), "--point", "3"});
  expect(0, "quick", {"verify", d(), "--quick"});
  expect(3, "no backup point 9 (points: 1, 2, 3)", {"verify", d(), "--point", "9"});
  // JSON: one object, which names the bad file.
  r = expect(4, "", {"verify", d(), "--json"});
  json j = json::parse(r.out);
  EXPECT_EQ(1, j["schema"]);
  EXPECT_FALSE(j["ok"].get<bool>());
  EXPECT_EQ(4, j["exit_code"]);
  EXPECT_EQ((std::vector<int>{1}), j["restorable"].get<std::vector<int>>());
  EXPECT_EQ(41, j["points"][1]["block"]);
  // A cut file is a structural fault that --quick finds.
  fs::resize_file(dir_ / "delta-000003.cgd", fs::file_size(dir_ / "delta-000003.cgd") - 3);
  expect(4, "delta-000003.cgd: truncated file", {"verify", d(), "--quick"});
}

TEST_F(CliTest, BrokenCatalogsGiveOneClearMessage) {
  const std::string good = [&] {
    std::ifstream in(dir_ / "catalog.json");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  json j = json::parse(good);
  j["source"].erase("major");
  write_all(dir_ / "catalog.json", j.dump());
  CmdRun r = expect(4, "catalog.json: the source has no field 'major'", {"verify", d()});
  EXPECT_EQ(std::string::npos, r.err.find("json.exception")) << r.err;
  EXPECT_EQ(1u, count_of(r.err, "catalog.json")) << r.err;
  write_all(dir_ / "catalog.json", good.substr(0, 40));
  expect(4, "catalog.json: not valid JSON (at byte", {"list", d()});
  fs::remove(dir_ / "catalog.json");
  fs::create_directory(dir_ / "catalog.json");
  r = expect(4, "catalog.json: not a regular file", {"restore", d(), "-o", (tmp_ / "x.img").string()});
  EXPECT_EQ(std::string::npos, r.err.find("basic_filebuf")) << r.err;
  fs::remove(dir_ / "catalog.json");
  expect(3, "not a backup directory: it has no catalog.json", {"list", d()});
  expect(3, "/nonexistent/backups: no such backup directory", {"verify", "/nonexistent/backups"});
  EXPECT_FALSE(fs::exists(tmp_ / "x.img"));
}

TEST_F(CliTest, ListShowsEveryPointAndTheSourceFromTheCatalogAlone) {
  CmdRun r = expect(0, "file system UUID 0b5e0c1a-1111-2222-3333-444455556666", {"list", d()});
  EXPECT_NE(std::string::npos, r.out.find("delta-000003.cgd")) << r.out;
  EXPECT_EQ(3u, count_of(r.out, "  full  ") + count_of(r.out, "  incremental  ")) << r.out;
  // It reads no data file: with one gone or damaged, the listing is the same.
  fs::remove(dir_ / "delta-000002.cgd");
  CmdRun again = run_cowguard({"info", d()});
  EXPECT_EQ(0, again.code) << again.err;
  EXPECT_EQ(r.out, again.out);
  r = expect(0, "", {"list", d(), "--json"});
  json j = json::parse(r.out);
  EXPECT_EQ(1, j["schema"]);
  EXPECT_TRUE(j["ok"].get<bool>());
  EXPECT_EQ(8, j["source"]["major"]);
  EXPECT_EQ(std::uint64_t{kBlocks} * kBs, j["source"]["device_bytes"].get<std::uint64_t>());
  ASSERT_EQ(3u, j["points"].size());
  EXPECT_EQ("incremental", j["points"][2]["kind"]);
  EXPECT_EQ(2, j["points"][2]["parent"]);
  EXPECT_EQ(2u * kBs, j["points"][2]["bytes"].get<std::uint64_t>());
  EXPECT_EQ("1970-01-01T00:16:41Z", j["points"][0]["time"]);
}

TEST_F(CliTest, LeftoversAreReportedAndRepairRemovesOnlyThem) {
  // What a killed backup leaves: a temporary file and a data file the
  // catalog never took.
  const std::string committed = tree_state(dir_);
  write_all(dir_ / "delta-000004.cgd.tmp-0badf00d", std::string(5000, 'x'));
  fs::copy_file(dir_ / "delta-000003.cgd", dir_ / "delta-000004.cgd");
  CmdRun r = expect(0, "every checksum good", {"verify", d()});
  EXPECT_NE(std::string::npos, r.err.find("delta-000004.cgd.tmp-0badf00d")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("check --repair")) << r.err;
  r = expect(0, "leftovers", {"list", d()});
  r = expect(1, "--repair removes them", {"check", d()});
  json j = json::parse(expect(1, "", {"check", d(), "--json"}).out);
  EXPECT_EQ(std::vector<std::string>{"delta-000004.cgd"}, j["leftovers"]["orphans"].get<std::vector<std::string>>());
  r = run_cowguard({"check", d(), "--repair"});
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("removed")) << r.out;
  EXPECT_EQ(committed, tree_state(dir_));
  expect(0, "no leftovers", {"check", d()});
}

TEST_F(CliTest, ADirectoryInUseRefusesWritersAndReadersSayWhoHasIt) {
  {
    agent::DirLock writer(dir_, agent::DirLock::Mode::exclusive, "a full backup of device 8:1");
    CmdRun r = expect(1, "is in use by a full backup of device 8:1 (process " + std::to_string(::getpid()),
                   {"check", d(), "--repair"});
    expect(1, "in use by a full backup", {"verify", d()});
    expect(1, "in use by a full backup", {"list", d()});
    EXPECT_FALSE(fs::exists(tmp_ / "x.img"));
    expect(1, "in use by a full backup", {"restore", d(), "-o", (tmp_ / "x.img").string()});
    EXPECT_FALSE(fs::exists(tmp_ / "x.img"));
  }
  {
    // Readers share the directory; a writer waits for none of them.
    agent::DirLock reader(dir_, agent::DirLock::Mode::shared, "a verify");
    expect(0, "every checksum good", {"verify", d()});
    write_all(dir_ / "x.tmp-00000001", "junk");
    CmdRun r = run_cowguard({"check", d(), "--repair"});
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("in use by a reader")) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "x.tmp-00000001"));
  }
  EXPECT_EQ(0, run_cowguard({"check", d(), "--repair"}).code);
}

TEST_F(CliTest, EveryJsonRunPrintsOneObjectWithItsSchemaOnSuccessAndFailure) {
  const std::vector<std::vector<std::string>> runs = {
      {"restore", "/nonexistent/b", "-o", (tmp_ / "x.img").string(), "--json"},
      {"restore", d(), "-o", (tmp_ / "x.img").string(), "--json"},
      {"restore", d(), "-o", "", "--json"},
      {"verify", "/nonexistent/b", "--json"},
      {"verify", d(), "--json"},
      {"list", "/nonexistent/b", "--json"},
      {"list", d(), "--json"},
      {"check", "/nonexistent/b", "--json"},
      {"check", d(), "--json"},
  };
  for (const auto& args : runs) {
    CmdRun r = run_cowguard(args);
    SCOPED_TRACE(args[0] + " " + args[1] + ": " + r.out);
    json j;
    ASSERT_NO_THROW(j = json::parse(r.out));
    EXPECT_EQ(1, j["schema"]);
    EXPECT_EQ(args[0], j["command"]);
    EXPECT_EQ(r.code == 0, j["ok"].get<bool>());
    if (r.code) {
      EXPECT_EQ(r.code, j["exit_code"]);
      EXPECT_FALSE(j["error"].get<std::string>().empty());
    }
    for (auto it = j.begin(); it != j.end(); ++it)
      EXPECT_TRUE(std::none_of(it.key().begin(), it.key().end(), [](char c) { return std::isupper(c); })) << it.key();
  }
}

// ---- the demo's workdir ----------------------------------------------------------------

TEST_F(CliTest, DemoRefusesAWorkdirOfSomeoneElsesAndRemovesOnlyWhatItMade) {
  const fs::path wd = tmp_ / "work";
  fs::create_directories(wd / "backups");
  write_all(wd / "disk.img", "someone's disk image");
  const std::string before = tree_state(wd);
  CmdRun r = run_cowguard({"demo", "--workdir", wd.string(), "--size", "8M", "--rounds", "0", "--json"});
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("is not empty and no earlier demo's")) << r.err;
  json j = json::parse(r.out);
  EXPECT_FALSE(j["ok"].get<bool>());
  EXPECT_EQ(2, j["exit_code"]);
  EXPECT_EQ(before, tree_state(wd));

  // An empty workdir: used, and left empty.
  const fs::path empty = tmp_ / "empty";
  fs::create_directory(empty);
  r = run_cowguard({"demo", "--workdir", empty.string(), "--size", "8M", "--rounds", "1", "--pause-ms", "50"});
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("peak memory")) << r.out;
  EXPECT_TRUE(fs::is_directory(empty));
  EXPECT_TRUE(fs::is_empty(empty));
  // An earlier demo's (kept) workdir is reused; a file someone added stays.
  r = run_cowguard({"demo", "--workdir", empty.string(), "--size", "8M", "--rounds", "0", "--pause-ms", "50", "--keep"});
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(fs::exists(empty / ".cowguard-demo"));
  write_all(empty / "notes.txt", "mine");
  r = run_cowguard({"demo", "--workdir", empty.string(), "--size", "8M", "--rounds", "0", "--pause-ms", "50"});
  EXPECT_EQ(0, r.code) << r.err;
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(empty)) left.push_back(e.path().filename().string());
  EXPECT_EQ(std::vector<std::string>{"notes.txt"}, left);
}

TEST_F(CliTest, InterruptedDemoRemovesItsFilesAndSaysSo) {
  const fs::path wd = tmp_ / "work";
  fs::create_directory(wd);
  CmdRun r = run_cowguard({"demo", "--workdir", wd.string(), "--size", "8M", "--rounds", "50", "--pause-ms", "200",
                        "--json"},
                       -1, [&](pid_t pid) {
                         // Interrupted once the first backup is there.
                         for (int i = 0; i < 3000 && !fs::exists(wd / "backups" / "catalog.json"); i++)
                           std::this_thread::sleep_for(std::chrono::milliseconds(5));
                         ::kill(pid, SIGINT);
                       });
  EXPECT_EQ(130, r.code) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("interrupted")) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(130, j["exit_code"]);
  EXPECT_GE(j["backups"].size(), 1u);
  EXPECT_TRUE(fs::is_empty(wd)) << tree_state(wd);
}

}  // namespace
