// cowguard: the user's command.  Subcommands: demo, restore, verify, console.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "args.h"
#include "chain.h"
#include "console.h"
#include "demo.h"
#include "exit_codes.h"

namespace tool = cowguard::tool;

namespace {

// A CLI11 check that the text is a size ("16M", "4096").
struct SizeValidator : CLI::Validator {
  SizeValidator() : CLI::Validator("SIZE") {
    func_ = [](std::string& s) -> std::string {
      return tool::parse_size(s) ? std::string() : "not a size (e.g. 4096, 16M, 1G): " + s;
    };
  }
};

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
  std::string module = tool::default_module_path();
  app.add_option("--module", module, "the cowguard.ko to load")->capture_default_str();

  // demo
  tool::DemoArgs demo;
  std::string demo_size = "64M";
  auto* d = app.add_subcommand("demo",
                               "full and incremental backups of a live ext4 file system, each "
                               "restored and checked (exit 0 only if every check passed)");
  d->add_option("--workdir", demo.workdir, "directory for the disk image and backups (default: a new temporary one)");
  d->add_flag("--keep", demo.keep, "keep the workdir afterwards");
  d->add_option("--rounds", demo.rounds, "incremental backups after the full one")
      ->capture_default_str()->check(CLI::Range(0u, 100u));
  d->add_option("--size", demo_size, "disk image size")->capture_default_str()->check(SizeValidator());
  d->add_option("--block-size", demo.block_size, "ext4 block size")
      ->capture_default_str()->check(CLI::IsMember({1024u, 2048u, 4096u}));
  d->add_option("--pause-ms", demo.pause_ms, "workload time between backups, in ms")->capture_default_str();
  d->add_option("--seed", demo.seed, "seed of the workload")->capture_default_str();
  d->add_flag("--json", demo.json, "print the summary as JSON");
  bool no_progress = false;
  d->add_flag("--no-progress", no_progress, "no progress bar");

  // restore
  tool::RestoreArgs restore;
  std::int64_t point = -1;
  auto* r = app.add_subcommand("restore", "rebuild the image of one backup point from a backup directory");
  r->add_option("DIR", restore.dir, "backup directory")->required();
  r->add_option("--point", point, "sequence number of the backup point (default: the latest)")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{0xffffffff}));
  r->add_option("--output,-o", restore.output, "image file to write")->required();
  r->add_flag("--json", restore.json, "print the result as JSON");

  // verify
  tool::VerifyArgs verify;
  auto* v = app.add_subcommand("verify", "check every checksum of a backup directory's chain");
  v->add_option("DIR", verify.dir, "backup directory")->required();
  v->add_flag("--json", verify.json, "print the result as JSON");

  // console
  std::string script;
  bool quiet = false;
  auto* c = app.add_subcommand("console",
                               "an interactive console over the stand-in kernel (type help), or a "
                               "script of its commands");
  c->add_option("--script", script, "read the commands from FILE instead of stdin");
  c->add_flag("--quiet,-q", quiet, "do not echo the lines read");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return tool::kExitUsage;
  }

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
    if (point >= 0) restore.point = static_cast<std::uint32_t>(point);
    return tool::restore_command(restore, std::cout, std::cerr);
  }
  if (v->parsed()) return tool::verify_command(verify, std::cout, std::cerr);
  if (c->parsed()) return run_console(script, quiet, module);
  return tool::kExitUsage;
}
