// Names the running process so that another one can later tell whether it still runs:
// the host, the boot, the process id and the time it started (an id alone is reused).
#pragma once

#include <string>

namespace selvarn::platform {

// "host boot-id pid start-ticks"; empty when /proc cannot tell.
std::string ProcessTag();

enum class Running { Yes, No, Unknown };

// Whether the process a tag names still runs: Unknown for an empty tag and for one made
// on another host, No when its boot has ended or its id now names another process.
Running ProcessRunning(const std::string& tag);

}  // namespace selvarn::platform
