// The UCS2 converter and its mapping file: the cached table must answer exactly as a
// fresh scan of the file does.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "mapping_folder.hpp"
#include "pdu/pdu6.hpp"
#include "pdu/ucs2_map.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"
#include "text/text.hpp"
#include "ucs2_oracle.hpp"

namespace selvarn::PDU6 {
namespace {

using selvarn::testing::EncodeUCS2Uncached;
using selvarn::testing::ErrorNumberOf;
using selvarn::testing::LookupUCS2Uncached;
using selvarn::testing::MappingFolder;

constexpr char kLineA[] = "0x41\t0x0041\t#LATIN CAPITAL LETTER A\n";

TEST(EncodeUCS2, ReadsTheMappingFileItemByItem) {
  struct Case {
    const char* name;
    const char* file;
    const char* text;
    const char* hex;
  } const cases[] = {
      {"example line, repeated, no entry", kLineA, "AAB", "00410041003F"},
      {"lower-case key never matches a letter digit", "0x4a\t0x004A\n0x41\t0x0041\n0x3d\t0x003D\n",
       "JA=", "003F0041003F"},
      {"comma between key and TAB", "0x42,\t0x0042\n", "B", "003F"},
      {"comma splits a line into items", "0x43\t0x0043,0x44\t0x0044\n", "DC", "00440043"},
      {"key found anywhere in the item", "x 0x41\t0x0041\n", "A", "0041"},
      {"key spaces trimmed", "   0x41   \t0x0041\n", "A", "0041"},
      {"longer key is another key", "0x410\t0x1111\n0x41\t0x0041\n", "A", "0041"},
      {"first item wins", "0x41\t0x0041\n0x41\t0x9999\n", "A", "0041"},
      {"CR LF and CR line ends", "0x41\t0x0041\r\n0x42\t0x0042\r0x43\t0x0043\r", "BAC",
       "004200410043"},
      {"value spaces trimmed, digits upper-cased", "0x41\t0x00e4 \n", "A", "00E4"},
      {"short value is no value", "0x41\t0x41\t#A\n", "A", "003F"},
      {"non-hex value is no value", "0x41\t0x00G1\n", "A", "003F"},
      {"missing value still ends the scan", "0x41\t\n0x41\t0x0041\n", "A", "003F"},
      {"no TAB, no key", "0x41 0x0041\n", "A", "003F"},
      {"two-digit keys for control codes", "0x0D\t0x000D\n0x0A\t0x000A\n", "\r\n", "000D000A"},
      // A code from 0x80 up reads the next character's code into one key, unpadded,
      // and is dropped when nothing follows it.
      {"high code pairs with the next", "0xE941\t0x1234\n", "\u00E9A", "1234"},
      {"pair key is not padded", "0xE9A\t0x5678\n", "\u00E9\n", "5678"},
      {"trailing high code dropped", kLineA, "A\u00E9", "0041"},
      {"lone high code dropped", kLineA, "\u20AC", ""},
      {"outside the code page is '?'", "0x3F\t0x003F\n", "\u4E2D", "003F"},
  };
  for (const auto& c : cases) {
    MappingFolder folder;
    folder.Write(c.file);
    EXPECT_EQ(Encode_UCS2(c.text), c.hex) << c.name;
    EXPECT_EQ(EncodeUCS2Uncached(c.text), c.hex) << c.name;
  }
}

TEST(EncodeUCS2, FollowsTheFileWhenItChanges) {
  constexpr long kT0 = 1'600'000'000'000'000'000L;
  MappingFolder folder;
  folder.Write(kLineA, kT0);
  EXPECT_EQ(Encode_UCS2("AB"), "0041003F");
  EXPECT_EQ(CurrentUCS2Table(), CurrentUCS2Table());  // unchanged: read once, kept

  // Same size, new content, a modification time 1 ns later.
  folder.Write("0x41\t0x0061\t#LATIN CAPITAL LETTER A\n", kT0 + 1);
  EXPECT_EQ(Encode_UCS2("AB"), "0061003F");

  // Another size, the same modification time.
  folder.Write("0x41\t0x0061\n0x42\t0x0062\n", kT0 + 1);
  EXPECT_EQ(Encode_UCS2("AB"), "00610062");

  // Replaced by another file of the same size and time.
  folder.Write("0x41\t0x0071\n0x42\t0x0072\n", kT0 + 1, "next.txt");
  std::filesystem::rename(folder.dir() / "next.txt", folder.file());
  EXPECT_EQ(Encode_UCS2("AB"), "00710072");

  // Removed after being cached: file not found, as a fresh read would find.
  std::filesystem::remove(folder.file());
  EXPECT_EQ(ErrorNumberOf([] { Encode_UCS2("A"); }), err::kFileNotFound);
  EXPECT_EQ(ErrorNumberOf([] { EncodeUCS2Uncached("A"); }), err::kFileNotFound);
}

TEST(EncodeUCS2, MissingOrUnreadableFile) {
  MappingFolder folder;
  EXPECT_EQ(ErrorNumberOf([] { Encode_UCS2("A"); }), err::kFileNotFound);
  EXPECT_EQ(ErrorNumberOf([] { EncodeUCS2Uncached("A"); }), err::kFileNotFound);
  // Texts that need no lookup do not touch the file.
  EXPECT_EQ(Encode_UCS2(""), "");
  EXPECT_EQ(Encode_UCS2("\u00E9"), "");

  std::filesystem::create_directory(folder.file());
  EXPECT_EQ(ErrorNumberOf([] { Encode_UCS2("A"); }), err::kPathFileAccess);
  EXPECT_EQ(ErrorNumberOf([] { EncodeUCS2Uncached("A"); }), err::kPathFileAccess);
}

TEST(EncodeUCS2, CachedAndUncachedAgreeOnRandomFiles) {
  // Files and texts made of the pieces that matter to the item and key rules.
  const char* const pieces[] = {"0x", "41", "42", "E9", "0041", "00e9", "\t",    ",",
                                " ",  "\n", "\r", "#",  "A",    "x",    "0x0042"};
  const char* const chars[] = {"A", "B", "\u00E9", "x", "\t", "0", "\u20AC"};
  std::mt19937 rng(20240611);
  MappingFolder folder;
  for (int round = 0; round < 150; ++round) {
    std::string file;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) file += pieces[rng() % std::size(pieces)];
    folder.Write(file, 1'700'000'000'000'000'000L + round);
    std::string text;
    const int m = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < m; ++i) text += chars[rng() % std::size(chars)];
    ASSERT_EQ(Encode_UCS2(text), EncodeUCS2Uncached(text)) << "file: " << file;
  }
}

TEST(UnicodeTxt, GeneratedTableMapsWindows1252) {
  platform::SetLibraryFolderOverride("");
  const auto table = CurrentUCS2Table();
  for (int code = 0; code < 256; ++code) {
    char key[8];
    std::snprintf(key, sizeof key, "0x%02X", code);
    const char16_t ch = text::FromAnsi(static_cast<std::uint8_t>(code));
    const bool unassigned = code >= 0x80 && code <= 0x9F && ch == code;
    char expected[8];
    std::snprintf(expected, sizeof expected, "%04X", static_cast<unsigned>(ch));
    EXPECT_EQ(table->Lookup(key), unassigned ? std::string(kUnmappedUCS2) : expected) << key;
    EXPECT_EQ(LookupUCS2Uncached(key), table->Lookup(key)) << key;
  }
  // The euro sign (0x80) takes the next character into a double-byte key: no such entry.
  EXPECT_EQ(Encode_UCS2("Hi \u20AC5"), "004800690020003F");
}

}  // namespace
}  // namespace selvarn::PDU6
