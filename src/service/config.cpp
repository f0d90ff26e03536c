// The service's configuration file, TOML read by toml11, which keeps each value's line so
// that every error can point at it. The whole file is checked before anything is refused:
// an operator fixing a file wants all of its faults at once, not one per restart.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <toml.hpp>
#include <utility>

#include "selvarn/service.hpp"
#include "text/text.hpp"

namespace selvarn::service {
namespace {

using Value = toml::basic_value<toml::discard_comments, std::map, std::vector>;
using Table = Value::table_type;

int LineOf(const Value& v) { return static_cast<int>(v.location().line()); }

std::string TypeName(const Value& v) {
  switch (v.type()) {
    case toml::value_t::boolean:
      return "a boolean";
    case toml::value_t::integer:
      return "an integer";
    case toml::value_t::floating:
      return "a float";
    case toml::value_t::string:
      return "a string";
    case toml::value_t::array:
      return "an array";
    case toml::value_t::table:
      return "a table";
    case toml::value_t::offset_datetime:
    case toml::value_t::local_datetime:
    case toml::value_t::local_date:
    case toml::value_t::local_time:
      return "a date or time";
    case toml::value_t::empty:
      break;
  }
  return "empty";
}

bool IsIpLiteral(const std::string& s) {
  unsigned char buf[16];
  return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

// The checks of one file; each finding is kept and reading goes on.
class Checker {
 public:
  explicit Checker(std::vector<ConfigError>& errors) : errors_(errors) {}

  void Error(int line, std::string message) { errors_.push_back({line, std::move(message)}); }
  void Error(const Value& v, std::string message) { Error(LineOf(v), std::move(message)); }

  // Calls the handler of each key; a key without one is reported with the keys there are.
  void Keys(const Value& table, const std::string& where,
            const std::map<std::string, std::function<void(const Value&)>>& handlers) {
    for (const auto& [key, v] : table.as_table()) {
      auto h = handlers.find(key);
      if (h != handlers.end()) {
        h->second(v);
        continue;
      }
      std::string known;
      std::string message = "unknown key '" + key + "'";
      if (!where.empty()) message += " in " + where;
      message += "; known keys: ";
      for (const auto& [name, _] : handlers) {
        if (name != handlers.begin()->first) message += ", ";
        message += name;
      }
      Error(v, std::move(message));
    }
  }

  bool Is(const Value& v, toml::value_t type, const std::string& key, const char* what) {
    if (v.type() == type) return true;
    Error(v, "'" + key + "' must be " + what + ", not " + TypeName(v));
    return false;
  }

  std::optional<std::string> String(const Value& v, const std::string& key) {
    if (!Is(v, toml::value_t::string, key, "a string")) return std::nullopt;
    return v.as_string().str;
  }

  std::optional<std::string> NonEmpty(const Value& v, const std::string& key) {
    auto s = String(v, key);
    if (s && s->empty()) {
      Error(v, "'" + key + "' is empty");
      return std::nullopt;
    }
    return s;
  }

  std::optional<std::string> AbsolutePath(const Value& v, const std::string& key) {
    auto s = String(v, key);
    if (s && (s->empty() || s->front() != '/')) {
      Error(v, "'" + key + "' must be an absolute path, not \"" + *s + "\"");
      return std::nullopt;
    }
    return s;
  }

  std::optional<std::int64_t> Integer(const Value& v, const std::string& key, std::int64_t low,
                                      std::int64_t high) {
    if (!Is(v, toml::value_t::integer, key, "an integer")) return std::nullopt;
    const auto n = v.as_integer();
    if (n < low || n > high) {
      Error(v, "'" + key + "' must be between " + std::to_string(low) + " and " +
                   std::to_string(high) + ", not " + std::to_string(n));
      return std::nullopt;
    }
    return n;
  }

  // A number, integer or float, in [low, high].
  std::optional<double> Number(const Value& v, const std::string& key, double low, double high,
                               const char* range) {
    if (!v.is_integer() && !v.is_floating()) {
      Error(v, "'" + key + "' must be a number, not " + TypeName(v));
      return std::nullopt;
    }
    const double d = v.is_integer() ? static_cast<double>(v.as_integer()) : v.as_floating();
    if (!(d >= low && d <= high)) {  // NaN fails too
      Error(v, "'" + key + "' must be " + range);
      return std::nullopt;
    }
    return d;
  }

  std::optional<bool> Bool(const Value& v, const std::string& key) {
    if (!Is(v, toml::value_t::boolean, key, "true or false")) return std::nullopt;
    return v.as_boolean();
  }

  // An array of strings, each accepted by `ok`.
  std::vector<std::string> Strings(const Value& v, const std::string& key,
                                   const std::function<bool(std::string_view)>& ok,
                                   const char* rule) {
    std::vector<std::string> out;
    if (!Is(v, toml::value_t::array, key, "an array of strings")) return out;
    for (const auto& item : v.as_array()) {
      if (!item.is_string()) {
        Error(item, "'" + key + "' must hold strings, not " + TypeName(item));
      } else if (!ok(item.as_string().str)) {
        Error(item, "'" + key + "' entry \"" + item.as_string().str + "\" " + rule);
      } else {
        out.push_back(item.as_string().str);
      }
    }
    return out;
  }

  // The tables of an array of tables ([[name]]).
  std::vector<const Value*> Tables(const Value& v, const std::string& key) {
    std::vector<const Value*> out;
    if (v.is_array()) {
      for (const auto& item : v.as_array()) {
        if (item.is_table()) {
          out.push_back(&item);
        } else {
          std::string message = "'" + key + "' must hold tables ([[";
          message += key + "]]), not " + TypeName(item);
          Error(item, std::move(message));
        }
      }
    } else {
      Error(v, "'" + key + "' must be tables ([[" + key + "]]), not " + TypeName(v));
    }
    return out;
  }

 private:
  std::vector<ConfigError>& errors_;
};

struct Seen {
  int line;
  std::string name;
};

void ReadModem(Checker& c, const Value& t, Config& config, std::map<std::string, Seen>& names,
               std::map<std::string, Seen>& devices) {
  ModemConfig m;
  m.line = LineOf(t);
  const Value* name_value = nullptr;
  const Value* device_value = nullptr;
  c.Keys(t, "[[modem]]",
         {{"name",
           [&](const Value& v) {
             if (auto s = c.String(v, "modem.name")) {
               if (IsPlainName(*s)) {
                 m.name = *s;
                 name_value = &v;
               } else {
                 c.Error(v,
                         "'modem.name' \"" + *s + "\" must be 1 to 64 letters, digits, '-' or '_'");
               }
             }
           }},
          {"device",
           [&](const Value& v) {
             if (auto s = c.AbsolutePath(v, "modem.device")) {
               m.device = *s;
               device_value = &v;
             }
           }},
          {"pin",
           [&](const Value& v) {
             auto s = c.String(v, "modem.pin");
             if (s && (s->size() < 4 || s->size() > 8 ||
                       !std::all_of(s->begin(), s->end(),
                                    [](char ch) { return ch >= '0' && ch <= '9'; }))) {
               c.Error(v, "'modem.pin' must be 4 to 8 digits");
             } else if (s) {
               m.pin = *s;
             }
           }},
          {"prefixes",
           [&](const Value& v) {
             m.prefixes = c.Strings(
                 v, "modem.prefixes", [](std::string_view p) { return IsNumber(p); },
                 "must be digits, with an optional leading '+'");
           }},
          {"tags", [&](const Value& v) {
             m.tags = c.Strings(v, "modem.tags", IsPlainName,
                                "must be 1 to 64 letters, digits, '-' or '_'");
           }}});
  if (!t.contains("name")) c.Error(t, "[[modem]] has no 'name'");
  if (!t.contains("device")) c.Error(t, "[[modem]] has no 'device'");
  if (name_value != nullptr) {
    auto [it, fresh] = names.emplace(m.name, Seen{LineOf(*name_value), m.name});
    if (!fresh) {
      c.Error(*name_value, "modem name '" + m.name + "' is already used on line " +
                               std::to_string(it->second.line));
    }
  }
  if (device_value != nullptr) {
    auto [it, fresh] = devices.emplace(m.device, Seen{LineOf(*device_value), m.name});
    if (!fresh) {
      c.Error(*device_value, "device '" + m.device + "' is already used by modem '" +
                                 it->second.name + "' on line " + std::to_string(it->second.line));
    }
  }
  config.modems.push_back(std::move(m));
}

void ReadHttp(Checker& c, const Value& t, ListenConfig& http, const Value*& address,
              const Value*& certificate, const Value*& key) {
  c.Keys(t, "[http]",
         {{"address",
           [&](const Value& v) {
             auto s = c.String(v, "http.address");
             if (s && *s != "localhost" && !IsIpLiteral(*s)) {
               c.Error(v, "'http.address' \"" + *s + "\" is not an IP address or \"localhost\"");
             } else if (s) {
               http.address = *s;
               address = &v;
             }
           }},
          {"port",
           [&](const Value& v) {
             if (auto n = c.Integer(v, "http.port", 1, 65535)) http.port = static_cast<int>(*n);
           }},
          {"certificate",
           [&](const Value& v) {
             if (auto s = c.AbsolutePath(v, "http.certificate")) {
               http.certificate = *s;
               certificate = &v;
             }
           }},
          {"key",
           [&](const Value& v) {
             if (auto s = c.AbsolutePath(v, "http.key")) {
               http.key = *s;
               key = &v;
             }
           }},
          {"max_body", [&](const Value& v) {
             if (auto n = c.Integer(v, "http.max_body", 1024, 64 << 20)) {
               http.max_body = static_cast<std::size_t>(*n);
             }
           }}});
}

void ReadForwarding(Checker& c, const Value& t, const std::string& section, Forwarding& out) {
  c.Keys(t, "[" + section + "]",
         {{"command",
           [&](const Value& v) {
             if (auto s = c.NonEmpty(v, section + ".command")) out.command = *s;
           }},
          {"webhook", [&](const Value& v) {
             const std::string key = section + ".webhook";
             for (const Value* hook : c.Tables(v, key)) {
               WebhookConfig w;
               c.Keys(*hook, "[[" + key + "]]",
                      {{"url",
                        [&](const Value& u) {
                          auto s = c.String(u, key + ".url");
                          if (s && s->rfind("http://", 0) != 0 && s->rfind("https://", 0) != 0) {
                            c.Error(u, "'" + key + ".url' must start with http:// or https://");
                          } else if (s) {
                            w.url = *s;
                          }
                        }},
                       {"secret", [&](const Value& u) {
                          if (auto s = c.NonEmpty(u, key + ".secret")) w.secret = *s;
                        }}});
               if (!hook->contains("url")) c.Error(*hook, "[[" + key + "]] has no 'url'");
               if (!hook->contains("secret")) c.Error(*hook, "[[" + key + "]] has no 'secret'");
               out.webhooks.push_back(std::move(w));
             }
           }}});
}

void ReadRetry(Checker& c, const Value& t, RetryPolicy& retry) {
  using std::chrono::milliseconds;
  const Value* first = nullptr;
  const Value* max = nullptr;
  const auto seconds = [](double s) { return milliseconds(static_cast<std::int64_t>(s * 1000)); };
  c.Keys(t, "[retry]",
         {{"limit",
           [&](const Value& v) {
             if (auto n = c.Integer(v, "retry.limit", 1, 100)) retry.limit = static_cast<int>(*n);
           }},
          {"first_wait",
           [&](const Value& v) {
             if (auto d = c.Number(v, "retry.first_wait", 0.001, 86400,
                                   "seconds between 0.001 and 86400")) {
               retry.first_wait = seconds(*d);
               first = &v;
             }
           }},
          {"max_wait",
           [&](const Value& v) {
             if (auto d = c.Number(v, "retry.max_wait", 0.001, 86400,
                                   "seconds between 0.001 and 86400")) {
               retry.max_wait = seconds(*d);
               max = &v;
             }
           }},
          {"factor",
           [&](const Value& v) {
             if (auto d = c.Number(v, "retry.factor", 1, 10, "between 1 and 10")) retry.factor = *d;
           }},
          {"jitter",
           [&](const Value& v) {
             if (auto d = c.Number(v, "retry.jitter", 0, 1, "between 0 and 1")) retry.jitter = *d;
           }},
          {"resend_uncertain", [&](const Value& v) {
             if (auto b = c.Bool(v, "retry.resend_uncertain")) retry.resend_uncertain = *b;
           }}});
  if (retry.max_wait < retry.first_wait) {
    const Value* at = max != nullptr ? max : first;
    c.Error(*at, "'retry.max_wait' is shorter than 'retry.first_wait'");
  }
}

void Check(const Value& root, LoadedConfig& out) {
  Checker c(out.errors);
  Config& config = out.config;
  std::map<std::string, Seen> names;
  std::map<std::string, Seen> devices;
  const Value* address = nullptr;
  const Value* certificate = nullptr;
  const Value* key = nullptr;
  bool any_modem = false;
  c.Keys(root, "",
         {{"store",
           [&](const Value& v) {
             if (auto s = c.AbsolutePath(v, "store")) config.store = *s;
           }},
          {"tokens",
           [&](const Value& v) {
             if (auto s = c.AbsolutePath(v, "tokens")) config.tokens = *s;
           }},
          {"modem",
           [&](const Value& v) {
             for (const Value* t : c.Tables(v, "modem")) {
               any_modem = true;
               ReadModem(c, *t, config, names, devices);
             }
           }},
          {"http",
           [&](const Value& v) {
             if (c.Is(v, toml::value_t::table, "http", "a table ([http])")) {
               ReadHttp(c, v, config.http, address, certificate, key);
             }
           }},
          {"received",
           [&](const Value& v) {
             if (c.Is(v, toml::value_t::table, "received", "a table ([received])")) {
               ReadForwarding(c, v, "received", config.received);
             }
           }},
          {"reports",
           [&](const Value& v) {
             if (c.Is(v, toml::value_t::table, "reports", "a table ([reports])")) {
               ReadForwarding(c, v, "reports", config.reports);
             }
           }},
          {"retry", [&](const Value& v) {
             if (c.Is(v, toml::value_t::table, "retry", "a table ([retry])")) {
               ReadRetry(c, v, config.retry);
             }
           }}});
  // An empty list names no modem either; a "modem" of another type is reported already.
  if (!any_modem && !root.contains("modem")) {
    c.Error(0, "no modem: add a [[modem]] table with a name and a device");
  } else if (!any_modem && root.at("modem").is_array()) {
    c.Error(root.at("modem"), "no modem: add a [[modem]] table with a name and a device");
  }
  if (address != nullptr && !config.http.Loopback() && config.tokens.empty() &&
      !root.contains("tokens")) {
    c.Error(*address, "'http.address' " + config.http.address +
                          " is reachable from other hosts: set 'tokens' to a tokens file");
  }
  if (certificate != nullptr && key == nullptr && !root.at("http").contains("key")) {
    c.Error(*certificate, "'http.certificate' is set without 'http.key'");
  }
  if (key != nullptr && certificate == nullptr && !root.at("http").contains("certificate")) {
    c.Error(*key, "'http.key' is set without 'http.certificate'");
  }
}

// A TOML file is UTF-8 without control characters but tab and line ends. Checked before
// the parser sees the text, whose own checks do not cover every such byte.
std::optional<ConfigError> CheckBytes(std::string_view text) {
  int line = 1;
  for (std::size_t i = 0, len = 1; i < text.size(); i += len) {
    const auto c = static_cast<unsigned char>(text[i]);
    len = 1;
    if (c == '\n') {
      ++line;
    } else if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", c);
      return ConfigError{line, std::string("a control character (") + hex + ")"};
    } else if (c >= 0x80 && text::DecodeUtf8(text, i, len) == U'\uFFFD' &&
               text.substr(i, 3) != "\xEF\xBF\xBD") {
      return ConfigError{line, "bytes that are not UTF-8"};
    }
  }
  return std::nullopt;
}

// toml11 explains a syntax error over several lines; its first names the fault.
std::string SyntaxMessage(const std::string& what) {
  std::string first = what.substr(0, what.find('\n'));
  if (first.rfind("[error] ", 0) == 0) first.erase(0, 8);
  if (first.rfind("toml::", 0) == 0) {
    const auto colon = first.find(": ");
    if (colon != std::string::npos) first.erase(0, colon + 2);
  }
  return "syntax error: " + first;
}

}  // namespace

bool ListenConfig::Loopback() const {
  if (address == "localhost" || address == "::1") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return false;
}

LoadedConfig ParseConfig(std::string_view text, std::string_view file_name) {
  LoadedConfig out;
  out.file = std::string(file_name);
  if (auto bad = CheckBytes(text)) {
    out.errors.push_back(*bad);
    return out;
  }
  try {
    std::istringstream in{std::string(text)};
    const auto root = toml::parse<toml::discard_comments, std::map, std::vector>(in, out.file);
    Check(root, out);
  } catch (const toml::exception& e) {
    out.errors.push_back({static_cast<int>(e.location().line()), SyntaxMessage(e.what())});
  }
  std::stable_sort(out.errors.begin(), out.errors.end(),
                   [](const ConfigError& a, const ConfigError& b) { return a.line < b.line; });
  if (!out.ok()) out.config = Config{};
  return out;
}

LoadedConfig LoadConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LoadedConfig out;
    out.file = path;
    out.errors.push_back({0, std::string("cannot read: ") + std::strerror(errno)});
    return out;
  }
  std::ostringstream text;
  text << in.rdbuf();
  LoadedConfig out = ParseConfig(text.str(), path);
  const Config& c = out.config;
  const auto has_secret = [](const Forwarding& f) {
    return std::any_of(f.webhooks.begin(), f.webhooks.end(),
                       [](const WebhookConfig& w) { return !w.secret.empty(); });
  };
  const bool secrets = std::any_of(c.modems.begin(), c.modems.end(),
                                   [](const ModemConfig& m) { return !m.pin.empty(); }) ||
                       has_secret(c.received) || has_secret(c.reports);
  struct stat st {};
  // Group access is how a service account is usually let in; any user is too many.
  if (secrets && ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    out.warnings.push_back({0, std::string("any user may read the PIN and secrets in it (mode ") +
                                   mode + "): chmod o-r " + path});
  }
  return out;
}

std::string Describe(std::string_view file, const ConfigError& error) {
  std::string out(file);
  if (error.line > 0) out += ":" + std::to_string(error.line);
  return out + ": " + error.message;
}

}  // namespace selvarn::service
