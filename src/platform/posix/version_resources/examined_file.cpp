#include "platform/posix/version_resources/examined_file.h"

#include <algorithm>
#include <cerrno>

#include "platform/formats/authenticode.h"
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
    std::vector<std::uint8_t> storage;  // for the views larger than the file's window
    examination.image =
        formats::ReadImageFacts([&file, &storage](std::uint64_t offset, std::size_t count) {
            return count <= FileSource::kWindowSize ? file.View(offset, count)
                                                    : file.Read(offset, count, storage);
        });
}

// The whole file's content, as far as the size it had when it was opened, a piece at a time;
// readFailed tells a read that failed from a digest that could not be made.
ReadContent ContentOf(FileSource& file, bool& readFailed) {
    return [&file, &readFailed, offset = std::uint64_t{0}](
               std::span<std::uint8_t> buffer) mutable -> std::optional<std::size_t> {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.Size() - offset));
        if (!file.ReadInto(offset, buffer.data(), count)) {
            readFailed = true;
            return std::nullopt;
        }
        offset += count;
        return count;
    };
}

// Why what the content was read for is missing: a read that failed says why; a file that shrank
// while it was read has no whole content; else the digest itself could not be made.
int ContentError(const FileSource& file, bool readFailed) {
    return file.Error() != 0 ? file.Error() : readFailed ? EIO : ENOMEM;
}

void DigestContent(FileSource& file, ContentDigest digest, Examination& examination) {
    bool readFailed = false;
    examination.digest = digest(ContentOf(file, readFailed));
    if (!examination.digest) {
        examination.digestError = ContentError(file, readFailed);
    }
}

bool HasCertificateTable(const formats::ImageFacts& image) {
    return image.signature && image.signature->tableSize != 0;
}

// The signature checked, and the digest (where wanted) made, in one read of the content.
void CheckSignature(FileSource& file, const LookExtras& extras, bool versioned,
                    Examination& examination) {
    SignedContent content{*examination.image.signature, file.Size(), {}, {}};
    const formats::SignatureLocation& location = content.location;
    if (location.tableSize <= formats::kLargestCertificateTable &&
        location.tableOffset <= file.Size() &&
        location.tableSize <= file.Size() - location.tableOffset) {
        content.table.resize(location.tableSize);
        if (!file.ReadInto(location.tableOffset, content.table.data(), content.table.size())) {
            examination.digestError = ContentError(file, true);
            return;
        }
    }
    bool readFailed = false;
    std::optional<std::string> digest;
    examination.signature = extras.check(content, ContentOf(file, readFailed),
                                         extras.DigestWanted(versioned) ? &digest : nullptr);
    examination.digest = std::move(digest);
    if (!examination.signature) {
        examination.digestError = ContentError(file, readFailed);
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
    if (extras.CheckWanted(versioned) && HasCertificateTable(examination.image)) {
        CheckSignature(file, extras, versioned, examination);
    } else if (extras.DigestWanted(versioned)) {
        DigestContent(file, extras.digest, examination);
    }
    if (extras.CheckWanted(versioned) || extras.DigestWanted(versioned)) {
        if (lookup == Lookup::FromMemory && examination.digestError == EAGAIN) {
            return Failed(file, lookup);
        }
    }
    return examination;
}

}  // namespace platform::posix
