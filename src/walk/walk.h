// The depth-first walk of a directory tree.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// The directories being walked from the top down to the one in hand. A link that leads back to one
// of them would make the walk endless, so such a directory is not entered again.
struct WalkBranch {
    std::vector<platform::DirectoryIdentity> directories;
};

// Walks the directory that pattern names (a directory followed by the separator and "*.*") and
// everything beneath it, handing every file entry to ExamineFile. Directories whose names begin
// with a dot are not entered. Directories that cannot be listed are passed over silently.
void ScanDirectory(std::string& pattern);
void ScanDirectory(std::string& pattern, WalkBranch& branch);

// Handles the entries of one open listing, the one already in record first; prefix is the
// listed directory followed by the separator.
void ScanEntries(HANDLE handle, WIN32_FIND_DATAA& record, const std::string& prefix,
                 WalkBranch& branch);

// The per-file step, called once for every file entry with the entry's path and find record.
// ExamineFile may change path.
void ExamineFile(std::string& path, const WIN32_FIND_DATAA& record);
