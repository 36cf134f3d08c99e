// cowguard: the user's command.  Subcommands: demo, restore, verify, list
// (info), check, console, serve, backup, status, stop.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "args.h"
#include "chain.h"
#include "console.h"
#include "cowguard.h"
#include "demo.h"
#include "exit_codes.h"
#include "serve_cmd.h"

#include "format.h"

namespace tool = cowguard::tool;

namespace {

const char* const kCommands[] = {"demo", "restore", "verify", "list", "info", "check", "console",
                                 "serve", "backup", "status", "stop", "make-image"};

// A CLI11 check that the text is a size ("16M", "4096").
struct SizeValidator : CLI::Validator {
  SizeValidator() : CLI::Validator("SIZE") {
    func_ = [](std::string& s) -> std::string {
      return tool::parse_size(s) ? std::string() : "not a size (e.g. 4096, 16M, 1G): " + s;
    };
  }
};

// A whole number from lo to hi, with a message that says which is wrong.
struct NumberIn : CLI::Validator {
  NumberIn(std::uint64_t lo, std::uint64_t hi) : CLI::Validator("NUMBER") {
    func_ = [lo, hi](std::string& s) -> std::string {
      auto v = tool::parse_uint(s);
      if (!v) return "'" + s + "' is not a whole number";
      if (*v < lo || *v > hi) return s + " is out of range: " + std::to_string(lo) + " to " + std::to_string(hi);
      return {};
    };
  }
};

// One of ext4's block sizes.
struct BlockSizeValidator : CLI::Validator {
  BlockSizeValidator() : CLI::Validator("1024|2048|4096") {
    func_ = [](std::string& s) -> std::string {
      auto v = tool::parse_uint(s);
      if (v && (*v == 1024 || *v == 2048 || *v == 4096)) return {};
      return "the block size must be 1024, 2048 or 4096 bytes (ext4's block sizes), not " + s;
    };
  }
};

std::string version_text() {
  std::string v = "cowguard " CG_TOOL_VERSION " (kernel line " CG_KERNEL_LINE ")\n";
  v += "module version " + std::to_string(CGD_VERSION_MAJOR) + "." + std::to_string(CGD_VERSION_MINOR) + "." +
       std::to_string(CGD_VERSION_MINOR2) + " build " + std::to_string(CGD_VERSION_BUILD) + "\n";
  v += "backup format: catalog version " + std::to_string(cowguard::agent::Catalog::kVersion) +
       ", file format version " + std::to_string(cowguard::agent::kFileFormatVersion);
  return v;
}

// The first word that is no option (nor an option's value): the command.
// Empty when there is none.
std::string command_word(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    std::string w = argv[i];
    if (w == "--module") {
      i++;
      continue;
    }
    if (!w.empty() && w[0] == '-') continue;
    return w;
  }
  return {};
}

// SIGINT and SIGTERM ask the running work to stop and clean up; a second
// one ends the process at once.
volatile std::sig_atomic_t g_signals = 0;

void on_signal(int sig) {
  if (g_signals) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    return;
  }
  g_signals = 1;
  cowguard::agent::request_interrupt();
}

void catch_interrupts() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: blocking calls return, the work checks
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed pipe on `restore -o - | ...` is a write error, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
}

int run_console(const std::string& script, bool quiet, const std::string& module) {
  tool::ConsoleOptions o;
  o.module_path = module;
  if (script.empty() || script == "-") {
    if (::isatty(0)) {
      // A terminal: the line editor shows the prompt and the line typed.
      o.echo = false;
      tool::Console c(std::cout, o);
      tool::EditLineInput in(stdin, stdout, "cowguard> ");
      c.run(in);
      return c.exit_code();
    }
    o.echo = !quiet;
    tool::Console c(std::cout, o);
    c.run(std::cin);
    return c.exit_code();
  }
  std::ifstream in(script);
  // A directory opens, but its first read fails.
  if (!in || (in.peek(), in.bad())) {
    std::cerr << "cowguard console: cannot read the script " << script << ": " << std::strerror(errno)
              << "\n";
    return tool::kExitMissing;
  }
  o.echo = !quiet;
  tool::Console c(std::cout, o);
  c.run(in);
  if (in.bad()) {
    std::cerr << "cowguard console: cannot read the script " << script << " to its end\n";
    return tool::kExitMissing;
  }
  if (c.unexpected_failures())
    std::cerr << "cowguard console: " << c.unexpected_failures() << " step"
              << (c.unexpected_failures() == 1 ? "" : "s") << " failed in " << script << "\n";
  return c.exit_code();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"cowguard " CG_KERNEL_LINE
               ": consistent backups of a live, mounted partition, run against the stand-in of\n"
               "the Linux 2.6 kernel.  Run `cowguard demo` to see a whole backup chain made, restored\n"
               "and checked."};
  app.require_subcommand(1);
  app.fallthrough();  // --module may come after the subcommand too
  app.set_version_flag("--version", version_text(), "print the versions of the command, module and backup format");
  std::string module = tool::default_module_path();
  app.add_option("--module", module, "the cowguard.ko to load")->capture_default_str();

  // demo
  tool::DemoArgs demo;
  std::string demo_size = "64M";
  bool no_progress = false;
  auto* d = app.add_subcommand("demo",
                               "full and incremental backups of a live ext4 file system, each "
                               "restored and checked (exit 0 only if every check passed)");
  d->add_option("--workdir", demo.workdir,
                "directory for the disk image and backups: a new or empty one, or an earlier demo's "
                "(default: a new temporary one)");
  d->add_flag("--keep", demo.keep, "keep the workdir afterwards");
  d->add_option("--rounds", demo.rounds, "incremental backups after the full one (0 to 100)")
      ->capture_default_str()->check(NumberIn(0, 100));
  d->add_option("--size", demo_size, "disk image size (8M to 16G)")->capture_default_str()->check(SizeValidator());
  d->add_option("--block-size", demo.block_size, "ext4 block size")
      ->capture_default_str()->check(BlockSizeValidator());
  d->add_option("--pause-ms", demo.pause_ms, "workload time between backups, in ms")
      ->capture_default_str()->check(NumberIn(0, 3600000));
  d->add_option("--seed", demo.seed, "seed of the workload")->capture_default_str()->check(NumberIn(0, UINT64_MAX));
  d->add_flag("--json", demo.json, "print the summary as one JSON object");
  d->add_flag("--no-progress", no_progress, "no progress line on stderr");

  // restore
  tool::RestoreArgs restore;
  std::string point_text;
  auto* r = app.add_subcommand("restore", "rebuild the image of one backup point from a backup directory");
  r->add_option("DIR", restore.dir, "backup directory")->required();
  r->add_option("--point", point_text, "sequence number of the backup point (default: the latest)")
      ->check(NumberIn(0, 0xffffffffu));
  r->add_option("--output,-o", restore.output,
                "where to write the image: a file (replaced whole), a block device (written in place; "
                "not a mounted one), a character device, or - for stdout")
      ->required();
  r->add_flag("--json", restore.json, "print the result as one JSON object");
  bool restore_no_progress = false;
  r->add_flag("--no-progress", restore_no_progress, "no progress line on stderr");

  // verify
  tool::VerifyArgs verify;
  std::string verify_point;
  bool verify_no_progress = false;
  auto* v = app.add_subcommand("verify",
                               "check every checksum of a backup directory, going on past a bad file, "
                               "and say which points are restorable");
  v->add_option("DIR", verify.dir, "backup directory")->required();
  v->add_option("--point", verify_point, "check only the files this point's restore needs")
      ->check(NumberIn(0, 0xffffffffu));
  v->add_flag("--quick", verify.quick, "check the catalog and each file's structure, not every block");
  v->add_flag("--json", verify.json, "print the result as one JSON object");
  v->add_flag("--no-progress", verify_no_progress, "no progress line on stderr");

  // list
  tool::ListArgs list;
  auto* l = app.add_subcommand("list",
                               "the source and backup points of a backup directory, and any leftover "
                               "files (reads only the catalog)");
  l->alias("info");
  l->add_option("DIR", list.dir, "backup directory")->required();
  l->add_flag("--json", list.json, "print the listing as one JSON object");

  // check
  tool::CheckArgs check;
  auto* k = app.add_subcommand("check",
                               "check a backup directory's structure and find what an interrupted run "
                               "left behind; --repair removes it (never a committed point)");
  k->add_option("DIR", check.dir, "backup directory")->required();
  k->add_flag("--repair", check.repair, "remove the leftover files");
  k->add_flag("--json", check.json, "print the result as one JSON object");

  // console
  std::string script;
  bool quiet = false;
  auto* c = app.add_subcommand("console",
                               "an interactive console over the stand-in kernel (type help), or a "
                               "script of its commands");
  c->add_option("--script", script, "read the commands from FILE instead of stdin");
  c->add_flag("--quiet,-q", quiet, "do not echo the lines read");

  // serve
  tool::ServeArgs serve;
  auto* sv = app.add_subcommand("serve",
                                "keep the stand-in kernel, disk images and the module running, and export every "
                                "disk and partition over NBD so that other programs write them while backups run");
  sv->add_option("IMAGE", serve.images, "disk image files (sda, sdb, ... in this order)")->required();
  sv->add_option("--socket", serve.socket, "the control socket (default " + tool::default_control_socket() + ")");
  sv->add_option("--export", serve.export_spec,
                 "where the NBD exports listen: unix:PATH (default: nbd.sock beside the control socket) or "
                 "tcp:HOST:PORT (loopback unless TLS is given)");
  sv->add_option("--tls-psk", serve.tls_psk, "require TLS with the pre-shared keys in FILE (nbdkit --tls-psk)");
  sv->add_option("--tls-certificates", serve.tls_certificates,
                 "require TLS with the certificates in DIR (nbdkit --tls-certificates)");
  sv->add_flag("--foreground", serve.foreground, "stay in the foreground (logs on stderr) until stopped");
  sv->add_option("--truth-dir", serve.truth_dir)->group("");  // tests: the device at every frozen instant

  // backup
  tool::BackupCmdArgs bk;
  bool bk_no_progress = false;
  std::string bk_cache;
  auto* b = app.add_subcommand("backup", "ask the daemon for a backup of one of its devices");
  b->add_option("DEVICE", bk.device, "the device (sda1, ...; see cowguard status)")->required();
  b->add_option("DIR", bk.dir, "backup directory")->required();
  b->add_flag("--full", bk.full, "a full backup");
  b->add_flag("--incremental", bk.incremental,
              "an incremental backup (the default; a full one, saying why, when there is no chain to add to)");
  b->add_flag("--all-blocks", bk.all_blocks, "take every block, not only those the file system uses");
  b->add_flag("--new-chain", bk.new_chain, "start a new chain in a directory that holds another source's");
  b->add_option("--cache", bk_cache, "most blocks the module may preserve meanwhile (default: the agent's)")
      ->check(NumberIn(1, 0xffffffffu));
  b->add_option("--socket", bk.socket, "the daemon's control socket");
  b->add_flag("--json", bk.json, "print the result as one JSON object");
  b->add_flag("--no-progress", bk_no_progress, "no progress line on stderr");

  // status, stop
  std::string st_socket;
  bool st_json = false;
  auto* st = app.add_subcommand("status", "what the daemon serves and does");
  st->add_option("--socket", st_socket, "the daemon's control socket");
  st->add_flag("--json", st_json, "print the status as one JSON object");
  std::string sp_socket;
  auto* sp = app.add_subcommand("stop", "stop the daemon: a running backup is cancelled, the images synced");
  sp->add_option("--socket", sp_socket, "the daemon's control socket");

  // make-image
  std::string mi_path, mi_size = "256M";
  std::uint32_t mi_block = 4096;
  auto* mi = app.add_subcommand("make-image",
                                "make a disk image to serve: an MBR, an ext4 partition and a spare partition");
  mi->add_option("IMAGE", mi_path, "the new image file")->required();
  mi->add_option("--size", mi_size, "its size (8M to 16G)")->capture_default_str()->check(SizeValidator());
  mi->add_option("--block-size", mi_block, "ext4 block size")->capture_default_str()->check(BlockSizeValidator());

  // An unknown command is named as such, not as a missing one.
  if (std::string w = command_word(argc, argv); !w.empty()) {
    bool known = false;
    for (const char* name : kCommands) known = known || w == name;
    if (!known) {
      std::cerr << "cowguard: unknown command '" << w
                << "'; the commands are demo, restore, verify, list (info), check, console, serve, backup, status, "
                   "stop and make-image (see --help)\n";
      return tool::kExitUsage;
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return tool::kExitUsage;
  }

  if (sv->parsed()) {
    std::signal(SIGPIPE, SIG_IGN);
    serve.module_path = module;
    return tool::serve_command(serve, std::cout, std::cerr);
  }
  if (!c->parsed()) catch_interrupts();
  if (b->parsed()) {
    if (!bk_cache.empty()) bk.cache = static_cast<std::uint32_t>(*tool::parse_uint(bk_cache));
    bk.progress = !bk_no_progress;
    return tool::backup_command(bk, std::cout, std::cerr);
  }
  if (mi->parsed()) {
    std::uint64_t size = *tool::parse_size(mi_size);
    if (size < (8u << 20) || size > (std::uint64_t{16} << 30)) {
      std::cerr << "cowguard make-image: --size must be 8M to 16G, not " << mi_size << "\n";
      return tool::kExitUsage;
    }
    return tool::make_image_command(mi_path, size, mi_block, std::cout, std::cerr);
  }
  if (st->parsed()) return tool::status_command(st_socket, st_json, std::cout, std::cerr);
  if (sp->parsed()) return tool::stop_command(sp_socket, std::cout, std::cerr);
  if (d->parsed()) {
    demo.size = *tool::parse_size(demo_size);
    if (demo.size < (8u << 20) || demo.size > (std::uint64_t{16} << 30)) {
      std::cerr << "cowguard demo: --size must be 8M to 16G, not " << demo_size << "\n";
      return tool::kExitUsage;
    }
    demo.progress = !no_progress;
    demo.module_path = module;
    return tool::demo_command(demo, std::cout, std::cerr);
  }
  if (r->parsed()) {
    if (!point_text.empty()) restore.point = static_cast<std::uint32_t>(*tool::parse_uint(point_text));
    restore.progress = !restore_no_progress;
    return tool::restore_command(restore, std::cout, std::cerr);
  }
  if (v->parsed()) {
    if (!verify_point.empty()) verify.point = static_cast<std::uint32_t>(*tool::parse_uint(verify_point));
    verify.progress = !verify_no_progress;
    return tool::verify_command(verify, std::cout, std::cerr);
  }
  if (l->parsed()) return tool::list_command(list, std::cout, std::cerr);
  if (k->parsed()) return tool::check_command(check, std::cout, std::cerr);
  if (c->parsed()) return run_console(script, quiet, module);
  return tool::kExitUsage;
}
