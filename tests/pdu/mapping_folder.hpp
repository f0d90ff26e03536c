// A temporary library folder for tests that need their own Unicode.txt.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/library_folder.hpp"
#include "support/files.hpp"

namespace selvarn::testing {

class MappingFolder {
 public:
  MappingFolder() { platform::SetLibraryFolderOverride(tmp_.path); }
  MappingFolder(const MappingFolder&) = delete;
  MappingFolder& operator=(const MappingFolder&) = delete;
  ~MappingFolder() { platform::SetLibraryFolderOverride(""); }

  std::filesystem::path dir() const { return tmp_.path; }
  std::filesystem::path file() const { return dir() / "Unicode.txt"; }

  // Writes `name` in the folder; a modification time given in nanoseconds is set after.
  void Write(std::string_view content, long mtime_ns = 0, const char* name = "Unicode.txt") const {
    const auto path = dir() / name;
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content)) {
      throw std::runtime_error("cannot write " + path.string());
    }
    const timespec times[2] = {{0, UTIME_OMIT}, {mtime_ns / 1000000000L, mtime_ns % 1000000000L}};
    if (mtime_ns != 0) ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }

 private:
  TempDir tmp_;
};

}  // namespace selvarn::testing
