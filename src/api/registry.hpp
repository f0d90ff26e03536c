// The per-user class registry: a JSON file that maps programmatic identifiers to the
// library file that serves the class, so that clients can create an object by name.
//
//   { "SelvarnSMSAPI6.SMS": { "clsid": "{A0211C17-...}", "library": "/usr/lib/...",
//                             "version": "6.01", "typelib": "{7420A61C-...}",
//                             "typelib_version": "1.0" } }
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "api/type_library.hpp"

namespace selvarn::api {

struct ClassRecord {
  std::string prog_id;
  Guid clsid;
  std::string library;  // absolute path of the library file
  std::string version;  // the library file's, "6.01"
  Guid libid;
  std::string typelib_version;  // "1.0"

  bool operator==(const ClassRecord&) const = default;
};

// $XDG_CONFIG_HOME/selvarn-sms/registry.json, else ~/.config/selvarn-sms/registry.json.
std::string RegistryPath();

// Adds the record, replacing one of the same identifier (any case) and keeping the
// others. The file is replaced whole, never left half written, and two writers never
// lose each other's records. Throws RuntimeError 75 when the file cannot be read as a
// registry or written.
void WriteRecord(const std::string& path, const ClassRecord& record);
// Removes the identifier's record; false when there was none (or no file).
bool RemoveRecord(const std::string& path, std::string_view prog_id);
// The identifier's record (any case); nullopt when there is none. Throws RuntimeError 75
// for a file or record that cannot be read.
std::optional<ClassRecord> FindRecord(const std::string& path, std::string_view prog_id);

}  // namespace selvarn::api
