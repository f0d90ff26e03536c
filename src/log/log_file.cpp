#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>

#include "log/error_log.hpp"
#include "platform/clock.hpp"
#include "platform/library_folder.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"

#define SELVARN_STR2(x) #x
#define SELVARN_STR(x) SELVARN_STR2(x)

namespace selvarn::Error {
namespace {

constexpr const char* kVersion = SELVARN_STR(SELVARN_VERSION_MAJOR) "." SELVARN_STR(
    SELVARN_VERSION_MINOR) "." SELVARN_STR(SELVARN_VERSION_PATCH);

[[noreturn]] void Fail(const char* what, const std::string& path, int error) {
  throw RuntimeError(err::kPathFileAccess, std::string("Path/File access error: cannot ") + what +
                                               " log file \"" + path +
                                               "\": " + std::generic_category().message(error));
}

// The log holds message texts: it is created owner-only, and whatever already sits at
// its name must be a plain file. O_NOFOLLOW refuses a planted symbolic link; O_NONBLOCK
// keeps a planted FIFO from blocking the open until fstat rejects it.
int OpenLog(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
      // A restrictive umask would leave a file the next entry cannot open.
      if (::fchmod(fd, 0600) != 0) {
        const int e = errno;
        ::close(fd);
        Fail("set the mode of", path, e);
      }
      return fd;
    }
    if (errno != EEXIST) Fail("create", path, errno);
    fd = ::open(path.c_str(), kFlags);
    if (fd >= 0) return fd;
    if (errno != ENOENT) Fail("open", path, errno);
    // Removed between the two opens: try again.
  }
  Fail("open", path, ENOENT);
}

std::string TwoDigits(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

}  // namespace

void WriteEntry(std::string_view text) {
  const std::string masked = Mask(text);

  // One reading of the clock for both the file name and the heading, so an entry
  // written at midnight names the file it lands in.
  const std::time_t now = std::chrono::system_clock::to_time_t(platform::CurrentClock().WallNow());
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) {
    throw RuntimeError(err::kInvalidCall, "Invalid procedure call: the local date is unknown");
  }
  const int year = local.tm_year + 1900;
  const int month = local.tm_mon + 1;

  const std::string path = platform::LibraryFolder() + "/SELVARN SMS API Log_" +
                           std::to_string(year) + "-" + std::to_string(month) + "-" +
                           std::to_string(local.tm_mday) + ".txt";

  std::string entry = std::string("*** SELVARN SMS API version ") + kVersion + " log dated on ";
  entry += std::to_string(year) + "-" + TwoDigits(month) + "-" + TwoDigits(local.tm_mday) + " " +
           TwoDigits(local.tm_hour) + ":" + TwoDigits(local.tm_min) + ":" +
           TwoDigits(local.tm_sec) + " ***\r\n";
  entry += masked;
  entry += "\r\n";

  platform::UniqueFd fd(OpenLog(path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) Fail("examine", path, errno);
  if (!S_ISREG(st.st_mode)) {
    throw RuntimeError(err::kPathFileAccess,
                       "Path/File access error: log file \"" + path + "\" is not a regular file");
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    Fail("configure", path, errno);
  }

  std::size_t done = 0;
  while (done < entry.size()) {
    const ssize_t n = ::write(fd.get(), entry.data() + done, entry.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("write to", path, errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fd.Close() != 0 && errno != EINTR) Fail("close", path, errno);
}

}  // namespace selvarn::Error
