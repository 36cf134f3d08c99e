// The console: what a step prints (status, records, log lines), how expect
// and failures set the exit code, lines checked before their step runs,
// faults and devices through its steps, the line editor on a terminal, help,
// and that it gives back everything it made.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "format.h"
#include "standin/module.h"
#include "standin/task.h"
#include "standin/user.h"
#include "support/kernel_test.h"

namespace tool = cowguard::tool;
using Lines = std::vector<std::string>;

namespace {

Lines split(const std::string& s) {
  Lines out;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class ConsoleTest : public KernelTest {
 protected:
  // Runs a script in a fresh console (destroyed after); its output lines.
  Lines Run(const std::string& script, int* failures = nullptr) {
    std::ostringstream out;
    {
      tool::ConsoleOptions o;
      o.module_path = CG_MODULE_PATH;
      tool::Console c(out, o);
      std::istringstream in(script);
      c.run(in);
      if (failures) *failures = c.unexpected_failures();
      exit_code_ = c.exit_code();
    }
    return split(out.str());
  }
  // The lines that follow the echo of `step` up to the next echoed line.
  static Lines After(const Lines& all, const std::string& step) {
    Lines out;
    bool in = false;
    for (const auto& l : all) {
      if (l.rfind("> ", 0) == 0) {
        if (in) break;
        in = l == "> " + step;
        continue;
      }
      if (in) out.push_back(l);
    }
    return out;
  }
  // A fresh folder for the case's files, removed after the case.
  std::filesystem::path TempDir(const std::string& tag) {
    auto d = std::filesystem::temp_directory_path() / ("cowguard-console-" + tag + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    dirs_.push_back(d);
    return d;
  }
  void TearDown() override {
    for (const auto& d : dirs_) std::filesystem::remove_all(d);
    KernelTest::TearDown();
  }
  // Steps that make a 16 MiB file disk at img with one 12 MiB partition
  // carrying ext4 with 1024-byte blocks, mounted.
  static std::string Ext4Disk(const std::string& img) {
    return "disk file " + img + " 16M\n"
           "mbr sda 1M:12M\n"
           "mkfs ext4 sda1 1024\n"
           "mount sda1\n";
  }
  int exit_code_ = -1;
  std::vector<std::filesystem::path> dirs_;
};

const char kSetup[] =
    "disk ram 8M\n"
    "mbr sda 1M:4M 5M:rest\n"
    "mkfs testfs sda1 1024\n"
    "mount sda1\n"
    "insmod\n"
    "open\n";

TEST_F(ConsoleTest, StepsPrintStatusRecordsAndLogLines) {
  int failures = -1;
  Lines out = Run(std::string(kSetup) +
                      "get-block-size 3 sda1\n"
                      "start 3 sda1 cache=64\n"
                      "mmap 3 pages=2\n"
                      "get-state 3\n"
                      "get-state 3 len=8\n"
                      "version-minor 3\n"
                      "ioctl 3 CGD_GET_VERSION_MAJOR\n",
                  &failures);
  EXPECT_EQ(0, failures);
  EXPECT_EQ(0, exit_code_);
  EXPECT_EQ((Lines{"status 0 OK", "  disk sda 8:0 sectors=16384", "  log <6> sda:"}),
            After(out, "disk ram 8M"));
  EXPECT_EQ((Lines{"status 0 OK", "  partition sda1 8:1 start=2048 sectors=8192",
                   "  partition sda2 8:2 start=10240 sectors=6144", "  log <6> sda: sda1 sda2"}),
            After(out, "mbr sda 1M:4M 5M:rest"));
  EXPECT_EQ((Lines{"status 0 OK", "  testfs blockSize=1024"}), After(out, "mount sda1"));
  EXPECT_EQ((Lines{"status 0 OK", "  log <6>cgdInit: cowguard version 3.1.0 build 9504 loaded"}),
            After(out, "insmod"));
  EXPECT_EQ((Lines{"status 0 OK", "  fd 3"}), After(out, "open"));
  EXPECT_EQ((Lines{"status 0 CGD_OK", "  BlockSize major=8 minor=1 blockSize=1024 partitionSizeKB=4096"}),
            After(out, "get-block-size 3 sda1"));
  EXPECT_EQ((Lines{"status 0 CGD_OK", "  StartBackup major=8 minor=1 totalBlocks=4096 maxCacheBlocks=64",
                   "  log <6>backup_cache: kbackupd thread started",
                   "  log <6>ioctlStartBackup: backup started for device major=8 minor=1"}),
            After(out, "start 3 sda1 cache=64"));
  EXPECT_EQ((Lines{"status 0 OK", "  window w1 fd 3 pages=2"}), After(out, "mmap 3 pages=2"));
  EXPECT_EQ((Lines{"status 0 CGD_OK",
                   "  State major=8 minor=1 state=2 (CGD_STATE_STARTED) blockSize=1024 mmapSize=262144"}),
            After(out, "get-state 3"));
  // A short len: only the first fields arrive, and the console says so.
  EXPECT_EQ((Lines{"status 0 CGD_OK",
                   "  State major=8 minor=1 state=0 (CGD_STATE_IDLE) blockSize=0 mmapSize=0 "
                   "(only 8 of 20 bytes accepted)"}),
            After(out, "get-state 3 len=8"));
  EXPECT_EQ((Lines{"status 0 CGD_OK", "  value 1"}), After(out, "version-minor 3"));
  EXPECT_EQ((Lines{"status 0 CGD_OK", "  ioctl 0x40042a0c (CGD_GET_VERSION_MAJOR) len=4",
                   "  bytes 03000000"}),
            After(out, "ioctl 3 CGD_GET_VERSION_MAJOR"));
}

// The snapshot image through the console: a block overwritten after the
// snapshot still reads as it was, from the store, while the device holds
// the new bytes.  The key read with get-automap-state is presented next time.
TEST_F(ConsoleTest, WindowShowsTheSnapshotWhileTheDeviceChanges) {
  int failures = -1;
  Lines out = Run(std::string(kSetup) +
                      "write sda1 8 2 pattern=0x11\n"
                      "start 3 sda1\n"
                      "mmap 3 pages=1\n"
                      "snapshot 3\n"
                      "write sda1 8 2 pattern=0x22\n"
                      "get-automap-state 3\n"
                      "load-map 3 blocks=4,7\n"
                      "read-blocks 3 4 1\n"
                      "dump w1 0 16\n"
                      "read sda1 8 2 show=16\n"
                      "get-dirty-block 3\n"
                      "munmap w1\n"
                      "close 3\n"
                      "open\n"
                      "start 3 sda1\n"
                      "snapshot 3\n"
                      "get-automap 3\n",
                  &failures);
  EXPECT_EQ(0, failures) << ::testing::PrintToString(out);
  EXPECT_EQ((Lines{"status 0 CGD_OK", "  SnapShot key=none len=0",
                   "  log <3>ioctlSnapShot: Going to freez: 8.1"}),
            After(out, "snapshot 3"));
  Lines ams = After(out, "get-automap-state 3");
  ASSERT_EQ(2u, ams.size());
  EXPECT_EQ(0u, ams[1].find("  AutoMapState major=8 minor=1 state=1 (in sync) mapLen=4096 mapSize=512 key="))
      << ams[1];
  EXPECT_EQ((Lines{"status 0 CGD_OK", "  UserBlockMap mapLen=4096 wanted=2 (4,7)"}),
            After(out, "load-map 3 blocks=4,7"));
  EXPECT_EQ((Lines{"status 0 OK",
                   "  00000000: 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11  |................|"}),
            After(out, "dump w1 0 16"));
  EXPECT_EQ((Lines{"status 0 OK",
                   "  00001000: 22 22 22 22 22 22 22 22 22 22 22 22 22 22 22 22  |\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"|"}),
            After(out, "read sda1 8 2 show=16"));
  // Block 4 left the store when it was read; block 7 was never preserved.
  EXPECT_EQ((Lines{"status 0 CGD_OK", "  block 4294967295 (none held)"}), After(out, "get-dirty-block 3"));
  // The second snapshot presents the key it read: the module hands over the
  // changed-block map, which holds the block written after the first one.
  Lines snap2;
  bool second = false;
  for (std::size_t i = 0; i < out.size(); i++)
    if (out[i] == "> snapshot 3") {
      if (second) snap2 = {out[i + 1], out[i + 2]};
      second = true;
    }
  ASSERT_EQ(2u, snap2.size());
  EXPECT_EQ("status 0 CGD_OK", snap2[0]);
  EXPECT_NE(std::string::npos, snap2[1].find("len=56")) << snap2[1];
  Lines map = After(out, "get-automap 3");
  ASSERT_GE(map.size(), 2u);
  EXPECT_EQ("status 0 CGD_OK", map[0]);
  EXPECT_EQ("  changed blocks=1 (4)", map[1]);
}

TEST_F(ConsoleTest, ExpectAndFailuresSetTheExitCode) {
  int failures = -1;
  // Every failure expected: exit code 0.
  Lines out = Run("insmod\nopen\nsnapshot 3\nexpect CGD_ERR_INVALID\nrmmod\nexpect EBUSY\n"
                  "mount 8:99\nexpect fail\nclose 3\nexpect ok\n",
                  &failures);
  EXPECT_EQ(0, failures);
  EXPECT_EQ(0, exit_code_);
  EXPECT_EQ((Lines{"expect EBUSY: ok"}), After(out, "expect EBUSY"));
  EXPECT_EQ((Lines{"status -16 EBUSY"}), After(out, "rmmod"));

  // A wrong expect, an unchecked failure, an unknown command, an unknown
  // field and an expect with nothing before it: five failures.
  out = Run("expect ok\ninsmod\nopen\nsnapshot 3\nexpect CGD_OK\nsnapshot 3\nget-state 3\n"
            "frobnicate\nget-state 3 lenn=4\n",
            &failures);
  EXPECT_EQ(5, failures);
  EXPECT_EQ(1, exit_code_);
  EXPECT_EQ((Lines{"error: expect: no step before it to check"}), After(out, "expect ok"));
  EXPECT_EQ((Lines{"expect CGD_OK: FAILED (got 2)"}), After(out, "expect CGD_OK"));
  Lines unchecked = After(out, "snapshot 3");
  EXPECT_EQ("status 2 CGD_ERR_INVALID", unchecked.at(0));
  EXPECT_EQ((Lines{"error: unknown command 'frobnicate' (try help)"}), After(out, "frobnicate"));
  // The line with an unknown field does not run: no status, only the error.
  EXPECT_EQ((Lines{"error: get-state has no field lenn", "usage: get-state FD [len=20] [s=PTR]"}),
            After(out, "get-state 3 lenn=4"));
  // The failure of the unchecked snapshot is reported when the next step starts.
  bool reported = false;
  for (std::size_t i = 0; i + 1 < out.size(); i++)
    reported = reported || (out[i] == "unexpected failure" && out[i + 1] == "> get-state 3");
  EXPECT_TRUE(reported) << ::testing::PrintToString(out);
}

TEST_F(ConsoleTest, FaultsAndDiskErrorsReachTheSteps) {
  int failures = -1;
  Lines out = Run("disk ram 1M\n"
                  "insmod\n"
                  "fault kmalloc nth=1\n"
                  "open\n"
                  "expect ENOMEM\n"
                  "fault show kmalloc\n"
                  "fault clear\n"
                  "open\n"
                  "expect ok\n"
                  "disk-fault sda 0 8 reads\n"
                  "read sda 0 1\n"
                  "expect EIO\n"
                  "write sda 0 1\n"
                  "expect ok\n"
                  "disk-fault sda clear\n"
                  "read sda 0 1 show=4\n"
                  "fault nosuchsite nth=1\n",
                  &failures);
  EXPECT_EQ(1, failures);  // the bad site only
  EXPECT_EQ((Lines{"status -1 ENOMEM"}), After(out, "open"));
  EXPECT_EQ((Lines{"status 0 OK", "  kmalloc calls=1 failures=1"}), After(out, "fault show kmalloc"));
  EXPECT_EQ((Lines{"status -5 EIO"}), After(out, "read sda 0 1"));
  EXPECT_EQ((Lines{"status 0 OK", "  00000000: a5 a5 a5 a5                                      |....|"}),
            After(out, "read sda 0 1 show=4"));
  EXPECT_EQ((Lines{"error: no fault site 'nosuchsite'", "usage: fault SITE [nth=N] [interval=N] "
                   "[times=N] [name=PREFIX] | fault clear [SITE] | fault show SITE"}),
            After(out, "fault nosuchsite nth=1"));
}

// A line is checked whole before its step runs: a missing or extra word, an
// unknown field, a field given twice or a bad value is a usage error, and
// the step does nothing at all.
TEST_F(ConsoleTest, InvalidLinesChangeNothing) {
  int failures = -1;
  Lines out = Run("disk ram 8M\n"
                  "mbr sda 1M:4M 5M:rest\n"
                  "mkfs testfs sda1 1024\n"
                  "insmod\n"
                  "write sda1 100 1 pattern=0x22\n"
                  // Each of these would have changed something.
                  "mount sda1 sda2\n"
                  "mount sda1 now=1\n"
                  "write sda1 100 1 pattern=0x11 patern=1\n"
                  "fault kmalloc nth=1 nht=2\n"
                  "fault clear nth=1\n"
                  "open flags=rwx\n"
                  "open\n"
                  "close 3 now=1\n"
                  "mmap 3 prot=rwx\n"
                  "mmap 3 pages=1 pages=2\n"
                  "start 3\n"
                  "disk floppy 1M\n"
                  "disk ram\n"
                  "load-map 3 blocks=1-x maplen=8\n"
                  "quit now\n"
                  // What is there afterwards.
                  "disks\n"
                  "read sda1 100 1 show=4\n"
                  "get-state 3\n"
                  "windows\n"
                  "fault show kmalloc\n"
                  "echo still=here\n",
                  &failures);
  EXPECT_EQ(14, failures) << ::testing::PrintToString(out);
  auto refused = [&](const std::string& line, const std::string& error, const std::string& usage) {
    EXPECT_EQ((Lines{"error: " + error, "usage: " + usage}), After(out, line)) << line;
  };
  refused("mount sda1 sda2", "too many words: sda2", "mount DEV");
  refused("mount sda1 now=1", "mount has no field now", "mount DEV");
  refused("write sda1 100 1 pattern=0x11 patern=1", "write has no field patern",
          "write DEV SECTOR COUNT [pattern=BYTE] [via=bio|fs]");
  const std::string fault_usage =
      "fault SITE [nth=N] [interval=N] [times=N] [name=PREFIX] | fault clear [SITE] | fault show SITE";
  refused("fault kmalloc nth=1 nht=2", "fault has no field nht", fault_usage);
  refused("fault clear nth=1", "fault has no field nth", fault_usage);
  refused("open flags=rwx", "bad flags 'rwx' (rw, r or w)", "open [PATH] [flags=rw|r|w]");
  refused("close 3 now=1", "close has no field now", "close FD");
  const std::string mmap_usage =
      "mmap FD [pages=N] [len=BYTES] [prot=r|rw] [flags=private|shared] [offset=N]";
  refused("mmap 3 prot=rwx", "bad prot 'rwx' (r, rw or w)", mmap_usage);
  refused("mmap 3 pages=1 pages=2", "field pages given twice", mmap_usage);
  refused("start 3", "missing DEV", "start FD DEV [blocks=N] [cache=N] [major= minor=]");
  const std::string disk_usage =
      "disk ram SIZE | disk file PATH [SIZE]  [major= minors= first-minor= name= queue=0 sparse=0 "
      "direct=1 workers=N]";
  refused("disk floppy 1M", "'floppy' is not ram or file", disk_usage);
  refused("disk ram", "missing SIZE", disk_usage);
  refused("load-map 3 blocks=1-x maplen=8", "bad blocks '1-x' (all, none or a list like 0-99,200)",
          "load-map FD [blocks=all|none|LIST] [maplen=N] [len=N] [map=PTR] [bm=PTR]");
  refused("quit now", "too many words: now", "quit");

  // Nothing mounted, the sector as first written, fd 3 open with no window
  // and no backup started, no fault set (open went through).
  EXPECT_EQ((Lines{"status 0 OK", "  disk sda 8:0 sectors=16384",
                   "  partition sda1 8:1 start=2048 sectors=8192",
                   "  partition sda2 8:2 start=10240 sectors=6144"}),
            After(out, "disks"));
  EXPECT_EQ((Lines{"status 0 OK", "  0000c800: 22 22 22 22                                      |\"\"\"\"|"}),
            After(out, "read sda1 100 1 show=4"));
  EXPECT_EQ((Lines{"status 0 OK", "  fd 3"}), After(out, "open"));
  Lines state = After(out, "get-state 3");
  ASSERT_FALSE(state.empty());
  EXPECT_EQ("status 0 CGD_OK", state[0]);
  EXPECT_NE(std::string::npos, state.at(1).find("CGD_STATE_IDLE")) << state.at(1);
  EXPECT_EQ((Lines{"status 0 OK", "  device mappings: 0"}), After(out, "windows"));
  Lines kmalloc = After(out, "fault show kmalloc");
  ASSERT_EQ(2u, kmalloc.size());
  EXPECT_TRUE(kmalloc[1].ends_with(" failures=0")) << kmalloc[1];
  // Free text keeps its = signs.
  EXPECT_EQ((Lines{"still=here"}), After(out, "echo still=here"));
}

TEST_F(ConsoleTest, MakesAndMountsExt4OnAFileDisk) {
  std::string img = (TempDir("ext4") / "disk.img").string();
  int failures = -1;
  Lines out = Run(Ext4Disk(img) +
                  "mkfs ext4 sda1\n"
                  "disks\n",
                  &failures);
  EXPECT_EQ(1, failures);  // mkfs on the mounted partition
  EXPECT_EQ((Lines{"status 0 OK", "  ext4 blocks=12288 blockSize=1024"}), After(out, "mkfs ext4 sda1 1024"));
  EXPECT_EQ((Lines{"status 0 OK", "  ext4 blockSize=1024"}), After(out, "mount sda1"));
  EXPECT_EQ((Lines{"error: 8:1 is mounted", "usage: mkfs testfs DEV BLOCKSIZE | mkfs ext4 DEV [BLOCKSIZE]"}),
            After(out, "mkfs ext4 sda1"));
  EXPECT_EQ((Lines{"status 0 OK", "  disk sda 8:0 sectors=32768 file=" + img,
                   "  partition sda1 8:1 start=2048 sectors=24576 mounted"}),
            After(out, "disks"));
}

// The agent's steps: a full and an incremental backup of a live ext4 file
// system, restored and verified from the console; a corrupt delta file is
// then reported by verify and refused by restore.
TEST_F(ConsoleTest, BacksUpALiveExt4FileSystemAndRestoresIt) {
  auto dir = TempDir("agent");
  std::string img = (dir / "disk.img").string(), backups = (dir / "backups").string();
  std::string restored = (dir / "restored.img").string();
  int failures = -1;
  Lines out = Run(Ext4Disk(img) +
                  "insmod\n"
                  "workload start sda1 threads=1 seed=3\n"
                  "sleep 100\n"
                  "backup sda1 " + backups + "\n"
                  "sleep 100\n"
                  "backup sda1 " + backups + " incremental\n"
                  "workload stop\n"
                  "verify " + backups + "\n"
                  "restore " + backups + " " + restored + "\n"
                  "backup sda1 " + backups + " sideways\n"
                  "restore " + backups + " " + restored + ".2 pont=2\n"
                  "backup sda1 " + backups + ".2 cach=64\n",
                  &failures);
  EXPECT_EQ(3, failures) << "only the three bad lines at the end fail";

  Lines full = After(out, "backup sda1 " + backups);
  ASSERT_FALSE(full.empty());
  EXPECT_EQ("status 0 OK", full[0]);
  EXPECT_NE(full.end(), std::find_if(full.begin(), full.end(), [](const std::string& l) {
              return l.find("point 1: full backup of 8:1") != std::string::npos;
            }));
  Lines inc = After(out, "backup sda1 " + backups + " incremental");
  ASSERT_FALSE(inc.empty());
  EXPECT_EQ("status 0 OK", inc[0]);
  bool incremental = false, stats = false;
  for (const auto& l : inc) {
    incremental = incremental || l.find("point 2: incremental backup") != std::string::npos;
    stats = stats || l.find("module statistics before the close") != std::string::npos;
  }
  EXPECT_TRUE(incremental) << ::testing::PrintToString(inc);
  EXPECT_TRUE(stats);
  EXPECT_EQ("status 0 OK", After(out, "workload stop").at(0));
  EXPECT_EQ("status 0 OK", After(out, "verify " + backups).at(0));
  EXPECT_EQ("status 0 OK", After(out, "restore " + backups + " " + restored).at(0));
  EXPECT_TRUE(std::filesystem::exists(restored));
  EXPECT_EQ("error: unknown word 'sideways' (incremental, full, all-blocks or new-chain)",
            After(out, "backup sda1 " + backups + " sideways").at(0));
  // A misspelt field refuses the line before the step writes anything.
  EXPECT_EQ((Lines{"error: restore has no field pont", "usage: restore DIR FILE [point=N]"}),
            After(out, "restore " + backups + " " + restored + ".2 pont=2"));
  EXPECT_FALSE(std::filesystem::exists(restored + ".2"));
  EXPECT_EQ("error: backup has no field cach", After(out, "backup sda1 " + backups + ".2 cach=64").at(0));
  EXPECT_FALSE(std::filesystem::exists(backups + ".2"));

  // A byte flipped in the middle of the delta file.
  std::filesystem::path delta;
  for (const auto& e : std::filesystem::directory_iterator(backups))
    if (e.path().filename().string().find("delta") != std::string::npos) delta = e.path();
  ASSERT_FALSE(delta.empty());
  {
    std::fstream f(delta, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(std::filesystem::file_size(delta) / 2));
    char c = 0;
    f.get(c);
    f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(delta) / 2));
    f.put(static_cast<char>(c ^ 0x40));
  }
  std::filesystem::remove(restored);

  Lines bad = Run("verify " + backups + "\nexpect CORRUPT_INPUT\nrestore " + backups + " " + restored +
                  "\nexpect 4\n", &failures);
  EXPECT_EQ(0, failures) << ::testing::PrintToString(bad);
  EXPECT_FALSE(std::filesystem::exists(restored));

  // Another file system on the device is another source: refused, the
  // catalog as it was, until a new chain is asked for; then both chains list.
  Lines other = Run(Ext4Disk((dir / "other.img").string()) + "insmod\n" +
                    "backup sda1 " + backups + "\nexpect BAD_ARGUMENTS\n"
                    "backup sda1 " + backups + " new-chain\n",
                    &failures);
  EXPECT_EQ(0, failures) << ::testing::PrintToString(other);
  Lines refused = After(other, "backup sda1 " + backups);
  EXPECT_NE(refused.end(), std::find_if(refused.begin(), refused.end(), [](const std::string& l) {
              return l.find("holds backups of another source") != std::string::npos;
            })) << ::testing::PrintToString(refused);
  Lines chained = After(other, "backup sda1 " + backups + " new-chain");
  EXPECT_NE(chained.end(), std::find_if(chained.begin(), chained.end(), [](const std::string& l) {
              return l.find("a new chain starts for another source") != std::string::npos;
            })) << ::testing::PrintToString(chained);
  auto cat = cowguard::agent::Catalog::load(backups);
  ASSERT_TRUE(cat);
  ASSERT_EQ(3u, cat->entries.size());
  EXPECT_EQ(2u, cat->entries[2].chain);
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
  ExpectNoLeaks();
}

// A backup step that fails takes back the directory it made for the backup
// (with the parents it made), and nothing that was there before it.
TEST_F(ConsoleTest, FailedBackupRemovesOnlyTheDirectoryItMade) {
  auto dir = TempDir("failed");
  const auto made = dir / "new", existing = dir / "existing";
  std::filesystem::create_directories(existing);
  std::ofstream(existing / "keep.txt") << "mine\n";
  const std::string setup = std::string(kSetup).substr(0, std::string(kSetup).find("insmod"));
  int failures = -1;
  Lines out = Run(setup +
                      // The module is not loaded: the agent cannot open the control device.
                      "backup sda1 " + (made / "deeper/b").string() + "\n"
                      "expect fail\n"
                      "backup sda1 " + existing.string() + "\n"
                      "expect fail\n"
                      // Loaded, but the disk fails every read: the backup fails while reading.
                      "insmod\n"
                      "disk-fault sda 0 16384 reads\n"
                      "backup sda1 " + made.string() + "/ all-blocks\n"
                      "expect fail\n",
                  &failures);
  EXPECT_EQ(0, failures) << ::testing::PrintToString(out);
  Lines first = After(out, "backup sda1 " + (made / "deeper/b").string());
  ASSERT_FALSE(first.empty());
  EXPECT_NE("status 0 OK", first[0]);
  EXPECT_NE(first.end(), std::find(first.begin(), first.end(),
                                   "  removed " + made.string() + " (made by this step)"))
      << ::testing::PrintToString(first);
  Lines reading = After(out, "backup sda1 " + made.string() + "/ all-blocks");
  EXPECT_NE(reading.end(), std::find(reading.begin(), reading.end(),
                                     "  removed " + made.string() + " (made by this step)"))
      << ::testing::PrintToString(reading);
  EXPECT_FALSE(std::filesystem::exists(made));
  // The directory that was there keeps what it held, and only that.
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(existing)) left.push_back(e.path().filename());
  EXPECT_EQ((std::vector<std::string>{"keep.txt"}), left);
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
}

// A console ended in the middle of a backup (module loaded, a file open, a
// window mapped, a file system mounted) gives everything back.
TEST_F(ConsoleTest, EndingTheConsoleCleansUp) {
  int failures = -1;
  Run(std::string(kSetup) + "open\nstart 3 sda1\nmmap 3 pages=4\nsnapshot 3\n", &failures);
  EXPECT_EQ(0, failures);
  EXPECT_FALSE(standin::modules::loaded("cowguard"));
  EXPECT_EQ(0u, standin::user::mappings());
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
  ExpectNoLeaks();
}

// The far end of a pseudo-terminal: what the console's terminal shows, and
// keys typed into it.
class TerminalEnd {
 public:
  explicit TerminalEnd(int master) : fd_(master) {}
  // Reads what the terminal shows until `text` has appeared since the last
  // wait; false when it does not within 20 s (the console would hang).
  bool WaitFor(const std::string& text) {
    for (int waited = 0; waited < 20000;) {
      auto at = shown_.find(text, from_);
      if (at != std::string::npos) {
        before_ = shown_.substr(from_, at - from_);
        from_ = at + text.size();
        return true;
      }
      struct pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) {
        waited += 100;
        continue;
      }
      char buf[256];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return false;
      shown_.append(buf, static_cast<std::size_t>(n));
    }
    return false;
  }
  // Types keys once the line editor reads them, key by key (the terminal
  // out of canonical mode): typed any earlier, the terminal's own line
  // discipline would take them, and an end of input (^D) would be lost.
  void Type(const std::string& keys) {
    struct termios t = {};
    for (int waited = 0; waited < 20000 && ::tcgetattr(fd_, &t) == 0 && (t.c_lflag & ICANON); waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(static_cast<ssize_t>(keys.size()), ::write(fd_, keys.data(), keys.size()));
  }
  // What the terminal showed before the text last waited for.
  const std::string& Before() const { return before_; }

 private:
  int fd_;
  std::string shown_, before_;
  std::size_t from_ = 0;
};

// On a terminal the console reads through the line editor: the prompt is
// there before anything is typed, a line can be edited before it is sent,
// and the up arrow brings back lines typed before.
TEST_F(ConsoleTest, TerminalPromptsFirstAndKeepsAHistory) {
  int master = -1, slave = -1;
  ASSERT_EQ(0, ::openpty(&master, &slave, nullptr, nullptr, nullptr));
  std::FILE* in = ::fdopen(::dup(slave), "r");
  std::FILE* term = ::fdopen(::dup(slave), "w");
  ::close(slave);
  ASSERT_TRUE(in && term);

  // The typist works from another thread while this one runs the console.
  bool prompt_first = false, edited = false, recalled = false;
  std::string first_shown;
  std::thread typist([&] {
    TerminalEnd t(master);
    prompt_first = t.WaitFor("cowguard> ");
    first_shown = t.Before();
    if (prompt_first) {
      t.Type("echo one\r");
      edited = t.WaitFor("cowguard> ");
      t.Type("echo twx\x7fo\r");  // a typo rubbed out
      edited = edited && t.WaitFor("cowguard> ");
      t.Type("\x1b[A\x1b[A\r");  // up twice: echo one
      recalled = t.WaitFor("cowguard> ");
    }
    if (recalled) {
      t.Type("\x04");  // end of input
    } else {
      ::close(master);  // a hang up ends the console
      master = -1;
    }
  });
  std::ostringstream out;
  {
    tool::ConsoleOptions o;
    o.module_path = CG_MODULE_PATH;
    o.echo = false;
    tool::Console c(out, o);
    tool::EditLineInput input(in, term, "cowguard> ");
    c.run(input);
    EXPECT_EQ(0, c.exit_code());
  }
  typist.join();
  std::fclose(in);
  std::fclose(term);
  if (master >= 0) ::close(master);
  EXPECT_TRUE(prompt_first) << "no prompt before the first line";
  EXPECT_EQ(std::string::npos, first_shown.find_first_not_of("\r\n")) << first_shown;
  EXPECT_TRUE(edited);
  EXPECT_TRUE(recalled);
  EXPECT_EQ("one\ntwo\none\n", out.str());
}

// Words separated by single blanks.
std::string Squeeze(const std::string& s) {
  std::istringstream in(s);
  std::string out;
  for (std::string w; in >> w;) out += (out.empty() ? "" : " ") + w;
  return out;
}

// help lists each command in two columns, its usage on the left and its
// description on the right; what wraps stays in its column and every line
// fits 80 columns.  Read back, each row says what `help COMMAND` says.
TEST_F(ConsoleTest, HelpListsEveryCommandInTwoColumns) {
  int failures = -1;
  Lines out = Run("help\nhelp read-blocks\nhelp expect\nhelp nosuch\n", &failures);
  EXPECT_EQ(1, failures);
  EXPECT_EQ((Lines{"usage: read-blocks FD START COUNT [window=W] [data=PTR]",
                   "  CGD_READ_BLOCKS into a window (the fd's first window by default)"}),
            After(out, "help read-blocks"));
  EXPECT_EQ((Lines{"error: no command nosuch", "usage: help [COMMAND]"}), After(out, "help nosuch"));

  Lines table = After(out, "help");
  // The description column: where the description of `insmod [PATH]` starts.
  std::size_t col = std::string::npos;
  for (const auto& l : table)
    if (l.rfind("  insmod [PATH] ", 0) == 0) col = l.find_first_not_of(' ', 16);
  ASSERT_NE(std::string::npos, col);
  ASSERT_GT(col, 20u);
  // Rows: a line with a word at the left edge of the usage column starts a
  // form (the first form of a new command when its first word changes).
  struct Row {
    std::vector<std::string> forms;
    std::string help;
  };
  std::vector<Row> rows;
  std::vector<std::string> groups;
  for (const auto& l : table) {
    EXPECT_LE(l.size(), 80u) << l;
    if (l.size() > 1 && l[0] == ' ' && l[1] != ' ' && l.back() == ':') {
      groups.push_back(l.substr(1, l.size() - 2));
      continue;
    }
    if (l.rfind("  ", 0) != 0 || groups.empty()) continue;  // the lines above and below the table
    std::string left = l.substr(0, std::min(col, l.size())), right = l.size() > col ? l.substr(col) : "";
    // Nothing of the usage runs into the description column.
    ASSERT_TRUE(right.empty() || left.ends_with("  ")) << l;
    EXPECT_TRUE(right.empty() || right[0] != ' ') << l;
    left = Squeeze(left);
    bool starts = l.size() > 2 && l[2] != ' ';
    if (starts) {
      std::string name = left.substr(0, left.find(' '));
      if (rows.empty() || rows.back().forms[0].substr(0, rows.back().forms[0].find(' ')) != name)
        rows.push_back({});
      rows.back().forms.push_back(left);
    } else if (!left.empty()) {
      ASSERT_FALSE(rows.empty()) << l;
      rows.back().forms.back() += " " + left;
    }
    if (!right.empty()) rows.back().help += (rows.back().help.empty() ? "" : " ") + Squeeze(right);
  }
  EXPECT_EQ((std::vector<std::string>{"general", "disks", "faults", "module", "commands", "agent"}), groups);
  ASSERT_GT(rows.size(), 40u);
  for (const auto& r : rows) {
    std::string usage;
    for (const auto& f : r.forms) usage += (usage.empty() ? "" : " | ") + f;
    std::string name = usage.substr(0, usage.find(' '));
    Lines one = After(Run("help " + name + "\n"), "help " + name);
    ASSERT_EQ(2u, one.size()) << name;
    EXPECT_EQ(Squeeze(one[0]), "usage: " + usage);
    EXPECT_EQ(Squeeze(one[1]), r.help) << name;
  }
  // Some of the rows, as they read.
  std::vector<std::string> names;
  for (const auto& r : rows) names.push_back(r.forms[0].substr(0, r.forms[0].find(' ')));
  for (const char* c : {"disk", "mbr", "mkfs", "mount", "insmod", "open", "mmap", "dump", "start", "snapshot",
                        "load-map", "read-blocks", "get-stats", "ioctl", "fault", "disk-fault", "write",
                        "expect", "expect-log", "quit", "backup", "restore"})
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), c)) << c;
}

}  // namespace
