// Reading a directory's entries, for the find calls and the read-ahead alike.
#pragma once

#include <string>

namespace platform::posix {

// Every entry of directory (ending in a separator, or empty for the current directory), in the
// order the file system gives them: each its kind as readdir reports it, its name and a NUL.
// False when the directory cannot be listed.
bool ReadDirectoryEntries(const std::string& directory, std::string& entries);

}  // namespace platform::posix
