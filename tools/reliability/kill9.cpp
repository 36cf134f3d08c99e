// Backup files under kill -9: the daemon that runs the agent (cowguard
// serve's nbdkit, then cowguard serve) is killed with SIGKILL at random
// moments of full and incremental backups, while a stamping writer writes
// the device.  After every kill the backup
// directory must verify, every committed point must restore byte for byte
// to the device at its frozen instant (the daemon's ground-truth copies),
// `check --repair` removes what the killed run left, and after a restart the
// next backup succeeds (a full one when the key was not stored).
//
// Every fourth kill is aimed at the catalog's update: that daemon pauses
// at each step of committing the catalog (temporary file made, written,
// fsynced, renamed; a test lever of the agent's file layer), and the kill
// falls at a random moment once the temporary catalog appears.
//
//   kill9-2.6.X [kills] [seed] [image MiB]      (defaults: 200 1 16)
//
// Prints kills, points committed and verified, bytes compared, wrong bytes,
// leftovers removed; exits 1 when any check failed.  Needs nbdkit (and
// cgstamp, built with libnbd, for the writer).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "proc.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;
using namespace cowguard::reliability;

namespace {

const std::string kExe = CG_COWGUARD_EXE;
const std::string kStamp = CG_CGSTAMP_EXE;

// The children of a process (from /proc/*/stat).
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream f(e.path() / "stat");
    std::string line;
    if (!std::getline(f, line)) continue;
    // pid (comm) state ppid ...: comm may hold spaces and parentheses.
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) out.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return out;
}

struct Totals {
  unsigned kills = 0, committed = 0, verified = 0, wrong_points = 0, failed_checks = 0, backups_after = 0;
  unsigned killed_before_commit = 0, killed_after_commit = 0;
  unsigned catalog_kills = 0, catalog_kills_after_rename = 0;
  std::uint64_t bytes_compared = 0, wrong_bytes = 0;
  unsigned leftovers_removed = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const unsigned kills = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 200;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
  const unsigned mib = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 16;
  if (std::system("command -v nbdkit > /dev/null") != 0) {
    std::printf("kill9: nbdkit is not installed; nothing run\n");
    return 0;
  }
  std::mt19937 rng(seed);
  char tmpl[] = "/tmp/cg-kill9-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path runs = dir / "run";
  ::mkdir(runs.c_str(), 0700);
  const std::string sock = (runs / "control.sock").string();
  const std::string image = (dir / "disk.img").string();
  const std::string bk = (dir / "bk").string();
  const std::string uri = "nbd+unix:///sda1?socket=" + (runs / "nbd.sock").string();
  const fs::path out = dir / "out.txt";
  if (run({kExe, "make-image", image, "--size", std::to_string(mib) + "M", "--block-size", "1024"}, out) != 0) {
    std::printf("kill9: cannot make the image: %s\n", slurp(out).c_str());
    return 1;
  }
  Totals t;
  std::map<unsigned, std::string> truth_of;  // committed point -> its frozen instant's copy
  unsigned life = 0;
  pid_t daemon = -1, writer = -1;
  fs::path truth;
  double typical = 0.3;  // seconds a backup takes, learned as it goes
  constexpr int kPauseMs = 60;
  auto catalog_kill = [](unsigned k) { return k % 4 == 2; };
  auto start = [&](bool pause_catalog) {
    truth = dir / ("truth-" + std::to_string(++life));
    fs::create_directories(truth);
    if (pause_catalog) {
      ::setenv("COWGUARD_TEST_COMMIT_PAUSE_MS", std::to_string(kPauseMs).c_str(), 1);
      ::setenv("COWGUARD_TEST_COMMIT_PAUSE_MATCH", "catalog", 1);
    }
    // In the foreground, as our child: its pid is the daemon's.
    daemon = spawn({kExe, "serve", image, "--socket", sock, "--truth-dir", truth.string(), "--foreground"},
                   dir / "serve.out");
    ::unsetenv("COWGUARD_TEST_COMMIT_PAUSE_MS");
    ::unsetenv("COWGUARD_TEST_COMMIT_PAUSE_MATCH");
    for (int i = 0; i < 400; i++) {
      if (run({kExe, "status", "--socket", sock}, out) == 0) break;
      std::this_thread::sleep_for(25ms);
    }
    if (!kStamp.empty())
      // Past the file system's super block, so that the partition still
      // mounts when the daemon starts again.
      writer = spawn({kStamp, "write", uri, "--log", (dir / "stamps.log").string(), "--threads", "4", "--seed",
                      std::to_string(rng()), "--first-sector", "64"},
                     dir / "writer.out");
  };
  auto stop_writer = [&] {
    if (writer > 0) ::kill(writer, SIGTERM), wait_exit(writer), writer = -1;
  };
  // The newest copy of this daemon's life: the frozen instant of its last backup.
  auto last_truth = [&]() -> std::string {
    std::string best;
    unsigned n = 0;
    for (const auto& e : fs::directory_iterator(truth)) {
      std::string name = e.path().filename().string();
      unsigned k = static_cast<unsigned>(std::atoi(name.substr(name.rfind('-') + 1).c_str()));
      if (k > n) n = k, best = e.path().string();
    }
    return best;
  };
  auto compare = [&](unsigned point, const std::string& want) {
    const fs::path img = dir / "restored.img";
    if (run({kExe, "restore", bk, "--point", std::to_string(point), "-o", img.string(), "--no-progress"}, out) != 0) {
      std::printf("point %u does not restore: %s\n", point, slurp(out).c_str());
      t.failed_checks++;
      return;
    }
    const std::uint64_t wrong = differing_bytes(img, want, &t.bytes_compared);
    t.wrong_bytes += wrong;
    if (wrong) {
      t.wrong_points++;
      std::printf("point %u: %llu bytes unlike the device at its frozen instant\n", point,
                  static_cast<unsigned long long>(wrong));
    } else {
      t.verified++;
    }
    fs::remove(img);
  };
  auto committed_points = [&]() {
    std::vector<unsigned> pts;
    if (run({kExe, "list", bk, "--json"}, out) != 0) return pts;
    json j = json::parse(slurp(out), nullptr, false);
    if (j.is_object() && j.contains("points"))
      for (const auto& p : j["points"]) pts.push_back(p.value("point", 0u));
    return pts;
  };

  const auto t0 = std::chrono::steady_clock::now();
  // Whether the temporary catalog of an update is in the directory.
  auto catalog_in_update = [&] {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(bk, ec))
      if (e.path().filename().string().rfind("catalog.json.tmp-", 0) == 0) return true;
    return false;
  };
  start(catalog_kill(0));
  for (unsigned k = 0; k < kills; k++) {
    const bool full = k % 8 == 0;
    std::vector<std::string> args = {kExe, "backup", "sda1", bk, "--all-blocks", "--json", "--no-progress", "--socket",
                                     sock};
    if (full) args.push_back("--full");
    const unsigned before = static_cast<unsigned>(committed_points().size());
    // One backup that completes (learning how long one takes), then one killed.
    auto b0 = std::chrono::steady_clock::now();
    pid_t c = spawn(args, out);
    if (wait_exit(c) == 0) {
      json r = json::parse(slurp(out), nullptr, false);
      typical = 0.7 * typical + 0.3 * std::chrono::duration<double>(std::chrono::steady_clock::now() - b0).count();
      if (r.is_object() && r.contains("truth_file")) {
        truth_of[r["point"].get<unsigned>()] = r["truth_file"];
        t.backups_after++;
      }
    } else {
      std::printf("a backup after a restart failed: %s\n", slurp(out).c_str());
      t.failed_checks++;
    }
    c = spawn(args, dir / "killed.out");
    bool at_catalog = false;
    if (catalog_kill(k)) {
      // Once the update has begun, anywhere in its four paused steps.
      auto limit = std::chrono::steady_clock::now() + 60s;
      while (!(at_catalog = catalog_in_update()) && std::chrono::steady_clock::now() < limit &&
             ::waitpid(c, nullptr, WNOHANG) == 0)
        std::this_thread::sleep_for(1ms);
      if (at_catalog) {
        std::uniform_real_distribution<double> when(0.0, 4.2 * kPauseMs / 1000.0);
        std::this_thread::sleep_for(std::chrono::duration<double>(when(rng)));
      } else {
        std::printf("kill %u: the catalog's update was not seen\n", k);
        t.failed_checks++;
      }
    } else {
      std::uniform_real_distribution<double> when(0.0, 1.3 * typical);
      std::this_thread::sleep_for(std::chrono::duration<double>(when(rng)));
    }
    // The agent runs in the daemon's nbdkit: it dies first, by SIGKILL,
    // before its parent's end could tell it to shut down in order.
    for (pid_t p : children_of(daemon)) ::kill(p, SIGKILL);
    ::kill(daemon, SIGKILL);
    wait_exit(daemon);
    wait_exit(c);
    stop_writer();
    t.kills++;
    // A point the killed run committed has its frozen instant as this
    // life's last copy.
    std::vector<unsigned> pts = committed_points();
    if (pts.size() > before + 1) {
      truth_of[pts.back()] = last_truth();
      t.killed_after_commit++;
    } else {
      t.killed_before_commit++;
    }
    if (at_catalog) {
      t.catalog_kills++;
      t.catalog_kills_after_rename += pts.size() > before + 1;
    }
    if (run({kExe, "verify", bk, "--no-progress"}, out) != 0) {
      std::printf("kill %u: verify fails: %s\n", k, slurp(out).c_str());
      t.failed_checks++;
    }
    if (run({kExe, "check", bk, "--repair", "--json"}, out) == 0) {
      json r = json::parse(slurp(out), nullptr, false);
      if (r.is_object())
        for (const char* key : {"temporary", "orphans"})
          if (r.contains("removed") && r["removed"].contains(key)) t.leftovers_removed += r["removed"][key].size();
    } else {
      std::printf("kill %u: check --repair fails: %s\n", k, slurp(out).c_str());
      t.failed_checks++;
    }
    // Every point committed since the last check, against its instant.
    for (unsigned p : pts)
      if (truth_of.count(p) && !truth_of[p].empty()) {
        compare(p, truth_of[p]);
        fs::remove(truth_of[p]);
        truth_of[p].clear();
        t.committed++;
      }
    fs::remove_all(truth);
    start(catalog_kill(k + 1));
  }
  ::kill(daemon, SIGTERM);
  wait_exit(daemon);
  stop_writer();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("kill9 (%s): %u kills of the daemon during backups (%u before the catalog took the point, %u after; "
              "%u during the catalog's update, %u of them after its rename), %u points committed and restored, %u byte-exact, %u wrong; %llu bytes compared, %llu wrong; %u "
              "leftovers removed; %u backups after a restart; %u failed checks; %.0f s\n",
              CG_KERNEL_LINE, t.kills, t.killed_before_commit, t.killed_after_commit, t.catalog_kills,
              t.catalog_kills_after_rename, t.committed, t.verified,
              t.wrong_points, static_cast<unsigned long long>(t.bytes_compared),
              static_cast<unsigned long long>(t.wrong_bytes), t.leftovers_removed, t.backups_after,
              t.failed_checks, secs);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return t.failed_checks || t.wrong_points ? 1 : 0;
}
