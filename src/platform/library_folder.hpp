// The folder that holds the library file, where Unicode.txt is read from.
#pragma once

#include <string>

namespace selvarn::platform {

// The folder of the loaded library (or of the program it is linked into), without a
// trailing separator. A folder set with SetLibraryFolderOverride wins.
std::string LibraryFolder();

// For tests: use this folder instead (empty text restores the real one). Per thread.
void SetLibraryFolderOverride(std::string folder);

}  // namespace selvarn::platform
