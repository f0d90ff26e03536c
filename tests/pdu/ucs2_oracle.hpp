// The UCS2 conversion done the slow, literal way: for every character open the mapping
// file, scan it item by item from the top until the key turns up, close it. The oracle
// the cached table is checked and measured against; it is not part of the library.
#pragma once

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "pdu/part_builder.hpp"
#include "pdu/ucs2_map.hpp"

namespace selvarn::testing {

inline std::string LookupUCS2Uncached(const std::string& key) {
  std::FILE* f = std::fopen(pdu::MappingFilePath().c_str(), "rb");
  if (f == nullptr) pdu::ThrowMappingFileError(errno);
  std::string result(pdu::kUnmappedUCS2);
  std::string item;
  for (int c = 0; c != EOF;) {
    item.clear();
    while ((c = std::getc(f)) != EOF && c != ',' && c != '\n' && c != '\r')
      item += static_cast<char>(c);
    const auto parsed = pdu::ParseMappingItem(item);
    if (parsed && parsed->key == key) {
      result = parsed->value;
      break;
    }
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) pdu::ThrowMappingFileError(EIO);  // opened but not readable: a directory
  return result;
}

inline std::string EncodeUCS2Uncached(std::string_view text) {
  std::string out;
  for (const std::string& key : pdu::UCS2Keys(text)) out += LookupUCS2Uncached(key);
  return out;
}

}  // namespace selvarn::testing
