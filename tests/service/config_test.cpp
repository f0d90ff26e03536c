// The gateway service's configuration: a complete file read field by field, and bad files
// with every error they hold, each at its line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "selvarn/service.hpp"
#include "support/files.hpp"

namespace selvarn::service {
namespace {

using namespace std::chrono_literals;

constexpr const char* kModem = "[[modem]]\nname = \"m\"\ndevice = \"/dev/ttyUSB0\"\n";

constexpr const char* kCompleteConfig = R"(# /etc/selvarn-sms/gateway.toml
store = "/var/lib/selvarn-sms/store.db"
tokens = "/etc/selvarn-sms/tokens"

[http]
address = "0.0.0.0"
port = 8443
certificate = "/etc/selvarn-sms/cert.pem"
key = "/etc/selvarn-sms/key.pem"
max_body = 32768

[[modem]]
name = "office"
device = "/dev/ttyUSB2"
pin = "1234"
prefixes = ["+44", "+353"]
tags = ["alerts"]

[[modem]]
name = "backup"
device = "/dev/serial/by-id/usb-modem-if02"

[received]
command = "/usr/local/bin/on-sms"
[[received.webhook]]
url = "https://app.example/sms"
secret = "a long shared secret"

[reports]
[[reports.webhook]]
url = "http://127.0.0.1:9000/reports"
secret = "another secret"

[retry]
limit = 8
first_wait = 2.5
max_wait = 600
factor = 3
jitter = 0.5
resend_uncertain = true
)";

TEST(ServiceConfig, CompleteFile) {
  const auto loaded = ParseConfig(kCompleteConfig, "gateway.toml");
  ASSERT_TRUE(loaded.ok()) << Describe(loaded.file, loaded.errors.front());
  const Config& c = loaded.config;
  EXPECT_EQ(c.store, "/var/lib/selvarn-sms/store.db");
  EXPECT_EQ(c.tokens, "/etc/selvarn-sms/tokens");
  EXPECT_EQ(c.http.address, "0.0.0.0");
  EXPECT_EQ(c.http.port, 8443);
  EXPECT_EQ(c.http.certificate, "/etc/selvarn-sms/cert.pem");
  EXPECT_EQ(c.http.key, "/etc/selvarn-sms/key.pem");
  EXPECT_EQ(c.http.max_body, 32768u);
  EXPECT_TRUE(c.http.Tls());
  EXPECT_FALSE(c.http.Loopback());
  ASSERT_EQ(c.modems.size(), 2u);
  EXPECT_EQ(c.modems[0].name, "office");
  EXPECT_EQ(c.modems[0].device, "/dev/ttyUSB2");
  EXPECT_EQ(c.modems[0].pin, "1234");
  EXPECT_EQ(c.modems[0].prefixes, (std::vector<std::string>{"+44", "+353"}));
  EXPECT_EQ(c.modems[0].tags, (std::vector<std::string>{"alerts"}));
  EXPECT_EQ(c.modems[0].line, 12);
  EXPECT_EQ(c.modems[1].name, "backup");
  EXPECT_EQ(c.modems[1].device, "/dev/serial/by-id/usb-modem-if02");
  EXPECT_TRUE(c.modems[1].pin.empty());
  EXPECT_TRUE(c.modems[1].prefixes.empty());
  EXPECT_EQ(c.received.command, "/usr/local/bin/on-sms");
  ASSERT_EQ(c.received.webhooks.size(), 1u);
  EXPECT_EQ(c.received.webhooks[0].url, "https://app.example/sms");
  EXPECT_EQ(c.received.webhooks[0].secret, "a long shared secret");
  EXPECT_TRUE(c.reports.command.empty());
  ASSERT_EQ(c.reports.webhooks.size(), 1u);
  EXPECT_EQ(c.reports.webhooks[0].url, "http://127.0.0.1:9000/reports");
  EXPECT_EQ(c.retry.limit, 8);
  EXPECT_EQ(c.retry.first_wait, 2500ms);
  EXPECT_EQ(c.retry.max_wait, 600s);
  EXPECT_EQ(c.retry.factor, 3.0);
  EXPECT_EQ(c.retry.jitter, 0.5);
  EXPECT_TRUE(c.retry.resend_uncertain);
}

TEST(ServiceConfig, ValuesAtTheirLimitsAreAccepted) {
  const char* const settings[] = {
      "[http]\naddress = \"::1\"\n",  // loopback: no tokens needed
      "[http]\naddress = \"127.0.0.2\"\nport = 65535\nmax_body = 1024\n",
      "[http]\naddress = \"localhost\"\nport = 1\nmax_body = 67108864\n",
      "[retry]\nlimit = 100\nfirst_wait = 86400\nmax_wait = 86400\nfactor = 10\njitter = 1\n",
      "[retry]\nlimit = 1\nfirst_wait = 0.001\nmax_wait = 0.001\nfactor = 1\njitter = 0\n",
      "[[modem]]\nname = \"b\"\ndevice = \"/dev/b\"\npin = \"12345678\"\n",
      "[[modem]]\nname = \"c\"\ndevice = \"/dev/c\"\npin = \"9990\"\nprefixes = [\"+9\", \"0\"]\n",
  };
  for (const char* text : settings) {
    const auto loaded = ParseConfig(std::string(kModem) + text, "f");
    EXPECT_TRUE(loaded.ok()) << text << Describe("", loaded.errors.front());
  }
}

struct BadFile {
  const char* name;
  const char* text;
  std::vector<std::string> errors;  // "line: message"
};

const BadFile kBadFiles[] = {
    {"empty file", "", {"0: no modem: add a [[modem]] table with a name and a device"}},
    {"syntax error",
     "store = \"/x\"\nport = \n",
     {"2: syntax error: missing value after key-value separator '='"}},
    {"a control character", "store = \"/x\"\n# a bell \a\n", {"2: a control character (0x07)"}},
    {"Latin-1 bytes", "[[modem]]\nname = \"caf\xe9\"\n", {"2: bytes that are not UTF-8"}},
    {"a table twice",
     "[http]\nport = 1\n[http]\nport = 2\n",
     {"3: syntax error: table (\"http\") already exists."}},
    {"unknown keys at every level",
     "stor = \"/x\"\n[http]\nadress = \"::1\"\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n"
     "speed = 9600\n[retry]\nlimits = 3\n[received]\n[[received.webhook]]\nurl = "
     "\"http://h/\"\nsecret = \"s\"\nsign = true\n",
     {"1: unknown key 'stor'; known keys: http, modem, received, reports, retry, store, tokens",
      "3: unknown key 'adress' in [http]; known keys: address, certificate, key, max_body, port",
      "7: unknown key 'speed' in [[modem]]; known keys: device, name, pin, prefixes, tags",
      "9: unknown key 'limits' in [retry]; known keys: factor, first_wait, jitter, limit, "
      "max_wait, resend_uncertain",
      "14: unknown key 'sign' in [[received.webhook]]; known keys: secret, url"}},
    {"wrong types",
     "store = 5\n[http]\nport = \"80\"\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\npin = 1234\n"
     "tags = \"a\"\nprefixes = [\"+44\", 7]\n[retry]\nlimit = 2.5\njitter = \"some\"\n"
     "resend_uncertain = \"yes\"\n",
     {"1: 'store' must be a string, not an integer",
      "3: 'http.port' must be an integer, not a string",
      "7: 'modem.pin' must be a string, not an integer",
      "8: 'modem.tags' must be an array of strings, not a string",
      "9: 'modem.prefixes' must hold strings, not an integer",
      "11: 'retry.limit' must be an integer, not a float",
      "12: 'retry.jitter' must be a number, not a string",
      "13: 'retry.resend_uncertain' must be true or false, not a string"}},
    {"sections of the wrong shape",
     "http = 1\nretry = [1]\nmodem = \"x\"\nreceived = true\n[reports]\nwebhook = 3\n",
     {"1: 'http' must be a table ([http]), not an integer",
      "2: 'retry' must be a table ([retry]), not an array",
      "3: 'modem' must be tables ([[modem]]), not a string",
      "4: 'received' must be a table ([received]), not a boolean",
      "6: 'reports.webhook' must be tables ([[reports.webhook]]), not an integer"}},
    {"modems without name or device",
     "[[modem]]\npin = \"1234\"\n[[modem]]\nname = \"b\"\n",
     {"1: [[modem]] has no 'name'", "1: [[modem]] has no 'device'",
      "3: [[modem]] has no 'device'"}},
    {"duplicate modem names and devices",
     "[[modem]]\nname = \"a\"\ndevice = \"/dev/ttyUSB0\"\n[[modem]]\nname = \"b\"\ndevice = "
     "\"/dev/ttyUSB0\"\n[[modem]]\nname = \"a\"\ndevice = \"/dev/ttyUSB1\"\n",
     {"6: device '/dev/ttyUSB0' is already used by modem 'a' on line 3",
      "8: modem name 'a' is already used on line 2"}},
    {"bad modem values",
     "[[modem]]\nname = \"my modem\"\ndevice = \"ttyUSB0\"\npin = \"12a4\"\nprefixes = "
     "[\"+44x\", \"\"]\ntags = [\"ok\", \"not ok\"]\n",
     {"2: 'modem.name' \"my modem\" must be 1 to 64 letters, digits, '-' or '_'",
      "3: 'modem.device' must be an absolute path, not \"ttyUSB0\"",
      "4: 'modem.pin' must be 4 to 8 digits",
      "5: 'modem.prefixes' entry \"+44x\" must be digits, with an optional leading '+'",
      "5: 'modem.prefixes' entry \"\" must be digits, with an optional leading '+'",
      "6: 'modem.tags' entry \"not ok\" must be 1 to 64 letters, digits, '-' or '_'"}},
    {"a listener open to others without tokens",
     "[http]\naddress = \"0.0.0.0\"\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n",
     {"2: 'http.address' 0.0.0.0 is reachable from other hosts: set 'tokens' to a tokens file"}},
    {"bad listener values",
     "tokens = \"tokens.txt\"\n[http]\naddress = \"example.org\"\nport = 70000\nmax_body = 10\n"
     "[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n",
     {"1: 'tokens' must be an absolute path, not \"tokens.txt\"",
      "3: 'http.address' \"example.org\" is not an IP address or \"localhost\"",
      "4: 'http.port' must be between 1 and 65535, not 70000",
      "5: 'http.max_body' must be between 1024 and 67108864, not 10"}},
    {"TLS with a certificate only",
     "[http]\ncertificate = \"/c.pem\"\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n",
     {"2: 'http.certificate' is set without 'http.key'"}},
    {"TLS with a key only",
     "[http]\nkey = \"/k.pem\"\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n",
     {"2: 'http.key' is set without 'http.certificate'"}},
    {"webhooks and commands",
     "[received]\ncommand = \"\"\n[[received.webhook]]\nurl = \"ftp://h/\"\nsecret = \"\"\n"
     "[[received.webhook]]\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n",
     {"2: 'received.command' is empty",
      "4: 'received.webhook.url' must start with http:// or https://",
      "5: 'received.webhook.secret' is empty", "6: [[received.webhook]] has no 'url'",
      "6: [[received.webhook]] has no 'secret'"}},
    {"retry values out of range",
     "[retry]\nlimit = 0\nfirst_wait = 0\nfactor = 0.5\njitter = 1.5\n[[modem]]\nname = "
     "\"m\"\ndevice = \"/dev/x\"\n",
     {"2: 'retry.limit' must be between 1 and 100, not 0",
      "3: 'retry.first_wait' must be seconds between 0.001 and 86400",
      "4: 'retry.factor' must be between 1 and 10", "5: 'retry.jitter' must be between 0 and 1"}},
    {"a cap below the first wait",
     "[retry]\nfirst_wait = 60\nmax_wait = 10\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n",
     {"3: 'retry.max_wait' is shorter than 'retry.first_wait'"}},
    {"PINs too short and too long",
     "[[modem]]\nname = \"a\"\ndevice = \"/dev/a\"\npin = \"123\"\n[[modem]]\nname = \"b\"\n"
     "device = \"/dev/b\"\npin = \"123456789\"\n",
     {"4: 'modem.pin' must be 4 to 8 digits", "8: 'modem.pin' must be 4 to 8 digits"}},
    {"a list of modems that are not tables",
     "modem = [1]\n",
     {"1: 'modem' must hold tables ([[modem]]), not an integer",
      "1: no modem: add a [[modem]] table with a name and a device"}},
    {"a first wait above the default cap",
     "[retry]\nfirst_wait = 7200\n[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\n",
     {"2: 'retry.max_wait' is shorter than 'retry.first_wait'"}},
};

TEST(ServiceConfig, BadFilesReportEveryErrorAtItsLine) {
  for (const auto& bad : kBadFiles) {
    const auto loaded = ParseConfig(bad.text, "gateway.toml");
    std::vector<std::string> got;
    for (const auto& e : loaded.errors) got.push_back(std::to_string(e.line) + ": " + e.message);
    EXPECT_EQ(got, bad.errors) << bad.name;
    EXPECT_TRUE(loaded.config.modems.empty()) << bad.name << ": a bad file yields no settings";
  }
}

TEST(ServiceConfig, LoadingAFile) {
  testing::TempDir dir;
  const std::string path = dir.path + "/gateway.toml";
  const std::string with_pin = std::string(kModem) + "pin = \"0000\"\n";
  const std::string with_secret =
      std::string(kModem) + "[[reports.webhook]]\nurl = \"http://h/\"\nsecret = \"s\"\n";
  const std::string warning = path + ": any user may read the PIN and secrets in it (mode ";
  struct Case {
    std::optional<std::string> content;  // none: no file
    mode_t mode;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
  } const cases[] = {
      {std::nullopt, 0, {path + ": cannot read: No such file or directory"}, {}},
      {"[[modem]]\nname = \"m\"\ndevice = \"/dev/x\"\nbaud = 1\n",
       0644,
       {path + ":4: unknown key 'baud' in [[modem]]; known keys: device, name, pin, prefixes, "
               "tags"},
       {}},
      {kModem, 0644, {}, {}},
      {with_pin, 0640, {}, {}},
      {with_pin, 0604, {}, {warning + "0604): chmod o-r " + path}},
      {with_secret, 0644, {}, {warning + "0644): chmod o-r " + path}},
  };
  for (const auto& c : cases) {
    std::remove(path.c_str());
    if (c.content) {
      std::ofstream(path) << *c.content;
      chmod(path.c_str(), c.mode);
    }
    const auto loaded = LoadConfig(path);
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    for (const auto& e : loaded.errors) errors.push_back(Describe(loaded.file, e));
    for (const auto& w : loaded.warnings) warnings.push_back(Describe(loaded.file, w));
    EXPECT_EQ(errors, c.errors) << c.content.value_or("no file");
    EXPECT_EQ(warnings, c.warnings) << c.content.value_or("no file");
  }
}

TEST(ServiceConfig, LoopbackAddresses) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true},         {"127.8.9.10", true}, {"localhost", true}, {"::1", true},
      {"0.0.0.0", false},          {"128.0.0.1", false}, {"::", false},       {"10.0.0.1", false},
      {"::ffff:127.0.0.1", false},  // mapped: asks for tokens too, to be safe
  };
  for (const auto& [address, loopback] : cases) {
    ListenConfig l;
    l.address = address;
    EXPECT_EQ(l.Loopback(), loopback) << address;
  }
}

// The rules the configuration and the HTTP API share, at their edges.
TEST(NamesAndNumbers, Edges) {
  const std::string longest(64, 'x');
  const struct {
    std::string s;
    bool name, number;
  } cases[] = {
      {"az-AZ_09", true, false},
      {longest, true, false},
      {longest + "x", false, false},
      {"", false, false},
      {"a b", false, false},
      {"caf\xc3\xa9", false, false},
      {"a/b", false, false},
      {"+", false, false},
      {"+44", false, true},
      {"0", true, true},
      {"4+4", false, false},
      {"+" + std::string(20, '9'), false, true},
      {std::string(21, '9'), true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsPlainName(c.s), c.name) << c.s;
    EXPECT_EQ(IsNumber(c.s), c.number) << c.s;
  }
  EXPECT_TRUE(IsNumber("+123", 3));
  EXPECT_FALSE(IsNumber("1234", 3));
}

}  // namespace
}  // namespace selvarn::service
