#include "pdu/ucs2_map.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "pdu/hex.hpp"
#include "platform/library_folder.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"
#include "text/trim.hpp"

namespace selvarn::pdu {
namespace {

std::string NormaliseValue(std::string_view digits) {
  digits = text::TrimSpaces(digits);
  if (digits.size() != 4) return std::string(kUnmappedUCS2);
  std::string out;
  for (const char c : digits) {
    const int v = pdu::HexDigitValue(c);
    if (v < 0) return std::string(kUnmappedUCS2);
    out += "0123456789ABCDEF"[v];
  }
  return out;
}

bool IsItemEnd(char c) { return c == ',' || c == '\n' || c == '\r'; }

struct Signature {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{};
  timespec ctime{};

  explicit Signature(const struct stat& st)
      : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim), ctime(st.st_ctim) {}
  bool operator==(const Signature& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

struct Cache {
  std::string path;
  std::optional<Signature> signature;
  std::shared_ptr<const UCS2Table> table;
};
thread_local Cache cache;

}  // namespace

std::optional<MappingItem> ParseMappingItem(std::string_view item) {
  const auto p = item.find("0x");
  if (p == std::string_view::npos) return std::nullopt;
  const auto tab = item.find('\t', p);
  if (tab == std::string_view::npos) return std::nullopt;
  MappingItem out;
  out.key = text::TrimSpaces(item.substr(p, tab - p));
  const auto q = item.find("0x", p + 1);
  out.value = q == std::string_view::npos ? std::string(kUnmappedUCS2)
                                          : NormaliseValue(item.substr(q + 2, 4));
  return out;
}

std::string MappingFilePath() {
  return platform::LibraryFolder() + "/" + std::string(kUnicodeFileName);
}

void ThrowMappingFileError(int error) {
  const std::string where = ": the UCS2 mapping file " + MappingFilePath();
  if (error == ENOENT || error == ENOTDIR) {
    throw RuntimeError(err::kFileNotFound, "File not found" + where);
  }
  throw RuntimeError(err::kPathFileAccess, "Path/File access error" + where);
}

UCS2Table UCS2Table::Parse(std::string_view content) {
  UCS2Table table;
  std::size_t start = 0;
  while (start <= content.size()) {
    std::size_t end = start;
    while (end < content.size() && !IsItemEnd(content[end])) ++end;
    if (auto item = ParseMappingItem(content.substr(start, end - start))) {
      // emplace keeps the first: a scan from the top stops at the first match.
      table.entries_.emplace(std::string(item->key), std::move(item->value));
    }
    start = end + 1;
  }
  return table;
}

std::string UCS2Table::Lookup(const std::string& key) const {
  const auto it = entries_.find(key);
  return it == entries_.end() ? std::string(kUnmappedUCS2) : it->second;
}

std::shared_ptr<const UCS2Table> CurrentUCS2Table() {
  const std::string path = MappingFilePath();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) ThrowMappingFileError(errno);
  if (cache.table && cache.path == path && cache.signature == Signature(st)) return cache.table;

  const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) ThrowMappingFileError(errno);
  // The signature of what is actually read, so a change between stat and open is
  // noticed at the next call.
  if (::fstat(fd.get(), &st) != 0) ThrowMappingFileError(errno);
  if (!S_ISREG(st.st_mode)) ThrowMappingFileError(EISDIR);
  std::string content;
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowMappingFileError(errno);
    }
    if (n == 0) break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  cache.table = std::make_shared<const UCS2Table>(UCS2Table::Parse(content));
  cache.path = path;
  cache.signature = Signature(st);
  return cache.table;
}

}  // namespace selvarn::pdu
