// What tests need around files and processes: a folder of their own, a file's bytes, and
// code run in a child.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>

namespace selvarn::testing {

struct TempDir {  // a fresh folder under /tmp, removed with its contents
  TempDir() {
    char name[] = "/tmp/selvarn-test-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::system_error(errno, std::generic_category());
    path = name;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

// The bytes of a file; "" when it cannot be read.
inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs f in a child process (to change its user or limits there); its exit status, or
// 100 + the signal that ended it.
inline int InChild(const std::function<int()>& f) {
  const pid_t pid = fork();
  if (pid == 0) _exit(f());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace selvarn::testing
