// One file system inside a disk image, read through The Sleuth Kit and shown to the walk as a file
// tree (platform/file_tree.h): never mounted, never written.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The platform's names first: the library defines TRUE and FALSE as macros.
#include "platform/file_tree.h"

#include <tsk/libtsk.h>

namespace disk_image {

class ImageTree final : public platform::FileTree {
  public:
    // Reads fs (kept open by the caller while the tree lives); volume tells its directories from
    // every other file system's. With deleted, the entries the file system marks deleted but
    // still holds are listed too.
    ImageTree(TSK_FS_INFO* fs, std::uint64_t volume, bool deleted);
    ~ImageTree() override;

    bool Examine(std::string_view path, platform::TreeNode& node) override;
    bool List(std::string_view directory, platform::TreeNode& node,
              std::vector<platform::TreeEntry>& entries) override;
    std::unique_ptr<platform::TreeFile> Open(std::string_view path,
                                             platform::TreeNode& node) override;

    // The paths of the folders listed so far that lead back to the folder holding them or one
    // above it (damage: a loop).
    std::vector<std::string> Loops();

    // One entry of a directory as this tree lists it.
    struct Entry {
        std::string name;
        TSK_INUM_T address = 0;
        platform::EntryKind kind = platform::EntryKind::File;
        bool deleted = false;
    };

  private:
    struct Directory {
        TSK_INUM_T address = 0;
        // In the order the file system holds them, as ntfs-3g and the kernel's drivers list them:
        // for NTFS the index's root, then its blocks as they lie.
        std::vector<Entry> entries;
        std::unordered_map<std::string_view, std::size_t> byName;
    };
    using Held = std::list<std::pair<std::string, Directory>>;

    // The metadata address of what path names; false with errno. Holding the lock.
    // With chain, also the addresses of the root and of each folder on the way, and of what path
    // names.
    bool Find(std::string_view path, TSK_INUM_T& address, bool& deleted,
              std::vector<TSK_INUM_T>* chain = nullptr);
    // The directory at address, listed now or kept from before; null with errno.
    const Directory* Listed(std::string_view path, TSK_INUM_T address);
    bool ReadDirectory(TSK_INUM_T address, Directory& directory);
    bool Keep(const TSK_FS_NAME& name, const TSK_FS_DIR& listing, std::size_t index,
              Entry& entry) const;
    // The metadata at address opened, with node filled from it; null with errno.
    TSK_FS_FILE* OpenNode(TSK_INUM_T address, bool deleted, platform::TreeNode& node);
    bool NodeOf(TSK_INUM_T address, bool deleted, platform::TreeNode& node);

    TSK_FS_INFO* const fs;
    const std::uint64_t volume;
    const bool deleted;
    // Held for every call into the library, which is not made to be called by several threads
    // on one file system at once.
    std::mutex lock;
    // The directories listed last, the most recent first, kept so that the looks at a
    // directory's files (and its subdirectories' listings) need not list it again; bounded.
    Held held;
    std::unordered_map<std::string, Held::iterator> heldByPath;
    std::size_t heldEntries = 0;
    std::set<std::string> loops;
    friend class ImageFile;
};

}  // namespace disk_image
