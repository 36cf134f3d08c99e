// Child processes and file comparison for the reliability programs.
#pragma once
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cowguard::reliability {

// Starts argv with stdout to `out` (stdin and stderr /dev/null); its pid.
inline pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& out) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int n = ::open("/dev/null", O_RDWR);
    ::dup2(n, 0), ::dup2(o, 1), ::dup2(n, 2);
    std::vector<char*> a;
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    ::execvp(a[0], a.data());
    ::_exit(127);
  }
  return pid;
}

// Its exit code, or 128 + the signal that ended it.
inline int wait_exit(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

inline int run(const std::vector<std::string>& argv, const std::filesystem::path& out) {
  return wait_exit(spawn(argv, out));
}

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Bytes that differ between two files (a length difference counts once);
// the bytes compared are added to *compared.
inline std::uint64_t differing_bytes(const std::filesystem::path& x, const std::filesystem::path& y,
                                     std::uint64_t* compared) {
  std::ifstream a(x, std::ios::binary), b(y, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  std::uint64_t wrong = 0;
  while (a && b) {
    a.read(p.data(), static_cast<std::streamsize>(p.size()));
    b.read(q.data(), static_cast<std::streamsize>(q.size()));
    const std::size_t n = static_cast<std::size_t>(std::min(a.gcount(), b.gcount()));
    for (std::size_t i = 0; i < n; i++) wrong += p[i] != q[i];
    *compared += n;
    if (a.gcount() != b.gcount()) wrong += 1;
  }
  return wrong;
}

}  // namespace cowguard::reliability
