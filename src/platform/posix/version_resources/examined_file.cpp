#include "platform/posix/version_resources/examined_file.h"

#include <algorithm>
#include <cerrno>

#include "platform/posix/file_times.h"
#include "platform/posix/version_resources/executable_image.h"
#include "platform/posix/version_resources/file_source.h"

namespace platform::posix {

namespace {

Examination Failed(const FileSource& file, Lookup lookup) {
    Examination examination;
    examination.wouldWait = lookup == Lookup::FromMemory && file.Error() == EAGAIN;
    examination.error = examination.wouldWait ? 0 : file.Error();
    return examination;
}

void ReadImageFacts(FileSource& file, Examination& examination) {
    examination.image = formats::ReadImageFacts(
        [&file](std::uint64_t offset, std::size_t count) { return file.View(offset, count); });
}

// The digest of the whole file, as far as the size it had when it was opened.
void DigestContent(FileSource& file, ContentDigest digest, Examination& examination) {
    std::uint64_t offset = 0;
    bool readFailed = false;
    const ReadContent read = [&](std::span<std::uint8_t> buffer) -> std::optional<std::size_t> {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.Size() - offset));
        if (!file.ReadInto(offset, buffer.data(), count)) {
            readFailed = true;
            return std::nullopt;
        }
        offset += count;
        return count;
    };
    examination.digest = digest(read);
    if (!examination.digest) {
        // A read that failed says why; a file that shrank while it was read has no whole content
        // to digest; else the digest itself could not be made.
        examination.digestError = file.Error() != 0 ? file.Error() : readFailed ? EIO : ENOMEM;
    }
}

}  // namespace

Examination LookAtFile(const char* path, Lookup lookup, const DirectoryIdentity* within,
                       HeldDirectory* directories) {
    FileSource file(lookup);
    Examination examination;
    if (!file.Open(path, within, directories)) {
        return Failed(file, lookup);
    }
    examination.opened = true;
    examination.modified = ToFileTime(file.Modified());
    examination.size = file.Size();
    examination.deleted = file.Deleted();
    const LookExtras& extras = LookExtrasOfRun();
    if (extras.headers) {
        ReadImageFacts(file, examination);
    }
    const auto location = FindVersionResource(file);
    if (file.Error() != 0) {
        return Failed(file, lookup);
    }
    const bool versioned = location && location->size >= kSmallestBlock;
    if (versioned) {
        examination.resource.assign(location->size, 0);
        if (!file.ReadInto(location->fileOffset, examination.resource.data(),
                           location->storedSize)) {
            return Failed(file, lookup);
        }
    }
    if (extras.DigestWanted(versioned)) {
        DigestContent(file, extras.digest, examination);
        if (lookup == Lookup::FromMemory && examination.digestError == EAGAIN) {
            return Failed(file, lookup);
        }
    }
    return examination;
}

}  // namespace platform::posix
