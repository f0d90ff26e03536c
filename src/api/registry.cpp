#include "api/registry.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"

namespace selvarn::api {
namespace {

using nlohmann::json;

[[noreturn]] void AccessError(const std::string& path, const std::string& why) {
  throw RuntimeError(err::kPathFileAccess, "Path/File access error: " + path + ": " + why);
}

// The registry as it stands; an empty one when there is no file yet.
json Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return json::object();
    AccessError(path, std::strerror(errno));
  }
  json registry = json::parse(in, nullptr, false);
  // A file we cannot read as ours is the user's to look at, never ours to overwrite.
  if (registry.is_discarded() || !registry.is_object()) AccessError(path, "not a registry file");
  return registry;
}

// Another name in the same folder, renamed over the file once complete, so a reader sees
// the old registry or the new one and never a part.
void Save(const std::string& path, const json& registry) {
  std::string tmp = path + ".XXXXXX";
  platform::UniqueFd fd(mkstemp(tmp.data()));
  if (!fd) AccessError(path, std::strerror(errno));
  const std::string text = registry.dump(2) + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = errno;
      unlink(tmp.c_str());
      AccessError(path, std::strerror(e));
    }
    done += static_cast<std::size_t>(n);
  }
  if (fchmod(fd.get(), 0644) != 0 || fsync(fd.get()) != 0 || fd.Close() != 0 ||
      rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    unlink(tmp.c_str());
    AccessError(path, std::strerror(e));
  }
}

// Holds the registry's lock file for a read-modify-write.
class Lock {
 public:
  explicit Lock(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    fd_ = platform::UniqueFd(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_) AccessError(path, std::strerror(errno));
    while (flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) AccessError(path, std::strerror(errno));
    }
  }

 private:
  platform::UniqueFd fd_;
};

// The key of prog_id in the registry, in whatever case it was written.
std::optional<std::string> KeyOf(const json& registry, std::string_view prog_id) {
  for (const auto& [key, value] : registry.items()) {
    if (SameName(key, prog_id)) return key;
  }
  return std::nullopt;
}

}  // namespace

std::string RegistryPath() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x != '\0') {
    return std::string(x) + "/selvarn-sms/registry.json";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/selvarn-sms/registry.json";
}

void WriteRecord(const std::string& path, const ClassRecord& record) {
  Lock lock(path);
  json registry = Load(path);
  if (auto key = KeyOf(registry, record.prog_id)) registry.erase(*key);
  registry[record.prog_id] = {
      {"clsid", GuidText(record.clsid)},
      {"library", record.library},
      {"version", record.version},
      {"typelib", GuidText(record.libid)},
      {"typelib_version", record.typelib_version},
  };
  Save(path, registry);
}

bool RemoveRecord(const std::string& path, std::string_view prog_id) {
  Lock lock(path);
  json registry = Load(path);
  const auto key = KeyOf(registry, prog_id);
  if (!key) return false;
  registry.erase(*key);
  Save(path, registry);
  return true;
}

std::optional<ClassRecord> FindRecord(const std::string& path, std::string_view prog_id) {
  const json registry = Load(path);
  const auto key = KeyOf(registry, prog_id);
  if (!key) return std::nullopt;
  const json& r = registry.at(*key);
  const auto text = [&](const char* field) -> std::string {
    const auto it = r.is_object() ? r.find(field) : r.end();
    if (it == r.end() || !it->is_string()) {
      AccessError(path, "the record of " + *key + " has no " + field);
    }
    return it->get<std::string>();
  };
  const auto guid = [&](const char* field) {
    const auto g = ParseGuid(text(field));
    if (!g) AccessError(path, "the record of " + *key + " has a bad " + field);
    return *g;
  };
  return ClassRecord{*key,
                     guid("clsid"),
                     text("library"),
                     text("version"),
                     guid("typelib"),
                     text("typelib_version")};
}

}  // namespace selvarn::api
