// The receive binding is public: its header lives with the library's API.
#pragma once

#include "selvarn/receive_binding.hpp"  // IWYU pragma: export
