#include "platform/posix/version_resources/examined_file.h"

#include <mutex>
#include <string>

#include "platform/posix/file_times.h"
#include "platform/posix/version_resources/executable_image.h"
#include "platform/posix/version_resources/file_source.h"

namespace platform::posix {

namespace {

struct Kept {
    std::string path;
    std::vector<std::uint8_t> resource;
    std::optional<FILETIME> modified;
};

std::mutex keptLock;
Kept kept;

}  // namespace

Examination LookAtFile(const char* path) {
    FileSource file;
    Examination examination;
    if (!file.Open(path)) {
        return examination;
    }
    examination.opened = true;
    examination.identity = file.Identity();
    examination.modified = ToFileTime(
        timespec{examination.identity.modifiedSeconds, examination.identity.modifiedNanoseconds});
    const auto location = FindVersionResource(file);
    if (!location || location->size < kSmallestBlock) {
        return examination;
    }
    examination.resource.assign(location->size, 0);
    if (!file.ReadInto(location->fileOffset, examination.resource.data(), location->storedSize)) {
        examination.resource.clear();
    }
    return examination;
}

void KeepExamination(const char* path, Examination examination) {
    const std::lock_guard<std::mutex> hold(keptLock);
    kept.path = path;
    kept.resource = std::move(examination.resource);
    kept.modified.reset();
    if (examination.opened) {
        kept.modified = examination.modified;
    }
}

std::vector<std::uint8_t> TakeKeptResource(const char* path) {
    const std::lock_guard<std::mutex> hold(keptLock);
    std::vector<std::uint8_t> resource;
    if (kept.path == path) {
        resource.swap(kept.resource);
    }
    return resource;
}

std::optional<FILETIME> TakeKeptTime(const char* path) {
    const std::lock_guard<std::mutex> hold(keptLock);
    if (kept.path != path || !kept.modified) {
        return std::nullopt;
    }
    const FILETIME modified = *kept.modified;
    kept = Kept{};
    return modified;
}

}  // namespace platform::posix
