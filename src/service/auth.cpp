// The webhooks' signatures and the API's bearer tokens. Secrets are compared in constant
// time: a comparison that stops at the first differing byte lets a caller find a token one
// byte at a time by timing the answers.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"
#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

constexpr std::string_view kSignaturePrefix = "sha256=";
constexpr std::size_t kMinTokenLength = 16;
constexpr std::size_t kMaxTokensFile = 1 << 20;

std::string Hex(const unsigned char* bytes, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(n * 2, '0');
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return out;
}

std::string Sha256(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return {reinterpret_cast<const char*>(digest), sizeof digest};
}

bool SameDigest(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

[[noreturn]] void TokensFail(int number, const std::string& path, const std::string& what) {
  throw RuntimeError(number, "tokens file " + path + ": " + what);
}

std::string_view Trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string HmacSha256Hex(std::string_view key, std::string_view data) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  // An empty key still needs a valid pointer.
  static const unsigned char kNone = 0;
  const void* k = key.empty() ? &kNone : static_cast<const void*>(key.data());
  if (HMAC(EVP_sha256(), k, static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac,
           &len) == nullptr) {
    throw RuntimeError(err::kInvalidCall, "HMAC-SHA256 failed");
  }
  return Hex(mac, len);
}

std::string SignatureHeader(std::string_view secret, std::string_view body) {
  return std::string(kSignaturePrefix) + HmacSha256Hex(secret, body);
}

bool VerifySignature(std::string_view secret, std::string_view body, std::string_view header) {
  const std::string expected = SignatureHeader(secret, body);
  return header.size() == expected.size() &&
         CRYPTO_memcmp(header.data(), expected.data(), expected.size()) == 0;
}

std::optional<std::string_view> BearerToken(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer ";
  if (authorization.size() <= kScheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {  // the scheme is case-insensitive
    const char c = authorization[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != kScheme[i]) return std::nullopt;
  }
  std::string_view token = Trim(authorization.substr(kScheme.size()));
  if (token.empty() || token.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
  return token;
}

Tokens::Tokens(std::vector<std::string> tokens) {
  for (const auto& t : tokens) digests_.push_back(Sha256(t));
}

bool Tokens::Accepts(std::string_view presented) const {
  // Digests make every comparison the same length, and every token is compared.
  const std::string digest = Sha256(presented);
  bool found = false;
  for (const auto& d : digests_) found |= SameDigest(d, digest);
  return found;
}

Tokens Tokens::Load(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) TokensFail(err::kPathFileAccess, path, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) TokensFail(err::kPathFileAccess, path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) TokensFail(err::kPathFileAccess, path, "not a regular file");
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    TokensFail(
        err::kPathFileAccess, path,
        std::string("other users may read or change it (mode ") + mode + "): chmod 600 " + path);
  }
  if (static_cast<std::size_t>(st.st_size) > kMaxTokensFile) {
    TokensFail(err::kPathFileAccess, path, "larger than 1 MiB");
  }
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) TokensFail(err::kPathFileAccess, path, std::strerror(errno));
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxTokensFile) TokensFail(err::kPathFileAccess, path, "larger than 1 MiB");
  }
  std::vector<std::string> tokens;
  std::string_view rest = text;
  for (int line = 1; !rest.empty(); ++line) {
    const auto end = rest.find('\n');
    const std::string_view t = Trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (t.empty() || t.front() == '#') continue;
    const std::string where = "line " + std::to_string(line) + ": ";
    for (char c : t) {
      if (c <= ' ' || c == 0x7f)
        TokensFail(err::kInvalidCall, path,
                   where + "a token must be printable ASCII without spaces");
    }
    if (t.size() < kMinTokenLength) {
      TokensFail(
          err::kInvalidCall, path,
          where + "a token must be at least " + std::to_string(kMinTokenLength) + " characters");
    }
    tokens.emplace_back(t);
  }
  if (tokens.empty()) TokensFail(err::kInvalidCall, path, "no token in it");
  return Tokens(std::move(tokens));
}

}  // namespace selvarn::service
