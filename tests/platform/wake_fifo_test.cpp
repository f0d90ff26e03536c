// The wake-up channel: a reader is found or its absence told at once, and only a FIFO of
// the user's own is ever opened.
#include "platform/wake_fifo.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/errors.hpp"
#include "support/files.hpp"

namespace selvarn::platform {
namespace {

bool WakeReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// What is at the path before either end opens it; the outcome for a waker with no listener
// (0 no reader, -1 opened, or the error) and for a listener.
TEST(WakeFifo, OnlyAFifoOfOursIsOpened) {
  const bool privileged = geteuid() == 0;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    int waker;
    int listener;
  };
  const Case cases[] = {
      {"missing", [](const std::string&) {}, 0, 0},
      {"left by a waiter that is gone", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, 0,
       0},
      {"a file", [](const std::string& p) { std::ofstream(p) << "keep"; }, 75, 75},
      {"a link to a FIFO of ours",
       [](const std::string& p) {
         mkfifo((p + ".real").c_str(), 0600);
         symlink((p + ".real").c_str(), p.c_str());
       },
       75, 75},
      {"a link to nowhere", [](const std::string& p) { symlink((p + ".none").c_str(), p.c_str()); },
       75, 75},
      {"a FIFO others may write",
       [](const std::string& p) {
         mkfifo(p.c_str(), 0600);
         chmod(p.c_str(), 0622);
       },
       75, 75},
      {"another user's FIFO",
       [&](const std::string& p) {
         mkfifo(p.c_str(), 0600);
         if (privileged) {
           EXPECT_EQ(chown(p.c_str(), 65534, 65534), 0);
         }
       },
       privileged ? 75 : 0, privileged ? 75 : 0},
  };
  for (const Case& c : cases) {
    selvarn::testing::TempDir dir;
    const std::string path = dir.path + "/messages.db.wake";
    c.make(path);
    struct stat before {};
    const bool existed = lstat(path.c_str(), &before) == 0;
    int waker = 0;
    EXPECT_EQ(testing::ErrorNumberOf([&] { waker = OpenWaker(path) ? -1 : 0; }) + waker, c.waker)
        << c.name;
    EXPECT_EQ(testing::ErrorNumberOf([&] { WakeListener listener(path); }), c.listener) << c.name;
    struct stat st {};
    if (c.listener != 0) {
      // Left as it was.
      ASSERT_EQ(lstat(path.c_str(), &st), 0) << c.name;
      EXPECT_EQ(st.st_ino, before.st_ino) << c.name;
      EXPECT_EQ(st.st_mode, before.st_mode) << c.name;
      continue;
    }
    EXPECT_EQ(existed, std::string(c.name) != "missing");
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << c.name;
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << c.name;
    EXPECT_EQ(st.st_mode & 0777, 0600U) << c.name;
  }
}

TEST(WakeFifo, AWakeUpReachesTheListenerUntilItIsGone) {
  selvarn::testing::TempDir dir;
  const std::string path = dir.path + "/w";
  auto listener = std::make_unique<WakeListener>(path);
  EXPECT_FALSE(WakeReadable(listener->Descriptor()));
  UniqueFd waker = OpenWaker(path);
  ASSERT_TRUE(waker);
  for (int k = 0; k < 3; ++k) EXPECT_TRUE(Wake(waker));
  EXPECT_TRUE(WakeReadable(listener->Descriptor()));
  listener->Drain();
  EXPECT_FALSE(WakeReadable(listener->Descriptor())) << "drained, it waits again";
  // A second listener on the same path (another session on the same store) is woken too.
  WakeListener second(path);
  EXPECT_TRUE(Wake(waker));
  EXPECT_TRUE(WakeReadable(second.Descriptor()));
  second.Drain();
  // The listeners go: a waker already open is told, without dying of SIGPIPE; a new one
  // finds nobody.
  listener.reset();
  { WakeListener last = std::move(second); }
  EXPECT_FALSE(Wake(waker));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "the SIGPIPE was taken";
  EXPECT_FALSE(OpenWaker(path));
}

}  // namespace
}  // namespace selvarn::platform
