#include "process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace cowguard::workload {
namespace {

// e2fsprogs live in sbin, which a non-root PATH may lack.
std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string p = dir + name;
    if (::access(p.c_str(), X_OK) == 0) return p;
  }
  return name;  // posix_spawnp searches PATH
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv) {
  ProcessResult r;
  if (argv.empty()) return r;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    r.output = std::string("pipe: ") + std::strerror(errno);
    return r;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);

  std::string prog = find_program(argv[0]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int err = posix_spawnp(&pid, prog.c_str(), &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  if (err != 0) {
    ::close(fds[0]);
    r.output = "cannot run " + argv[0] + ": " + std::strerror(err);
    return r;
  }
  r.started = true;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) {
      r.output.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  return r;
}

}  // namespace cowguard::workload
