// Each polling cycle gives the thread's event loop a turn, as a GUI program expects.
#pragma once

namespace selvarn::platform {

// Runs the calling thread's pump hook (set with selvarn::SetMessagePump), if any.
void PumpMessages();

}  // namespace selvarn::platform
