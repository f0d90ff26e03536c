// The message store is public: its header lives with the library's API.
#pragma once

#include "selvarn/store.hpp"  // IWYU pragma: export
