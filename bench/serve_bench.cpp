// What the daemon costs the programs that write its exports, measured with
// fio's nbd engine (4 KiB random writes, queue depth 8, 1 and 4 jobs), side
// by side with QEMU's backup job in the same run:
//  - cowguard serve, the ext4 partition of a served image: no backup ever
//    taken (module loaded, nothing tracked), tracking only (between
//    backups), and while full backups run one after another;
//  - qemu-storage-daemon exporting a raw image of the same size (every
//    cluster written, so that a backup copies all of it) over NBD: no
//    backup, and while blockdev-backup jobs (its copy-before-write filter)
//    to a raw file run one after another, driven over QMP.
// Prints IOPS and p99 completion latency per case (min / median / max over
// the repeats), each case's ratio to its side's baseline, and the two
// "while backups run" ratios together.  Both sides write their backups to
// tmpfs (/dev/shm when there is one), so that neither waits on the disk
// writing back what the other did not have to, and each backup replaces
// the one before.  Asserts nothing.
//
//   bench_serve-2.6.X [seconds per run] [repeats] [image MiB]   (defaults: 3 3 512)
//
// The daemon runs with the stand-in's lock validator off (CG_LOCKCHECK=0).
//
// Needs nbdkit and fio, and qemu-storage-daemon for the peer (Debian's
// qemu-system-common); tools/install-deps.sh installs them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <random>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Runs a command; its stdout, and its exit code in *code.
std::string run(const std::string& cmd, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  if (code) *code = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  return out;
}

struct Figure {
  double iops = 0, p99_us = 0;
};

// One fio run of 4 KiB random writes, queue depth 8.
Figure fio(const std::string& uri, unsigned seconds, unsigned jobs) {
  std::string out = run("fio --output-format=json --ioengine=nbd --uri='" + uri +
                        "' --rw=randwrite --bs=4k --iodepth=8 --numjobs=" + std::to_string(jobs) +
                        " --group_reporting --time_based --runtime=" + std::to_string(seconds) +
                        " --name=w 2>/dev/null");
  json j = json::parse(out.substr(std::min(out.find('{'), out.size())), nullptr, false);
  Figure f;
  if (j.is_discarded() || !j.contains("jobs") || j["jobs"].empty()) return f;
  const json& w = j["jobs"][0]["write"];
  f.iops = w.value("iops", 0.0);
  if (w.contains("clat_ns") && w["clat_ns"].contains("percentile"))
    f.p99_us = w["clat_ns"]["percentile"].value("99.000000", 0.0) / 1000.0;
  return f;
}

std::string summary(std::vector<double> v, const char* fmt) {
  if (v.empty()) return "-";
  std::sort(v.begin(), v.end());
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt, v.front(), v[v.size() / 2], v.back());
  return buf;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The figures of one case over its repeats.
struct Case {
  std::string name;
  std::vector<double> iops, p99;
  void add(const Figure& f) {
    iops.push_back(f.iops);
    p99.push_back(f.p99_us);
  }
};

void print_cases(const std::vector<Case>& cases) {
  const double base_iops = median(cases[0].iops), base_p99 = median(cases[0].p99);
  for (const Case& c : cases)
    std::printf("  %-36s %26s %7.2f %26s %7.2f\n", c.name.c_str(),
                summary(c.iops, "%.0f / %.0f / %.0f").c_str(),
                base_iops > 0 ? median(c.iops) / base_iops : 0.0,
                summary(c.p99, "%.0f / %.0f / %.0f").c_str(), base_p99 > 0 ? median(c.p99) / base_p99 : 0.0);
}

// A QMP client on a unix socket: one JSON object per line; events are
// kept apart from command returns.
class Qmp {
 public:
  bool connect(const std::string& path) {
    for (int tries = 0; tries < 100 && fd_ < 0; tries++) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        fd_ = fd;
        break;
      }
      ::close(fd);
      ::usleep(50000);
    }
    if (fd_ < 0) return false;
    json greeting;
    return next(&greeting, 5000) && greeting.contains("QMP") && command("qmp_capabilities").contains("return");
  }
  ~Qmp() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Sends a command and answers its reply (an "error" member on failure).
  json command(const std::string& name, json args = nullptr) {
    json c = {{"execute", name}};
    if (!args.is_null()) c["arguments"] = std::move(args);
    std::string line = c.dump() + "\n";
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {{"error", "write"}};
    json m;
    while (next(&m, 30000))
      if (!m.contains("event")) return m;
      else events_.push_back(m);
    return {{"error", "no reply"}};
  }
  // Waits up to ms for the event called name whose data matches key=value.
  bool wait_event(const std::string& name, const std::string& key, const std::string& value, int ms) {
    for (;;) {
      for (auto it = events_.begin(); it != events_.end(); ++it)
        if ((*it)["event"] == name && (*it)["data"].value(key, "") == value) {
          events_.erase(it);
          return true;
        }
      json m;
      if (!next(&m, ms)) return false;
      if (m.contains("event")) events_.push_back(m);
    }
  }

 private:
  bool next(json* out, int ms) {
    for (;;) {
      std::size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        *out = json::parse(buf_.substr(0, nl), nullptr, false);
        buf_.erase(0, nl + 1);
        if (!out->is_discarded()) return true;
        continue;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) return false;
      char b[4096];
      ssize_t n = ::read(fd_, b, sizeof b);
      if (n <= 0) return false;
      buf_.append(b, static_cast<std::size_t>(n));
    }
  }
  int fd_ = -1;
  std::string buf_;
  std::vector<json> events_;
};

// Writes a raw image of mib MiB with pseudo-random bytes in every cluster,
// on stable storage before it is measured (a backup job's flush would
// otherwise write the whole image back to the disk).
bool write_full_image(const std::string& path, unsigned mib) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::mt19937_64 rng(42);
  std::vector<std::uint64_t> chunk((1u << 20) / 8);
  bool ok = true;
  for (unsigned m = 0; m < mib && ok; m++) {
    for (auto& w : chunk) w = rng();
    ok = std::fwrite(chunk.data(), 8, chunk.size(), f) == chunk.size();
  }
  ok = ok && std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
  return std::fclose(f) == 0 && ok;
}

const unsigned kJobs[] = {1, 4};

// The peer: qemu-storage-daemon exporting dir/qemu.img; cases[j] gets the
// figures of kJobs[j] (no backup, while backup jobs run).  False when it
// could not be measured.
bool measure_qemu(const fs::path& dir, const fs::path& out, unsigned mib, unsigned seconds, unsigned repeats,
                  std::vector<Case> cases[2], unsigned* backups_during) {
  const std::string img = (dir / "qemu.img").string(), tgt = (out / "qemu-backup.img").string();
  const std::string nbd = (dir / "qemu-nbd.sock").string(), qmp_path = (dir / "qmp.sock").string();
  if (!write_full_image(img, mib) || !write_full_image(tgt, mib)) return false;
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::string file = "driver=file,node-name=file0,filename=" + img;
    std::string addr = "addr.type=unix,addr.path=" + nbd;
    std::string chr = "socket,id=qmp0,path=" + qmp_path + ",server=on,wait=off";
    ::execlp("qemu-storage-daemon", "qemu-storage-daemon", "--blockdev", file.c_str(), "--blockdev",
             "driver=raw,node-name=disk0,file=file0", "--nbd-server", addr.c_str(), "--export",
             "type=nbd,id=exp0,node-name=disk0,name=disk,writable=on", "--chardev", chr.c_str(), "--monitor",
             "chardev=qmp0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  Qmp qmp;
  bool ok = pid > 0 && qmp.connect(qmp_path) &&
            qmp.command("blockdev-add", {{"driver", "file"}, {"node-name", "tfile"}, {"filename", tgt}})
                .contains("return") &&
            qmp.command("blockdev-add", {{"driver", "raw"}, {"node-name", "tgt"}, {"file", "tfile"}})
                .contains("return");
  const std::string uri = "nbd+unix:///disk?socket=" + nbd;
  if (ok) {
    for (int j = 0; j < 2; j++) cases[j] = {{"no backup", {}, {}}, {"while backup jobs run", {}, {}}};
    fio(uri, 1, 1);  // warms the page cache
    unsigned job_id = 0;
    for (unsigned r = 0; r < repeats && ok; r++)
      for (int j = 0; j < 2 && ok; j++) {
        cases[j][0].add(fio(uri, seconds, kJobs[j]));
        // Backups one after another on this thread while fio writes.
        std::atomic<bool> done{false};
        Figure f;
        std::thread writer([&] {
          f = fio(uri, seconds, kJobs[j]);
          done = true;
        });
        while (!done && ok) {
          std::string id = "b" + std::to_string(job_id++);
          json rep = qmp.command("blockdev-backup",
                                 {{"job-id", id}, {"device", "disk0"}, {"target", "tgt"}, {"sync", "full"}});
          ok = rep.contains("return") && qmp.wait_event("BLOCK_JOB_COMPLETED", "device", id, 120000);
          if (ok) (*backups_during)++;
        }
        writer.join();
        cases[j][1].add(f);
      }
  }
  if (pid > 0) {
    qmp.command("quit");
    int st;
    ::waitpid(pid, &st, 0);
  }
  fs::remove(img);
  fs::remove(tgt);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned seconds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 3;
  const unsigned repeats = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 3;
  const unsigned mib = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 512;
  if (run("command -v nbdkit").empty() || run("command -v fio").empty()) {
    std::printf("bench_serve: nbdkit or fio is not installed; nothing measured\n");
    return 0;
  }
  const std::string exe = CG_COWGUARD_EXE;
  char tmpl[] = "/tmp/cg-bench-serve-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  const fs::path runs = dir / "run";
  ::mkdir(runs.c_str(), 0700);
  const std::string sock = (runs / "control.sock").string();
  const std::string image = (dir / "disk.img").string();
  // Backups go to tmpfs where there is one.
  char out_tmpl[] = "/dev/shm/cg-bench-serve-XXXXXX";
  const char* out_made = fs::is_directory("/dev/shm") ? ::mkdtemp(out_tmpl) : nullptr;
  const fs::path out = out_made ? fs::path(out_made) : dir;
  const std::string bk = (out / "bk").string();
  const std::string uri = "nbd+unix:///sda1?socket=" + (runs / "nbd.sock").string();
  int code = 0;
  run(exe + " make-image " + image + " --size " + std::to_string(mib) + "M --block-size 4096", &code);
  // The daemon's stand-in kernel runs without its lock validator, as a
  // kernel built without lock proving.
  if (code == 0) run("CG_LOCKCHECK=0 " + exe + " serve " + image + " --socket " + sock, &code);
  if (code != 0) {
    std::printf("bench_serve: the daemon did not start\n");
    fs::remove_all(dir);
    if (out != dir) fs::remove_all(out);
    return 1;
  }
  std::printf("bench_serve (%s): fio 4 KiB random writes, queue depth 8, 1 and 4 jobs, over NBD; %u runs of %u s "
              "per case\n  cowguard: sda1 of a %u MiB image through cowguard serve, full backups (--all-blocks) "
              "to %s\n",
              CG_KERNEL_LINE, repeats, seconds, mib, out.c_str());

  std::vector<Case> cg[2];
  for (auto& c : cg)
    c = {{"no backup ever (module loaded)", {}, {}},
         {"tracking only (between backups)", {}, {}},
         {"while full backups run", {}, {}}};
  unsigned cg_backups = 0;
  const std::string backup = "rm -rf " + bk + " && " + exe + " backup sda1 " + bk + " --full --all-blocks --no-progress --socket " + sock +
                             " > /dev/null";
  // A run to warm the image's page cache, then every run of the first case
  // before the first backup (afterwards the module tracks the device).
  fio(uri, 1, 1);
  for (unsigned r = 0; r < repeats; r++)
    for (int j = 0; j < 2; j++) cg[j][0].add(fio(uri, seconds, kJobs[j]));
  run(backup);
  for (unsigned r = 0; r < repeats; r++)
    for (int j = 0; j < 2; j++)
      for (int c = 1; c < 3; c++) {
        std::atomic<bool> stop{false};
        std::thread loop;
        if (c == 2)
          loop = std::thread([&] {
            while (!stop) {
              int rc = 0;
              run(backup, &rc);
              if (rc == 0) cg_backups++;
            }
          });
        cg[j][c].add(fio(uri, seconds, kJobs[j]));
        stop = true;
        if (loop.joinable()) loop.join();
      }
  run(exe + " stop --socket " + sock);
  fs::remove_all(bk);

  std::vector<Case> qemu[2];
  unsigned qemu_backups = 0;
  bool have_qemu = !run("command -v qemu-storage-daemon").empty();
  bool qemu_ok = have_qemu && measure_qemu(dir, out, mib, seconds, repeats, qemu, &qemu_backups);

  for (int j = 0; j < 2; j++) {
    std::printf("\n%u job%s x queue depth 8        %26s %7s %26s %7s\n", kJobs[j], kJobs[j] > 1 ? "s" : " ",
                "write IOPS min/med/max", "ratio", "p99 us min/med/max", "ratio");
    std::printf(" cowguard serve\n");
    print_cases(cg[j]);
    if (qemu_ok) {
      std::printf(" qemu-storage-daemon (raw %u MiB image, blockdev-backup to a raw file beside cowguard's)\n", mib);
      print_cases(qemu[j]);
    }
  }
  std::printf("\nfull backups completed while fio wrote: cowguard %u", cg_backups);
  if (qemu_ok) std::printf(", qemu %u", qemu_backups);
  std::printf("\nwrite IOPS while backups run, as a ratio to no backup:");
  for (int j = 0; j < 2; j++) {
    std::printf("  %u job%s: cowguard %.2f", kJobs[j], kJobs[j] > 1 ? "s" : "",
                median(cg[j][2].iops) / median(cg[j][0].iops));
    if (qemu_ok) std::printf(", qemu %.2f", median(qemu[j][1].iops) / median(qemu[j][0].iops));
  }
  std::printf("\n");
  if (!have_qemu) std::printf("qemu-storage-daemon is not installed: the peer was not measured\n");
  else if (!qemu_ok) std::printf("qemu-storage-daemon could not be measured (it did not start or a job failed)\n");
  fs::remove_all(dir);
  if (out != dir) fs::remove_all(out);
  return 0;
}
