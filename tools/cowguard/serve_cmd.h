// cowguard serve, backup, status and stop: the daemon that keeps the stand-in
// kernel, its disks and the loaded module alive and exports the devices over
// NBD (nbdkit with cowguard's plugin), and the commands that talk to it over
// its control socket.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace cowguard::tool {

// $XDG_RUNTIME_DIR/cowguard/control.sock, else /tmp/cowguard-UID/control.sock.
std::string default_control_socket();

struct ServeArgs {
  std::vector<std::string> images;
  std::string socket;       // control socket ("" : the default)
  std::string export_spec;  // unix:PATH or tcp:HOST:PORT ("" : unix:DIR/nbd.sock)
  std::string tls_psk;      // nbdkit --tls-psk file
  std::string tls_certificates;  // nbdkit --tls-certificates directory
  bool foreground = false;
  std::string module_path;
  std::string truth_dir;    // tests: ground truth at every frozen instant
};
int serve_command(const ServeArgs& a, std::ostream& out, std::ostream& err);

struct BackupCmdArgs {
  std::string socket;
  std::string device;
  std::string dir;
  bool full = false;
  bool incremental = false;
  bool all_blocks = false;
  bool new_chain = false;
  std::uint32_t cache = 0;
  bool json = false;
  bool progress = true;
};
int backup_command(const BackupCmdArgs& a, std::ostream& out, std::ostream& err);
int status_command(const std::string& socket, bool json, std::ostream& out, std::ostream& err);
int stop_command(const std::string& socket, std::ostream& out, std::ostream& err);
// A new disk image to serve: an MBR with an ext4 partition (about 70% of
// the disk) and a second partition without a file system.  Refuses to
// replace an existing file.
int make_image_command(const std::string& path, std::uint64_t size, std::uint32_t block_size, std::ostream& out,
                       std::ostream& err);

// Where an export listens: "unix:PATH" or "tcp:HOST:PORT".  False with a
// reason for anything else.
struct ExportSpec {
  bool tcp = false;
  std::string path;  // unix
  std::string host;  // tcp
  unsigned port = 0;
};
bool parse_export(const std::string& text, ExportSpec* out, std::string* why);
// Whether a host name or address is the loopback one.
bool loopback_host(const std::string& host);

}  // namespace cowguard::tool
