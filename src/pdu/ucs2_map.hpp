// The UCS2 mapping file "Unicode.txt" beside the library: one code-page key ("0x41") to
// four hexadecimal UCS2 digits ("0041"). The table is data, not code, so a file for
// another code page makes the converter work for that code page.
//
// The file is read as items that end at a comma or a line end. An item counts when it
// holds "0x" with a TAB somewhere after it: the key is the text from that "0x" up to the
// TAB, spaces trimmed, compared case-sensitively; the value is the four characters after
// the next "0x", spaces trimmed. The first item with a key wins.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace selvarn::pdu {

// What a key without a usable entry gives: the question mark, so the user data keeps
// exactly four digits per character. A value that is not four hexadecimal digits (an
// unassigned position, a damaged line) counts as no entry, so it never reaches a PDU.
inline constexpr std::string_view kUnmappedUCS2 = "003F";

inline constexpr std::string_view kUnicodeFileName = "Unicode.txt";

class UCS2Table {
 public:
  static UCS2Table Parse(std::string_view content);
  // Four upper-case hexadecimal digits, or kUnmappedUCS2.
  std::string Lookup(const std::string& key) const;
  std::size_t size() const { return entries_.size(); }

 private:
  std::unordered_map<std::string, std::string> entries_;
};

// The table of the mapping file in the current library folder. It is parsed once and
// kept per thread; each call costs one stat and reloads the file when it has changed
// (device and inode, size, modification or change time), so the answer is the one a
// fresh read would give. A missing file raises RuntimeError 53, an unreadable one 75.
std::shared_ptr<const UCS2Table> CurrentUCS2Table();

// The path of the mapping file in the current library folder.
std::string MappingFilePath();

// The key and value of one item of the file, or nullopt when the item has no "0x" with a
// TAB after it. The value is kUnmappedUCS2 when the item has no usable one.
struct MappingItem {
  std::string_view key;
  std::string value;
};
std::optional<MappingItem> ParseMappingItem(std::string_view item);

// Raises the error a failed open or read of the mapping file gives (53 or 75).
[[noreturn]] void ThrowMappingFileError(int error);

}  // namespace selvarn::pdu
