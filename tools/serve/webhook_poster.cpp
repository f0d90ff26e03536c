#include "webhook_poster.hpp"

#include <httplib.h>

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
    httplib::Client client(origin);
    if (!client.is_valid()) {
      error = "cannot post to " + origin + ": not an http:// or https:// address";
      return -1;
    }
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
