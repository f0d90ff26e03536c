// The long-message codec: the GSM alphabet by character code, septet packing, the
// binary helpers, the SMS-SUBMIT builder with every input it must refuse, and the UCS2
// mapping file, whose cached table must answer exactly as a fresh scan of the file does.
#include "pdu/part_builder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>

#include "mapping_folder.hpp"
#include "pdu/pdu_converter.hpp"
#include "pdu/ucs2_map.hpp"
#include "selvarn/error.hpp"
#include "support/errors.hpp"
#include "ucs2_oracle.hpp"
#include "vectors.hpp"

namespace selvarn::pdu {
namespace {

using selvarn::testing::EncodeUCS2Uncached;
using selvarn::testing::ErrorNumberOf;
using selvarn::testing::Hex;
using selvarn::testing::MappingFolder;

TEST(PartBuilder, Encode7BitPacksBehindOneFillBitAndCountsSeptets) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"", "", 0},
      {"\u00A3", "02", 1},
      {"abcdefgh", "C2E231B96C3EA301", 8},   // the last octet carries one bit
      {"abcdefghi", "C2E231B96C3EA3D3", 9},  // fills seven octets exactly
      {"\u00C4\u00DF_\u00BF", "B69E0818", 4},
      {"a\u20ACb", "C29BB218", 4},
      {"x^~|\\", "F01BCAA6B7016E5E", 9},
      {"\u03A9\u00E1`", "7EBF1F", 3},               // outside the code page or the alphabet
      {"@\x1B\u00A0", "00BF1F", 3},                 // an escape or a no-break space in the text
      {"\u00C9\u00A4\u00A1\u00E0", "3E24E01F", 4},  // GSM positions unlike Windows-1252
      {"\xF0\x9F\x98\x80", "7E", 1},                // beyond the BMP: one character, one '?'
  };
  for (const auto& [text, hex, septets] : cases) {
    last_septets = -1;
    EXPECT_EQ(Encode_7_bit(text), hex) << text;
    EXPECT_EQ(last_septets, septets) << text;
  }
  EXPECT_EQ(GSMAlphabetCode(-1) + GSMAlphabetCode(256), 2 * 0x3F);  // codes out of range
  EXPECT_EQ(Encode_8_bit("Hi\r\u00E4\u00FF\u20AC\u2122\u03A9"), "48690DE4FF80993F");
}

TEST(PartBuilder, DecToBinAndBinToDec) {
  const std::pair<std::int16_t, const char*> cases[] = {
      {0, "00000000"}, {5, "00000101"}, {256, "100000000"}, {32767, "111111111111111"}};
  for (const auto& [value, bits] : cases) {
    EXPECT_EQ(DecToBin(value), bits) << value;
    EXPECT_EQ(BinToDec(bits), value) << bits;
  }
  EXPECT_EQ(ErrorNumberOf([] { DecToBin(-1); }), err::kInvalidCall);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("1000000000000000"); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([] { BinToDec("10a1"); }), err::kTypeMismatch);
}

constexpr char kExample1[] = "00610008915155100000000A050003010101C2E231";

TEST(BuildSubmitPDU, WholePdus) {
  testing::MappingFolder folder;
  folder.Write("0x41\t0x0041\n0x48\t0x0048\n0x61\t0x0061\n");
  struct Case {
    const char* number;
    std::string text;
    int reference, total, sequence;
    std::uint8_t coding;
    const char* service_centre;
    std::uint8_t validity;
    std::int16_t prefix;
    const char* pdu;
    int tpdu_octets, septets;
  } const cases[] = {
      {"+15550100", "abc", 1, 1, 1, 7, "", 0, 0, kExample1, 20, 3},
      {"5550100", "hi", 255, 2, 2, 7, "\"+15550199\"", 0xA7, 0,
       "05915155109971 00 0781550501F0 0000 A7 09 050003FF0202 D069", 20, 2},
      {"12", "abc", 0, 1, 1, 7, "\"123", 0, 0, "038121F3 61 00 028121 0000 0A 050003000101 C2E231",
       17, 3},
      {"12345678901234567890", "[]", 7, 255, 255, 7, "5550199\"", 255, 0,
       "0581550591F9 71 00 148121436587092143658709 0000 FF 0B 05000307FFFF 36BC8D0F", 28, 4},
      {"1", "\u00E4\u20AC", 16, 3, 2, 8, "", 1, -1, "00 71 00 0181F1 0004 01 08 050003100302 E480",
       17, 0},
      {"1", "AH", 1, 1, 1, 16, "", 0, -1, "00 61 00 0181F1 0008 0C 050003010101 000100410048", 20,
       0},
      {"1", "A", 1, 1, 1, 16, "", 0, 1, "00 61 00 0181F1 0008 0A 050003010101 00010041", 18, 0},
  };
  for (const auto& c : cases) {
    last_septets = 0;
    ASSERT_TRUE(BuildSubmitPDU(c.number, c.text, c.reference, c.total, c.sequence, c.coding,
                               c.service_centre, c.validity, c.prefix))
        << c.number;
    EXPECT_EQ(last_pdu, Hex(c.pdu)) << c.number;
    EXPECT_EQ(last_pdu_octets, c.tpdu_octets) << c.number;
    EXPECT_EQ(last_septets, c.septets) << c.number;
  }
}

// Every 7-bit path sends one '?' for each code point the alphabet cannot carry: an emoji
// is one septet, not one per surrogate.
TEST(BuildSubmitPDU, OneQuestionMarkPerCodePointOnEvery7BitPath) {
  // The text, then its septets in hex, one octet each.
  const std::pair<const char*, const char*> cases[] = {
      {"a\xF0\x9F\x98\x80\xF0\x9F\x8E\x89-", "613F3F2D"},
      {"x\xFF-", "783F2D"},  // a byte that is not UTF-8
  };
  for (const auto& [text, septets] : cases) {
    ASSERT_TRUE(BuildSubmitPDU("1", text, 1, 1, 1, 7, "", 0, 0));
    const auto part = pdu::Pdu<pdu::SubmitTpdu>::FromHex(last_pdu).tpdu.user_data.body;
    EXPECT_EQ(pdu::ToHex(part), septets) << text;
    EXPECT_EQ(SeptetLength(text), static_cast<int>(part.size())) << text;
    pdu::PDUConverter single;
    single.PhoneNumber("1");
    single.Text(text);
    single.Encode();
    EXPECT_EQ(pdu::ToHex(pdu::Pdu<pdu::SubmitTpdu>::FromHex(single.PDU()).tpdu.user_data.body),
              septets)
        << text;
  }
  EXPECT_EQ(CharacterSeptets(U'\U0001F600'), 1);
  EXPECT_EQ(CharacterSeptets(U'\u20AC'), 2);
}

TEST(BuildSubmitPDU, RefusesWhatWouldNotMakeAWellFormedPDUAndKeepsThePrevious) {
  testing::MappingFolder folder;
  folder.Write("0x61\t0x0061\n");
  const std::string n = "+15550100";
  std::string emoji81;
  for (int i = 0; i < 81; ++i) emoji81 += "\xF0\x9F\x98\x80";
  struct Case {
    std::string number, text;
    int reference, total, sequence;
    std::uint8_t coding;
    std::string service_centre;
    std::int16_t prefix;
  } const cases[] = {
      {n, "", 1, 1, 1, 7, "", 0},
      {n, std::string(154, 'a'), 1, 1, 1, 7, "", 0},
      {n, emoji81, 1, 1, 1, 7, "", 0},  // 81 septets, but 162 characters
      {n, std::string(152, 'a') + "\u20AC", 1, 1, 1, 7, "", 0},
      {n, "abc", 1, 1, 1, 0, "", 0},
      {n, "abc", -1, 1, 1, 7, "", 0},
      {n, "abc", 1, 0, 0, 7, "", 0},
      {n, "abc", 1, 2, 3, 7, "", 0},
      {n, "abc", 1, 256, 1, 7, "", 0},
      {"012-5550147", "abc", 1, 1, 1, 7, "", 0},
      {"1\x1A\r\nAT+CMGD=1", "abc", 1, 1, 1, 7, "", 0},  // a command smuggled in
      {n, "abc", 1, 1, 1, 7, "+1555-0199", 0},
      {n, std::string(135, 'a'), 1, 1, 1, 8, "", 0},
      {n, std::string(68, 'a'), 1, 1, 1, 16, "", 0},
      {n, std::string(67, 'a'), 1, 1, 1, 16, "", -1},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildSubmitPDU(n, "abc", 1, 1, 1, 7, "", 0, 0));
    EXPECT_FALSE(BuildSubmitPDU(c.number, c.text, c.reference, c.total, c.sequence, c.coding,
                                c.service_centre, 0, c.prefix))
        << c.number << " / " << c.text.size() << " / " << c.reference << c.total << c.sequence;
    EXPECT_EQ(last_pdu + std::to_string(last_pdu_octets), std::string(kExample1) + "20");
  }
  testing::MappingFolder empty;  // a missing mapping file reaches the caller
  EXPECT_EQ(ErrorNumberOf([&] { BuildSubmitPDU(n, "abc", 1, 1, 1, 16, "", 0, 0); }),
            err::kFileNotFound);
  EXPECT_EQ(last_pdu, kExample1);
  // More than 70 characters are refused before the file is needed; 70 need it.
  EXPECT_FALSE(BuildSubmitPDU(n, std::string(71, 'a'), 1, 1, 1, 16, "", 0, 0));
  EXPECT_EQ(ErrorNumberOf([&] { BuildSubmitPDU(n, std::string(70, 'a'), 1, 1, 1, 16, "", 0, 0); }),
            err::kFileNotFound);
}

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
      {"longer key is another key", "0x410\t0x1111\n0x41\t0x0041\n", "A", "0041"},
      {"CR LF and CR line ends", "0x41\t0x0041\r\n0x42\t0x0042\r0x43\t0x0043\r", "BAC",
       "004200410043"},
      {"value spaces trimmed, digits upper-cased", "0x41\t0x00e4 \n", "A", "00E4"},
      {"short value is no value", "0x41\t0x41\t#A\n", "A", "003F"},
      {"missing value still ends the scan", "0x41\t\n0x41\t0x0041\n", "A", "003F"},
      {"no TAB, no key", "0x41 0x0041\n", "A", "003F"},
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
}

// The oracle reads the file afresh for every character; the cached table must agree with
// it on any file made of the pieces that matter to the item and key rules.
TEST(EncodeUCS2, CachedAgreesWithAFreshScan) {
  const char* const pieces[] = {"0x", "41", "E9", "0041", "00e9", "\t", ",", " ", "\n", "\r", "A"};
  const char* const chars[] = {"A", "\u00E9", "x", "\u20AC"};
  std::mt19937 rng(20240611);
  MappingFolder folder;
  for (int round = 0; round < 100; ++round) {
    std::string file, text;
    for (int i = static_cast<int>(rng() % 40); i > 0; --i)
      file += pieces[rng() % std::size(pieces)];
    for (int i = 1 + static_cast<int>(rng() % 5); i > 0; --i)
      text += chars[rng() % std::size(chars)];
    folder.Write(file, 1'700'000'000'000'000'000L + round);
    ASSERT_EQ(Encode_UCS2(text), EncodeUCS2Uncached(text)) << "file: " << file;
  }
  // Texts that need no lookup do not touch the file; a folder in its place is unreadable.
  std::filesystem::remove(folder.file());
  EXPECT_EQ(Encode_UCS2("\u00E9"), "");
  std::filesystem::create_directory(folder.file());
  EXPECT_EQ(ErrorNumberOf([] { Encode_UCS2("A"); }), err::kPathFileAccess);
  EXPECT_EQ(ErrorNumberOf([] { EncodeUCS2Uncached("A"); }), err::kPathFileAccess);
}

}  // namespace
}  // namespace selvarn::pdu
