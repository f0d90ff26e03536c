#include "platform/library_folder.hpp"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <utility>

#include "platform/thread_state.hpp"

namespace selvarn::platform {
namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string LibraryFolder() {
  if (const auto& folder = CurrentThread().seams.library_folder; !folder.empty()) return folder;
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&LibraryFolder), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0 ||
      info.dli_fname == nullptr) {
    return ".";
  }
  // Linked into a program (whose link map has no name), the loader reports the program
  // as it was started (argv[0]); the kernel knows its real path.
  const bool in_main_program = map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0';
  if (in_main_program) {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) return FolderOf(std::string(exe, static_cast<std::size_t>(n)));
  }
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) != nullptr) return FolderOf(resolved);
  return FolderOf(info.dli_fname);
}

void SetLibraryFolderOverride(std::string folder) {
  CurrentThread().seams.library_folder = std::move(folder);
}

}  // namespace selvarn::platform
