// The nbdkit plugin of `cowguard serve`: nbdkit speaks NBD to the clients,
// this plugin turns their requests into bios on the stand-in's block layer
// and runs the daemon's machine (Server) and control socket inside nbdkit's
// process.
//
// nbdkit reads the configuration, may fork, then calls after_fork: the
// images are checked and locked in config_complete (no threads yet), and the
// stand-in, its disks, the module and the control socket start in
// after_fork.  cleanup runs after the last NBD connection has closed (on
// SIGTERM, SIGINT or a stop request): it cancels a running backup and takes
// everything down in reverse order.
//
// Parameters: image=PATH (one per disk, in order: sda, sdb, ...),
// module=PATH, control=PATH (the control socket), status=PATH (where a
// failed start writes its message and exit code as JSON), detach=yes (the
// daemon outlives its parent), truth=DIR (tests: a copy of each device at
// every frozen instant).
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <dlfcn.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "control.h"
#include "exit_codes.h"
#include "server.h"
#include "standin/block.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

namespace {

using cowguard::serve::ControlSocket;
using cowguard::serve::Export;
using cowguard::serve::Server;
using cowguard::serve::ServerOptions;
using cowguard::serve::StartError;

ServerOptions g_opts;
std::string g_control;
std::string g_status;
bool g_detach = false;
std::unique_ptr<Server> g_server;
std::unique_ptr<ControlSocket> g_control_socket;

// A failed start: the message for nbdkit's log and, for `cowguard serve`,
// the message and exit code in the status file.
int fail_start(int code, const std::string& msg) {
  nbdkit_error("%s", msg.c_str());
  if (!g_status.empty()) {
    std::ofstream f(g_status, std::ios::trunc);
    f << nlohmann::json{{"error", msg}, {"exit_code", code}}.dump() << "\n";
  }
  return -1;
}

// The module resolves the kernel's symbols in the global scope: make the
// stand-in library, loaded as this plugin's dependency, part of it.
void load_plugin() {
  Dl_info info {};
  if (dladdr(reinterpret_cast<void*>(&standin::block::mount), &info) && info.dli_fname)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
}

int config(const char* key, const char* value) {
  std::string k = key;
  if (k == "image") g_opts.images.emplace_back(value);
  else if (k == "module") g_opts.module_path = value;
  else if (k == "control") g_control = value;
  else if (k == "status") g_status = value;
  else if (k == "truth") g_opts.truth_dir = value;
  else if (k == "detach") g_detach = std::string(value) == "yes";
  else {
    nbdkit_error("unknown parameter '%s'", key);
    return -1;
  }
  return 0;
}

int config_complete() {
  if (g_control.empty()) return fail_start(cowguard::tool::kExitUsage, "control=PATH is required");
  if (g_opts.module_path.empty()) return fail_start(cowguard::tool::kExitUsage, "module=PATH is required");
  try {
    g_server = Server::prepare(g_opts);
  } catch (const StartError& e) {
    return fail_start(e.exit_code(), e.what());
  } catch (const std::exception& e) {
    return fail_start(cowguard::tool::kExitFailed, e.what());
  }
  return 0;
}

int after_fork() {
  // nbdkit in the foreground ends with its parent (a parent-death signal).
  // A detached daemon outlives the `cowguard serve` that started it, which
  // returns only once the control socket below answers.
  if (g_detach) prctl(PR_SET_PDEATHSIG, 0);
  try {
    g_server->start();
    g_control_socket = std::make_unique<ControlSocket>(*g_server, [] { nbdkit_shutdown(); });
    g_control_socket->start(g_control);
  } catch (const StartError& e) {
    return fail_start(e.exit_code(), e.what());
  } catch (const std::exception& e) {
    return fail_start(cowguard::tool::kExitFailed, e.what());
  }
  for (const auto& e : g_server->exports())
    nbdkit_debug("export %s: %llu bytes%s%s", e.name.c_str(),
                 static_cast<unsigned long long>(e.range.count * 512), e.mounted ? ", mounted " : "",
                 e.fs_type.c_str());
  return 0;
}

void cleanup() {
  if (g_server) g_server->cancel();
  g_control_socket.reset();
  if (g_server) g_server->shutdown();
}

void unload() { g_server.reset(); }

int list_exports(int, int, struct nbdkit_exports* exports) {
  for (const auto& e : g_server->exports()) {
    std::string desc = e.partition ? "partition " + std::to_string(e.partition) : std::string("whole disk");
    if (e.mounted) desc += ", " + e.fs_type;
    if (nbdkit_add_export(exports, e.name.c_str(), desc.c_str()) != 0) return -1;
  }
  return 0;
}

const char* default_export(int, int) { return g_server->default_export().c_str(); }

void* open_export(int) {
  std::string name = nbdkit_export_name() ? nbdkit_export_name() : "";
  if (name.empty()) name = g_server->default_export();
  const Export* e = g_server->find(name);
  if (!e) {
    nbdkit_error("no export named '%s'", name.c_str());
    return nullptr;
  }
  return const_cast<Export*>(e);
}

int64_t get_size(void* h) { return static_cast<int64_t>(static_cast<Export*>(h)->range.count * 512); }

int block_size(void*, uint32_t* minimum, uint32_t* preferred, uint32_t* maximum) {
  *minimum = 512;
  *preferred = 4096;
  *maximum = 0xffffffff;
  return 0;
}

int fail_io(int rc) {
  nbdkit_set_error(-rc);
  return -1;
}

int pread_export(void* h, void* buf, uint32_t count, uint64_t offset, uint32_t) {
  int rc = g_server->read(*static_cast<Export*>(h), buf, count, offset);
  return rc == 0 ? 0 : fail_io(rc);
}

int pwrite_export(void* h, const void* buf, uint32_t count, uint64_t offset, uint32_t) {
  int rc = g_server->write(*static_cast<Export*>(h), buf, count, offset);
  return rc == 0 ? 0 : fail_io(rc);
}

int flush_export(void* h, uint32_t) {
  int rc = g_server->flush(*static_cast<Export*>(h));
  return rc == 0 ? 0 : fail_io(rc);
}

int can_write(void*) { return 1; }
int can_flush(void*) { return 1; }
int can_fua(void*) { return NBDKIT_FUA_EMULATE; }
int can_multi_conn(void*) { return 1; }

struct nbdkit_plugin make_plugin() {
  struct nbdkit_plugin p {};
  p.name = "cowguard";
  p.longname = "cowguard serve: protected devices of the stand-in kernel";
  p.version = CG_TOOL_VERSION;
  p.description = "exports the disks and partitions of cowguard's stand-in kernel";
  p.load = load_plugin;
  p.unload = unload;
  p.config = config;
  p.config_complete = config_complete;
  p.config_help = "image=PATH (repeat)  module=PATH  control=PATH  status=PATH  truth=DIR";
  p.magic_config_key = "image";
  p.after_fork = after_fork;
  p.cleanup = cleanup;
  p.list_exports = list_exports;
  p.default_export = default_export;
  p.open = open_export;
  p.get_size = get_size;
  p.block_size = block_size;
  p.pread = pread_export;
  p.pwrite = pwrite_export;
  p.flush = flush_export;
  p.can_write = can_write;
  p.can_flush = can_flush;
  p.can_fua = can_fua;
  p.can_multi_conn = can_multi_conn;
  p.errno_is_preserved = 0;
  return p;
}

struct nbdkit_plugin plugin = make_plugin();

}  // namespace

NBDKIT_REGISTER_PLUGIN(plugin)
