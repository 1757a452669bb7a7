#include "walk/walk.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kWildcardLength = 3;  // "*.*"

bool IsDirectory(const WIN32_FIND_DATAA& record) {
    return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsOnBranch(const WalkBranch& branch, const platform::DirectoryIdentity& identity) {
    return std::find(branch.directories.begin(), branch.directories.end(), identity) !=
           branch.directories.end();
}

}  // namespace

void ScanDirectory(std::string& pattern) {
    WalkBranch branch;
    ScanDirectory(pattern, branch);
}

void ScanDirectory(std::string& pattern, WalkBranch& branch) {
    if (pattern.size() < kWildcardLength) {
        return;
    }
    const std::string prefix = pattern.substr(0, pattern.size() - kWildcardLength);
    platform::DirectoryIdentity identity;
    const bool identified = platform::GetDirectoryIdentity(prefix.c_str(), identity);
    if (identified && IsOnBranch(branch, identity)) {
        return;
    }
    WIN32_FIND_DATAA record;
    HANDLE handle = FindFirstFileA(pattern.c_str(), &record);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    pattern.resize(prefix.size());
    if (identified) {
        branch.directories.push_back(identity);
    }
    ScanEntries(handle, record, prefix, branch);
    if (identified) {
        branch.directories.pop_back();
    }
    FindClose(handle);
}

void ScanEntries(HANDLE handle, WIN32_FIND_DATAA& record, const std::string& prefix,
                 WalkBranch& branch) {
    std::string entryPath;
    do {
        if (IsDirectory(record)) {
            if (record.cFileName[0] == '.') {
                continue;
            }
            entryPath.assign(prefix).append(record.cFileName).append(platform::kSearchSuffix);
            ScanDirectory(entryPath, branch);
        } else {
            entryPath.assign(prefix).append(record.cFileName);
            ExamineFile(entryPath, record);
        }
    } while (FindNextFileA(handle, &record));
}
