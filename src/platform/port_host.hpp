// The per-thread host of the serial-port control. It is created on first use and
// unloaded when any SMS object of the thread is released; unloading closes the port.
#pragma once

#include "platform/serial_port.hpp"

namespace selvarn::platform {

struct PortHost {
  SerialPort port;
};

// The thread's host, created (with its port closed) when absent.
PortHost& ThreadPort();
// Destroys the thread's host, if any.
void UnloadHost();
bool HostLoaded();

}  // namespace selvarn::platform
