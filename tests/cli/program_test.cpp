// The program itself, as a shell runs it: main's streams and exit statuses.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace selvarn::testing {
void FreshDataHome();  // store_env.cpp
}  // namespace selvarn::testing

namespace {

struct Result {
  int status = -1;
  std::string out;
};

// `input` is a shell command whose output the program reads.
Result Shell(const std::string& args, const std::string& input = "true") {
  const auto program =
      std::filesystem::read_symlink("/proc/self/exe").parent_path() / "selvarn-sms";
  FILE* pipe = popen((input + " | " + program.string() + " " + args + " 2>/dev/null").c_str(), "r");
  Result r;
  if (pipe == nullptr) return r;
  std::array<char, 256> buf{};
  while (std::fgets(buf.data(), buf.size(), pipe) != nullptr) r.out += buf.data();
  const int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

TEST(Program, RunsFromAShell) {
  const struct {
    std::string args;
    int status;
    std::string out;
    std::string input = "true";
  } cases[] = {
      {"--sim init", 0, "OK\n"},
      {"--sim --do 'set sim puk' init", 1, "SIMBlocked\n"},
      {"frob", 2, ""},
      {"--device /nonexistent init", 3, ""},
      {"--sim send 123 -", 2, ""},  // nothing came
      {"--sim send 123 -", 0, "sent as message 1 (7bit), message reference 1\n", "echo hello"},
  };
  for (const auto& c : cases) {
    selvarn::testing::FreshDataHome();  // the message ids start at 1
    const Result r = Shell(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.out, c.out) << c.args;
  }
}

}  // namespace
