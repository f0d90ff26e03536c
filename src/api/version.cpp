// The library's version: CMakeLists.txt's project version, handed in at compile time.
#include "selvarn/selvarn_sms.h"
#include "selvarn/sms.hpp"

#define SELVARN_STR2(x) #x
#define SELVARN_STR(x) SELVARN_STR2(x)

namespace selvarn {

const char* LibraryVersion() noexcept {
  return SELVARN_STR(SELVARN_VERSION_MAJOR) "." SELVARN_STR(SELVARN_VERSION_MINOR) "." SELVARN_STR(
      SELVARN_VERSION_PATCH);
}

}  // namespace selvarn

extern "C" const char* selvarn_LibraryVersion(void) { return selvarn::LibraryVersion(); }
