// What the daemon costs the programs that write its exports, measured with
// fio's nbd engine: 4 KiB random writes to the ext4 partition of a served
// image with no backup ever taken (the module loaded, nothing tracked), with
// tracking only (after a backup, between backups), and while full backups
// run one after another.  Prints IOPS and p99 completion latency per case
// (min / median / max over the repeats) and each case's ratio to the first.
// Asserts nothing.
//
//   bench_serve-2.6.X [seconds per run] [repeats] [image MiB]   (defaults: 3 3 512)
//
// Needs nbdkit and fio (tools/install-deps.sh installs them).
#include <signal.h>
#include <sys/stat.h>
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

// One fio run of 4 KiB random writes (4 jobs, queue depth 4).
Figure fio(const std::string& uri, unsigned seconds) {
  std::string out = run("fio --output-format=json --ioengine=nbd --uri='" + uri +
                        "' --rw=randwrite --bs=4k --iodepth=4 --numjobs=4 --group_reporting --time_based "
                        "--runtime=" + std::to_string(seconds) + " --name=w 2>/dev/null");
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
  std::sort(v.begin(), v.end());
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt, v.front(), v[v.size() / 2], v.back());
  return buf;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
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
  const std::string bk = (dir / "bk").string();
  const std::string uri = "nbd+unix:///sda1?socket=" + (runs / "nbd.sock").string();
  int code = 0;
  run(exe + " make-image " + image + " --size " + std::to_string(mib) + "M --block-size 4096", &code);
  if (code == 0) run(exe + " serve " + image + " --socket " + sock, &code);
  if (code != 0) {
    std::printf("bench_serve: the daemon did not start\n");
    fs::remove_all(dir);
    return 1;
  }
  std::printf("bench_serve (%s): fio 4 KiB random writes, 4 jobs x queue depth 4, to sda1 of a %u MiB image "
              "through cowguard serve; %u runs of %u s per case\n",
              CG_KERNEL_LINE, mib, repeats, seconds);

  const char* names[] = {"no backup ever (module loaded)", "tracking only (between backups)",
                         "while full backups run"};
  std::vector<double> iops[3], p99[3];
  unsigned backups_during = 0;
  // A run to warm the image's page cache, then every run of the first case
  // before the first backup (afterwards the module tracks the device).
  fio(uri, 1);
  for (unsigned r = 0; r < repeats; r++) {
    Figure f = fio(uri, seconds);
    iops[0].push_back(f.iops);
    p99[0].push_back(f.p99_us);
  }
  run(exe + " backup sda1 " + bk + " --full --all-blocks --no-progress --socket " + sock + " > /dev/null");
  for (unsigned r = 0; r < repeats; r++) {
    for (int c = 1; c < 3; c++) {
      std::atomic<bool> stop{false};
      std::thread loop;
      if (c == 2)
        loop = std::thread([&] {
          while (!stop) {
            int rc = 0;
            run(exe + " backup sda1 " + bk + " --full --all-blocks --no-progress --socket " + sock + " > /dev/null",
                &rc);
            if (rc == 0) backups_during++;
          }
        });
      Figure f = fio(uri, seconds);
      stop = true;
      if (loop.joinable()) loop.join();
      iops[c].push_back(f.iops);
      p99[c].push_back(f.p99_us);
    }
  }
  const double base_iops = median(iops[0]), base_p99 = median(p99[0]);
  std::printf("\n%-34s %28s %8s %30s %8s\n", "case", "write IOPS min/med/max", "ratio", "p99 us min/med/max",
              "ratio");
  for (int c = 0; c < 3; c++)
    std::printf("%-34s %28s %8.2f %30s %8.2f\n", names[c], summary(iops[c], "%.0f / %.0f / %.0f").c_str(),
                median(iops[c]) / base_iops, summary(p99[c], "%.0f / %.0f / %.0f").c_str(),
                median(p99[c]) / base_p99);
  std::printf("full backups completed while fio wrote: %u\n", backups_during);
  run(exe + " stop --socket " + sock);
  fs::remove_all(dir);
  return 0;
}
