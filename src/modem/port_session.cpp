#include "modem/port_session.hpp"

#include "platform/thread_state.hpp"

namespace selvarn::modem {

PortSession& CurrentSession() { return platform::PerThread<PortSession>(); }

}  // namespace selvarn::modem
