#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>

#include "log/log.hpp"
#include "platform/clock.hpp"
#include "platform/system_calls.hpp"
#include "platform/unique_fd.hpp"
#include "selvarn/error.hpp"

#define SELVARN_STR2(x) #x
#define SELVARN_STR(x) SELVARN_STR2(x)

namespace selvarn::log {
namespace {

constexpr const char* kVersion = SELVARN_STR(SELVARN_VERSION_MAJOR) "." SELVARN_STR(
    SELVARN_VERSION_MINOR) "." SELVARN_STR(SELVARN_VERSION_PATCH);

[[noreturn]] void Fail(const char* what, const std::string& path, int error,
                       const char* kind = "log file") {
  throw RuntimeError(err::kPathFileAccess, std::string("Path/File access error: cannot ") + what +
                                               " " + kind + " \"" + path +
                                               "\": " + std::generic_category().message(error));
}

// Makes the folders missing on the way to the log, owner-only: the log holds message texts.
void MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    struct stat st {};
    if (::stat(part.c_str(), &st) != 0) {
      if (::mkdir(part.c_str(), 0700) == 0) {
        // A restrictive umask would leave a folder the log cannot use.
        const platform::UniqueFd made(
            platform::OpenRetrying(part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!made || ::fchmod(made.get(), 0700) != 0) {
          Fail("set the mode of", part, errno, "log folder");
        }
      } else if (errno != EEXIST) {
        Fail("create", part, errno, "log folder");
      }
    }
    if (slash == std::string::npos) return;
  }
}

// O_NOFOLLOW refuses a planted symbolic link; O_NONBLOCK keeps a planted FIFO from
// blocking the open until the check rejects it.
platform::UniqueFd OpenLog(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  for (int attempt = 0; attempt < 3; ++attempt) {
    platform::UniqueFd fd(platform::OpenRetrying(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
    if (fd) {
      // A restrictive umask would leave a file the next entry cannot open.
      if (::fchmod(fd.get(), 0600) != 0) Fail("set the mode of", path, errno);
      return fd;
    }
    if (errno != EEXIST) Fail("create", path, errno);
    fd.reset(platform::OpenRetrying(path.c_str(), kFlags));
    if (fd) return fd;
    if (errno != ENOENT) Fail("open", path, errno);
    // Removed between the two opens: try again.
  }
  Fail("open", path, ENOENT);
}

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw RuntimeError(err::kPathFileAccess,
                     "Path/File access error: log file \"" + path + "\" " + why);
}

// Whatever is at the day's name is checked on the open descriptor, so nothing can be
// swapped in between. Refused is only what another user could have planted or could
// still change or read through a second name: a file made by logrotate or touch (0644)
// is the user's own and is appended to.
void CheckOwnFile(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) Fail("examine", path, errno);
  if (!S_ISREG(st.st_mode)) Refuse(path, "is not a regular file");
  if (st.st_uid != ::geteuid()) Refuse(path, "belongs to another user");
  if (st.st_nlink != 1) Refuse(path, "has other names (hard links)");
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    Refuse(path, std::string("may be written by others (mode ") + mode + ")");
  }
}

std::string TwoDigits(int v) {
  char buf[12];  // room for any int, though only two digits are ever written
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

  const std::string folder = LogFolder();
  const std::string path = folder + "/SELVARN SMS API Log_" + std::to_string(year) + "-" +
                           std::to_string(month) + "-" + std::to_string(local.tm_mday) + ".txt";

  std::string entry = std::string("*** SELVARN SMS API version ") + kVersion + " log dated on ";
  entry += std::to_string(year) + "-" + TwoDigits(month) + "-" + TwoDigits(local.tm_mday) + " " +
           TwoDigits(local.tm_hour) + ":" + TwoDigits(local.tm_min) + ":" +
           TwoDigits(local.tm_sec) + " ***\r\n";
  entry += masked;
  entry += "\r\n";

  MakeFolders(folder);
  platform::UniqueFd fd = OpenLog(path);
  CheckOwnFile(fd.get(), path);  // a regular file: O_NONBLOCK has no effect on its writes
  if (!platform::WriteAll(fd.get(), entry)) Fail("write to", path, errno);
  if (fd.Close() != 0 && errno != EINTR) Fail("close", path, errno);
}

}  // namespace selvarn::log
