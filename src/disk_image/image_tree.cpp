#include "disk_image/image_tree.h"

#include <algorithm>
#include <cerrno>
#include <numeric>
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
constexpr TSK_INUM_T kNtfsUpperCaseTable = 10;
constexpr std::size_t kUpperCaseEntries = 65536;

std::u16string Utf16Of(std::string_view text) {
    std::u16string units;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char32_t point = length == 1 ? lead : lead & (0x3F >> (length - 1));
        bool sound = length <= text.size() - at && (length == 1 || lead >= 0xC0);
        for (std::size_t next = 1; sound && next < length; ++next) {
            const auto byte = static_cast<unsigned char>(text[at + next]);
            sound = (byte & 0xC0) == 0x80;
            point = (point << 6) | (byte & 0x3F);
        }
        at += sound ? length : 1;
        point = sound && point <= 0x10FFFF ? point : 0xFFFD;
        if (point >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(point));
        }
    }
    return units;
}

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
    : fs(fs), volume(volume), deleted(deleted) {
    if (TSK_FS_TYPE_ISNTFS(fs->ftype)) {
        ReadUpperCaseTable();
    }
}

ImageTree::~ImageTree() = default;

// Names in an NTFS index are in the order of their letters made upper case by the volume's own
// table, as Windows and ntfs-3g list them; the library gives them in the order its index blocks
// lie on the disk. Without a table that can be read, letters beyond ASCII keep their case.
void ImageTree::ReadUpperCaseTable() {
    upperCase.resize(kUpperCaseEntries);
    std::iota(upperCase.begin(), upperCase.end(), std::uint16_t{0});
    for (std::uint16_t letter = 'a'; letter <= 'z'; ++letter) {
        upperCase[letter] = static_cast<std::uint16_t>(letter - 'a' + 'A');
    }
    TSK_FS_FILE* table = tsk_fs_file_open_meta(fs, nullptr, kNtfsUpperCaseTable);
    std::vector<unsigned char> bytes(kUpperCaseEntries * 2);
    if (table != nullptr &&
        tsk_fs_file_read(table, 0, reinterpret_cast<char*>(bytes.data()), bytes.size(),
                         TSK_FS_FILE_READ_FLAG_NONE) == static_cast<ssize_t>(bytes.size())) {
        for (std::size_t unit = 0; unit < kUpperCaseEntries; ++unit) {
            upperCase[unit] =
                static_cast<std::uint16_t>(bytes[2 * unit] | bytes[2 * unit + 1] << 8);
        }
    }
    tsk_fs_file_close(table);
    tsk_error_reset();
}

void ImageTree::PutInOrder(std::vector<Entry>& entries) const {
    if (upperCase.empty()) {
        return;  // the directory's own order
    }
    std::vector<std::pair<std::u16string, std::u16string>> keys;
    keys.reserve(entries.size());
    for (const Entry& entry : entries) {
        std::u16string exact = Utf16Of(entry.name);
        std::u16string upper = exact;
        for (char16_t& unit : upper) {
            unit = static_cast<char16_t>(upperCase[unit]);
        }
        keys.emplace_back(std::move(upper), std::move(exact));
    }
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    std::vector<Entry> sorted;
    sorted.reserve(entries.size());
    for (const std::size_t index : order) {
        sorted.push_back(std::move(entries[index]));
    }
    entries = std::move(sorted);
}

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
    // One entry per name, so that a path names one file: a name in use is kept over a deleted
    // one, and of deleted ones the first.
    std::unordered_set<std::string_view> names;
    for (const Entry& entry : found) {
        if (!entry.deleted) {
            names.insert(entry.name);
        }
    }
    directory.address = address;
    for (Entry& entry : found) {
        if (!entry.deleted || names.insert(entry.name).second) {
            directory.entries.push_back(std::move(entry));
        }
    }
    PutInOrder(directory.entries);
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

bool ImageTree::Find(std::string_view path, TSK_INUM_T& address, bool& isDeleted) {
    address = fs->root_inum;
    isDeleted = false;
    if (path.empty() || path.front() != '/') {
        errno = ENOENT;
        return false;
    }
    std::size_t at = 1;
    while (at < path.size()) {
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
        at = end + 1;
    }
    return true;
}

bool ImageTree::NodeOf(TSK_INUM_T address, bool isDeleted, platform::TreeNode& node) {
    TSK_FS_FILE* file = tsk_fs_file_open_meta(fs, nullptr, address);
    if (file == nullptr || file->meta == nullptr) {
        tsk_fs_file_close(file);
        tsk_error_reset();
        errno = isDeleted ? ENOENT : EIO;
        return false;
    }
    const TSK_FS_META& meta = *file->meta;
    node.identity = {volume, static_cast<std::uint64_t>(address)};
    node.directory = TSK_FS_IS_DIR_META(meta.type);
    node.regular = meta.type == TSK_FS_META_TYPE_REG;
    node.deleted = isDeleted;
    node.size = meta.size > 0 ? static_cast<std::uint64_t>(meta.size) : 0;
    node.modified.tv_sec = meta.mtime;
    node.modified.tv_nsec = meta.mtime_nano < 1'000'000'000 ? meta.mtime_nano : 0;
    tsk_fs_file_close(file);
    return true;
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
    if (!Find(directory, address, isDeleted) || !NodeOf(address, isDeleted, node)) {
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
        entries.push_back({entry.name, entry.kind});
    }
    return true;
}

std::unique_ptr<platform::TreeFile> ImageTree::Open(std::string_view path,
                                                    platform::TreeNode& node) {
    const std::lock_guard<std::mutex> hold(lock);
    TSK_INUM_T address = 0;
    bool isDeleted = false;
    if (!Find(path, address, isDeleted) || !NodeOf(address, isDeleted, node)) {
        return nullptr;
    }
    if (!node.regular) {
        errno = 0;
        return nullptr;
    }
    TSK_FS_FILE* file = tsk_fs_file_open_meta(fs, nullptr, address);
    if (file == nullptr) {
        tsk_error_reset();
        errno = isDeleted ? ENOENT : EIO;
        return nullptr;
    }
    return std::make_unique<ImageFile>(*this, file, node.size, isDeleted);
}

}  // namespace disk_image
