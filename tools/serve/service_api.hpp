// The HTTP API over the running service: each route's answer from the service, rendered by
// the library's JSON functions.
#pragma once

#include <functional>

#include "http_listener.hpp"
#include "selvarn/service.hpp"

namespace selvarn::serve {

// The handlers of every route over `service`, which must outlive the listener. While
// `stopping` says so, /healthz answers 503 and no message is taken.
ApiHandlers ServiceApi(service::Service& service, std::function<bool()> stopping);

}  // namespace selvarn::serve
