#include "platform/posix/version_resources/examined_file.h"

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
    const auto location = FindVersionResource(file);
    if (file.Error() != 0) {
        return Failed(file, lookup);
    }
    if (!location || location->size < kSmallestBlock) {
        return examination;
    }
    examination.resource.assign(location->size, 0);
    if (!file.ReadInto(location->fileOffset, examination.resource.data(), location->storedSize)) {
        return Failed(file, lookup);
    }
    return examination;
}

}  // namespace platform::posix
