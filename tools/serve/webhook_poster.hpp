// Posts the service's webhooks with cpp-httplib's client.
#pragma once

#include <chrono>

#include "selvarn/service.hpp"

namespace selvarn::serve {

// A Poster over HTTP and HTTPS (the server's certificate checked against the system's
// authorities). Each post gives up after `timeout` to connect, to send or to answer; a
// redirect is answered as its status, not followed.
service::Poster WebhookPoster(std::chrono::milliseconds timeout);

}  // namespace selvarn::serve
