#include "disk_image/image_tree.h"

#include <algorithm>
#include <cerrno>
#include <unordered_set>

namespace disk_image {

namespace {

using platform::EntryKind;

// The directories kept listed, and their entries at most: a walk lists a directory, looks at its
// files and lists its subdirectories soon after, so the few latest serve nearly every call, while
// the bound keeps a volume of millions of files from being held whole.
constexpr std::size_t kMostDirectoriesHeld = 1024;
constexpr std::size_t kMostEntriesHeld = 200'000;

// NTFS keeps its own files (the MFT, the log, the bitmap, ...) at the first sixteen addresses;
// neither Windows nor ntfs-3g lists them.
constexpr TSK_INUM_T kFirstNtfsUserFile = 16;

EntryKind KindOfMeta(TSK_FS_META_TYPE_ENUM type, bool& known) {
    known = type == TSK_FS_META_TYPE_REG || type == TSK_FS_META_TYPE_DIR;
    return type == TSK_FS_META_TYPE_DIR ? EntryKind::Directory : EntryKind::File;
}

}  // namespace

// A regular file's content, read through the tree's lock.
class ImageFile final : public platform::TreeFile {
  public:
    ImageFile(ImageTree& tree, TSK_FS_FILE* file, std::uint64_t size, bool deleted)
        : tree(tree), file(file), size(size), deleted(deleted) {}
    ~ImageFile() override {
        const std::lock_guard<std::mutex> hold(tree.lock);
        tsk_fs_file_close(file);
    }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    ssize_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t count) override {
        if (offset >= size || count == 0) {
            return 0;
        }
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
        const std::lock_guard<std::mutex> hold(tree.lock);
        const ssize_t got =
            tsk_fs_file_read(file, static_cast<TSK_OFF_T>(offset), reinterpret_cast<char*>(out),
                             wanted, TSK_FS_FILE_READ_FLAG_NONE);
        if (got <= 0) {
            tsk_error_reset();
            // A deleted file's content may have gone with the space it was in: it is not there,
            // where a file in use whose content cannot be read is damage.
            errno = deleted ? ENOENT : EIO;
            return -1;
        }
        return got;
    }

  private:
    ImageTree& tree;
    TSK_FS_FILE* const file;
    const std::uint64_t size;
    const bool deleted;
};

ImageTree::ImageTree(TSK_FS_INFO* fs, std::uint64_t volume, bool deleted)
    : fs(fs), volume(volume), deleted(deleted) {}

ImageTree::~ImageTree() = default;

bool ImageTree::Keep(const TSK_FS_NAME& name, const TSK_FS_DIR& listing, std::size_t index,
                     Entry& entry) const {
    if (name.name == nullptr) {
        return false;
    }
    const std::string_view text(name.name);
    if (text.empty() || text == "." || text == ".." || text.find('/') != std::string_view::npos ||
        name.type == TSK_FS_NAME_TYPE_VIRT || name.type == TSK_FS_NAME_TYPE_VIRT_DIR ||
        name.meta_addr == TSK_FS_ORPHANDIR_INUM(fs) ||
        (TSK_FS_TYPE_ISNTFS(fs->ftype) && name.meta_addr < kFirstNtfsUserFile)) {
        return false;
    }
    const bool unallocated = (name.flags & TSK_FS_NAME_FLAG_UNALLOC) != 0;
    if (unallocated && !deleted) {
        return false;
    }
    entry.name = text;
    entry.address = name.meta_addr;
    entry.deleted = unallocated;
    switch (name.type) {
        case TSK_FS_NAME_TYPE_REG:
            entry.kind = EntryKind::File;
            break;
        case TSK_FS_NAME_TYPE_DIR:
            entry.kind = EntryKind::Directory;
            break;
        case TSK_FS_NAME_TYPE_LNK:
            entry.kind = EntryKind::DirectoryLink;  // never followed
            return !unallocated;
        case TSK_FS_NAME_TYPE_UNDEF:
            break;  // told by its metadata, below
        default:
            return false;  // devices, FIFOs, sockets
    }
    if (!unallocated && name.type != TSK_FS_NAME_TYPE_UNDEF) {
        return true;
    }
    // A deleted name whose metadata is in use again belongs to another file now.
    TSK_FS_FILE* file = tsk_fs_dir_get(&listing, index);
    bool known = false;
    if (file != nullptr && file->meta != nullptr &&
        (!unallocated || (file->meta->flags & TSK_FS_META_FLAG_ALLOC) == 0)) {
        entry.kind = KindOfMeta(file->meta->type, known);
    }
    tsk_fs_file_close(file);
    tsk_error_reset();
    return known;
}

bool ImageTree::ReadDirectory(TSK_INUM_T address, Directory& directory) {
    TSK_FS_DIR* listing = tsk_fs_dir_open_meta(fs, address);
    if (listing == nullptr) {
        tsk_error_reset();
        errno = EIO;
        return false;
    }
    std::vector<Entry> found;
    const std::size_t count = tsk_fs_dir_getsize(listing);
    for (std::size_t index = 0; index < count; ++index) {
        const TSK_FS_NAME* name = tsk_fs_dir_get_name(listing, index);
        Entry entry;
        if (name != nullptr && Keep(*name, *listing, index, entry)) {
            found.push_back(std::move(entry));
        }
    }
    tsk_fs_dir_close(listing);
    // One entry per name, so that a path names one file (a damaged folder can hold a name twice):
    // the first in use is kept, and a deleted one only where no entry in use holds its name.
    std::unordered_set<std::string_view> inUse;
    for (const Entry& entry : found) {
        if (!entry.deleted) {
            inUse.insert(entry.name);
        }
    }
    std::unordered_set<std::string_view> kept;
    directory.address = address;
    for (const Entry& entry : found) {
        if ((!entry.deleted || !inUse.contains(entry.name)) && kept.insert(entry.name).second) {
            directory.entries.push_back(entry);  // a copy: the sets view the names in found
        }
    }
    return true;
}

const ImageTree::Directory* ImageTree::Listed(std::string_view path, TSK_INUM_T address) {
    const std::string key(path);
    if (const auto kept = heldByPath.find(key);
        kept != heldByPath.end() && kept->second->second.address == address) {
        held.splice(held.begin(), held, kept->second);
        return &held.front().second;
    }
    Directory read;
    if (!ReadDirectory(address, read)) {
        return nullptr;
    }
    if (const auto stale = heldByPath.find(key); stale != heldByPath.end()) {
        heldEntries -= stale->second->second.entries.size();
        held.erase(stale->second);
        heldByPath.erase(stale);
    }
    held.emplace_front(key, std::move(read));
    Directory& directory = held.front().second;
    // Views of the names where they now stay.
    for (std::size_t index = 0; index < directory.entries.size(); ++index) {
        directory.byName.emplace(directory.entries[index].name, index);
    }
    heldByPath[key] = held.begin();
    heldEntries += directory.entries.size();
    while (held.size() > 1 &&
           (held.size() > kMostDirectoriesHeld || heldEntries > kMostEntriesHeld)) {
        heldEntries -= held.back().second.entries.size();
        heldByPath.erase(held.back().first);
        held.pop_back();
    }
    return &directory;
}

bool ImageTree::Find(std::string_view path, TSK_INUM_T& address, bool& isDeleted,
                     std::vector<TSK_INUM_T>* chain) {
    address = fs->root_inum;
    isDeleted = false;
    if (chain != nullptr) {
        chain->assign(1, address);
    }
    if (path.empty() || path.front() != '/') {
        errno = ENOENT;
        return false;
    }
    EntryKind kind = EntryKind::Directory;  // the root's
    std::size_t at = 1;
    while (at < path.size()) {
        if (kind != EntryKind::Directory) {
            errno = ENOTDIR;  // a file or a link on the way: no folder is listed through it
            return false;
        }
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view name = path.substr(at, end - at);
        const Directory* directory = Listed(path.substr(0, at), address);
        if (directory == nullptr) {
            return false;
        }
        const auto entry = directory->byName.find(name);
        if (entry == directory->byName.end()) {
            errno = ENOENT;
            return false;
        }
        address = directory->entries[entry->second].address;
        isDeleted = directory->entries[entry->second].deleted;
        kind = directory->entries[entry->second].kind;
        if (chain != nullptr) {
            chain->push_back(address);
        }
        at = end + 1;
    }
    return true;
}

TSK_FS_FILE* ImageTree::OpenNode(TSK_INUM_T address, bool isDeleted, platform::TreeNode& node) {
    TSK_FS_FILE* file = tsk_fs_file_open_meta(fs, nullptr, address);
    if (file == nullptr || file->meta == nullptr) {
        tsk_fs_file_close(file);
        tsk_error_reset();
        errno = isDeleted ? ENOENT : EIO;
        return nullptr;
    }
    const TSK_FS_META& meta = *file->meta;
    node.identity = {volume, static_cast<std::uint64_t>(address)};
    node.directory = TSK_FS_IS_DIR_META(meta.type);
    node.regular = meta.type == TSK_FS_META_TYPE_REG;
    node.deleted = isDeleted;
    node.size = meta.size > 0 ? static_cast<std::uint64_t>(meta.size) : 0;
    node.modified.tv_sec = meta.mtime;
    node.modified.tv_nsec = meta.mtime_nano < 1'000'000'000 ? meta.mtime_nano : 0;
    return file;
}

bool ImageTree::NodeOf(TSK_INUM_T address, bool isDeleted, platform::TreeNode& node) {
    TSK_FS_FILE* file = OpenNode(address, isDeleted, node);
    tsk_fs_file_close(file);
    return file != nullptr;
}

bool ImageTree::Examine(std::string_view path, platform::TreeNode& node) {
    const std::lock_guard<std::mutex> hold(lock);
    TSK_INUM_T address = 0;
    bool isDeleted = false;
    return Find(path, address, isDeleted) && NodeOf(address, isDeleted, node);
}

bool ImageTree::List(std::string_view directory, platform::TreeNode& node,
                     std::vector<platform::TreeEntry>& entries) {
    const std::lock_guard<std::mutex> hold(lock);
    TSK_INUM_T address = 0;
    bool isDeleted = false;
    std::vector<TSK_INUM_T> chain;
    if (!Find(directory, address, isDeleted, &chain) || !NodeOf(address, isDeleted, node)) {
        return false;
    }
    if (!node.directory) {
        errno = ENOTDIR;
        return false;
    }
    std::string key(directory);
    if (key.back() != '/') {
        key.push_back('/');  // as Find names it
    }
    const Directory* listed = Listed(key, address);
    if (listed == nullptr) {
        return false;
    }
    entries.clear();
    entries.reserve(listed->entries.size());
    for (const Entry& entry : listed->entries) {
        // A folder that leads back to the folder listed or one above it is damage: named (the
        // walk, which enters each folder once, does not walk it again).
        if (entry.kind == EntryKind::Directory &&
            std::find(chain.begin(), chain.end(), entry.address) != chain.end()) {
            loops.insert(key + entry.name);
        }
        entries.push_back({entry.name, entry.kind});
    }
    return true;
}

std::vector<std::string> ImageTree::Loops() {
    const std::lock_guard<std::mutex> hold(lock);
    return {loops.begin(), loops.end()};
}

std::unique_ptr<platform::TreeFile> ImageTree::Open(std::string_view path,
                                                    platform::TreeNode& node) {
    const std::lock_guard<std::mutex> hold(lock);
    TSK_INUM_T address = 0;
    bool isDeleted = false;
    if (!Find(path, address, isDeleted)) {
        return nullptr;
    }
    // The one open of the file's metadata serves its node and its reads.
    TSK_FS_FILE* file = OpenNode(address, isDeleted, node);
    if (file == nullptr) {
        return nullptr;
    }
    if (!node.regular) {
        tsk_fs_file_close(file);
        errno = 0;
        return nullptr;
    }
    return std::make_unique<ImageFile>(*this, file, node.size, isDeleted);
}

}  // namespace disk_image
