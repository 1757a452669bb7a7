// A file system that the walk reads through a library rather than through the host's mounts (a
// file system inside a disk image): while one is in use, the POSIX layer's calls list, look at and
// read it in place of the host's, its paths running from its root ("/", "/Windows/",
// "/Windows/notepad.exe"). The walk, the read-ahead and the readers above stay as they are.
// POSIX builds only.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

struct TreeEntry {
    std::string name;
    // A link of any kind is a DirectoryLink: the walk never follows one out of a tree it reads
    // whole.
    EntryKind kind = EntryKind::File;
};

struct TreeNode {
    DirectoryIdentity identity;
    bool directory = false;
    bool regular = false;  // a file whose content can be read
    bool deleted = false;  // an entry the file system marks deleted, still held
    std::uint64_t size = 0;
    std::timespec modified{};  // from 1970, UTC
};

// One regular file's content.
class TreeFile {
  public:
    virtual ~TreeFile() = default;
    // Reads up to count bytes at offset into out: how many were read, 0 past the end, -1 with
    // errno set when the content could not be read.
    virtual ssize_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t count) = 0;
};

// Every call may come from several threads at once, and fails with errno set: ENOENT where
// nothing is, EIO where the file system is damaged.
class FileTree {
  public:
    virtual ~FileTree() = default;
    // What path names.
    virtual bool Examine(std::string_view path, TreeNode& node) = 0;
    // The directory at path (ending in the separator): its node, and its entries in the order
    // the file system holds them, "." and ".." left out.
    virtual bool List(std::string_view directory, TreeNode& node,
                      std::vector<TreeEntry>& entries) = 0;
    // The regular file at path, open for reading; null for anything else (errno 0 then).
    virtual std::unique_ptr<TreeFile> Open(std::string_view path, TreeNode& node) = 0;
};

// From now on the walk reads tree rather than the host's file systems; null: the host's again.
// Set between walks only.
void ReadFileTree(FileTree* tree);
FileTree* FileTreeInUse();

}  // namespace platform
