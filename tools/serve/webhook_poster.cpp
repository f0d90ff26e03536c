#include "webhook_poster.hpp"

#include <httplib.h>

#include <optional>

namespace selvarn::serve {

service::Poster WebhookPoster(std::chrono::milliseconds timeout) {
  return [timeout](const std::string& url, const std::string& body,
                   const std::vector<std::pair<std::string, std::string>>& headers,
                   std::string& error) -> int {
    // "https://host:port/path?query": the client takes the origin, the request the rest.
    const auto scheme_end = url.find("://");
    if (scheme_end == std::string::npos) {
      error = "not a URL: " + url;
      return -1;
    }
    const auto path_start = url.find_first_of("/?#", scheme_end + 3);
    const std::string origin = url.substr(0, path_start);
    std::string path = path_start == std::string::npos ? "/" : url.substr(path_start);
    if (path.front() != '/') path = "/" + path;
    if (const auto hash = path.find('#'); hash != std::string::npos) path.erase(hash);
    // The client throws for a scheme it does not know, and says !is_valid() for TLS it
    // was built without.
    std::optional<httplib::Client> made;
    try {
      made.emplace(origin);
    } catch (const std::exception&) {
    }
    if (!made || !made->is_valid()) {
      error = "cannot post to " + origin + ": not an http:// or https:// address";
      return -1;
    }
    httplib::Client& client = *made;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const auto micro = std::chrono::duration_cast<std::chrono::microseconds>(timeout - seconds);
    client.set_connection_timeout(seconds.count(), micro.count());
    client.set_read_timeout(seconds.count(), micro.count());
    client.set_write_timeout(seconds.count(), micro.count());
    client.set_follow_location(false);
    client.set_keep_alive(false);
    httplib::Headers sent{{"User-Agent", std::string("selvarn-sms/") + LibraryVersion()}};
    for (const auto& [name, value] : headers) sent.emplace(name, value);
    const auto res = client.Post(path, sent, body, "application/json");
    if (!res) {
      error = httplib::to_string(res.error());
      return -1;
    }
    return res->status;
  };
}

}  // namespace selvarn::serve
