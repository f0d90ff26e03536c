// Webhook signatures (HMAC-SHA256, checked against RFC 4231's vectors) and the API's
// tokens file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "selvarn/error.hpp"
#include "selvarn/service.hpp"
#include "support/files.hpp"

namespace selvarn::service {
namespace {

std::string Bytes(std::size_t n, char c) { return std::string(n, c); }

TEST(WebhookSignature, Rfc4231Vectors) {
  struct Case {
    const char* name;
    std::string key;
    std::string data;
    const char* hmac;  // test case 5 gives only the first 128 bits
  } const cases[] = {
      {"1", Bytes(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"2", "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"5", Bytes(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
      {"6", Bytes(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"7", Bytes(131, '\xaa'),
       "This is a test using a larger than block-size key and a larger than block-size data. "
       "The key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
      {"empty key and body", "", "",
       "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
  };
  for (const auto& c : cases) {
    const std::string mac = HmacSha256Hex(c.key, c.data);
    ASSERT_EQ(mac.size(), 64u) << c.name;
    EXPECT_EQ(mac.substr(0, std::string_view(c.hmac).size()), c.hmac) << "test case " << c.name;
  }
}

TEST(WebhookSignature, HeaderAndVerification) {
  const std::string body = R"({"id":"m-17","from":"+447700900001","text":"Hi"})";
  const std::string header = SignatureHeader("s3cret", body);
  EXPECT_EQ(header, "sha256=" + HmacSha256Hex("s3cret", body));
  const std::pair<std::string, bool> cases[] = {
      {header, true},
      {"sha1=" + header.substr(7), false},
      {header.substr(7), false},                     // the bare digest
      {header.substr(0, header.size() - 1), false},  // one digit short
      {header + "0", false},
      {"", false},
      {"sha256=" + HmacSha256Hex("s3cret", body + " "), false},  // another body
      {"sha256=" + HmacSha256Hex("S3cret", body), false},        // another secret
  };
  for (const auto& [presented, ok] : cases) {
    EXPECT_EQ(VerifySignature("s3cret", body, presented), ok) << presented;
  }
}

TEST(ApiTokens, BearerHeader) {
  const std::pair<const char*, std::optional<std::string_view>> cases[] = {
      {"Bearer abc123", "abc123"},      {"bearer abc123", "abc123"},
      {"BEARER  abc123 ", "abc123"},    {"Bearer ", std::nullopt},
      {"Bearer", std::nullopt},         {"Basic YWxhZGRpbjpvcGVuc2VzYW1l", std::nullopt},
      {"Bearerabc123", std::nullopt},   {"Xearer abc123", std::nullopt},
      {"Bearer abc 123", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& [header, token] : cases) EXPECT_EQ(BearerToken(header), token) << header;
}

TEST(ApiTokens, AcceptsOnlyWholeTokens) {
  const Tokens tokens({"0123456789abcdef0123", "second-token-of-the-file"});
  const std::pair<const char*, bool> cases[] = {
      {"0123456789abcdef0123", true},     {"second-token-of-the-file", true},
      {"0123456789abcdef012", false},     {"0123456789abcdef01234", false},
      {"0123456789ABCDEF0123", false},    {"", false},
      {"second-token-of-the-fil", false},
  };
  for (const auto& [presented, ok] : cases) EXPECT_EQ(tokens.Accepts(presented), ok) << presented;
  EXPECT_FALSE(Tokens({}).Accepts("")) << "no tokens accept nothing, not even nothing";
}

TEST(ApiTokens, TokensFile) {
  testing::TempDir dir;
  const std::string path = dir.path + "/tokens";
  const std::string good =
      "# the billing app\n  0123456789abcdef0123  \n\nsecond-token-of-the-file\r\n";
  struct Case {
    const char* name;
    std::string content;
    mode_t mode;
    int number;           // 0: loads
    std::string message;  // after "tokens file <path>: "
    std::size_t count;
  } const cases[] = {
      {"private", good, 0600, 0, "", 2},
      {"read-only for its owner", good, 0400, 0, "", 2},
      {"a token of the least length", good + "0123456789abcdef\n", 0600, 0, "", 3},
      {"over a mebibyte", good + "#" + std::string(1 << 20, 'x') + "\n", 0600, 75,
       "larger than 1 MiB", 0},
      {"group may read", good, 0640, 75,
       "other users may read or change it (mode 0640): chmod 600 " + path, 0},
      {"world may read", good, 0604, 75,
       "other users may read or change it (mode 0604): chmod 600 " + path, 0},
      {"group may write", good, 0620, 75,
       "other users may read or change it (mode 0620): chmod 600 " + path, 0},
      {"only comments", "# nothing yet\n\n", 0600, 5, "no token in it", 0},
      {"a short token", "0123456789abcdef0123\nshort\n", 0600, 5,
       "line 2: a token must be at least 16 characters", 0},
      {"a token with a space", "0123456789 abcdef0123\n", 0600, 5,
       "line 1: a token must be printable ASCII without spaces", 0},
      {"a token with a byte above ASCII", "0123456789abcdef0123\xc3\xa9\n", 0600, 5,
       "line 1: a token must be printable ASCII without spaces", 0},
  };
  for (const auto& c : cases) {
    std::remove(path.c_str());
    std::ofstream(path) << c.content;
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    try {
      const Tokens t = Tokens::Load(path);
      EXPECT_EQ(c.number, 0) << c.name << ": loaded";
      EXPECT_EQ(t.size(), c.count) << c.name;
      EXPECT_TRUE(t.Accepts("second-token-of-the-file")) << c.name;
      EXPECT_TRUE(t.Accepts("0123456789abcdef0123")) << c.name << ": trimmed";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), c.number) << c.name;
      EXPECT_EQ(std::string(e.what()), "tokens file " + path + ": " + c.message) << c.name;
    }
  }
  std::remove(path.c_str());
  EXPECT_THROW(Tokens::Load(path), RuntimeError) << "no file";
  EXPECT_THROW(Tokens::Load(dir.path), RuntimeError) << "a folder";
}

}  // namespace
}  // namespace selvarn::service
