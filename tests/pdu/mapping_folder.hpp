// A temporary library folder for tests that need their own Unicode.txt.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/library_folder.hpp"

namespace selvarn::testing {

class MappingFolder {
 public:
  MappingFolder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "selvarn-pdu-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    platform::SetLibraryFolderOverride(dir_.string());
  }
  MappingFolder(const MappingFolder&) = delete;
  MappingFolder& operator=(const MappingFolder&) = delete;
  ~MappingFolder() {
    platform::SetLibraryFolderOverride("");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path file() const { return dir_ / "Unicode.txt"; }

  // Writes `name` in the folder; a modification time given in nanoseconds is set after.
  void Write(std::string_view content, long mtime_ns = 0, const char* name = "Unicode.txt") const {
    const auto path = dir_ / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != std::ssize(content)) {
      throw std::runtime_error("cannot write " + path.string());
    }
    ::close(fd);
    const timespec times[2] = {{0, UTIME_OMIT}, {mtime_ns / 1000000000L, mtime_ns % 1000000000L}};
    if (mtime_ns != 0) ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace selvarn::testing
