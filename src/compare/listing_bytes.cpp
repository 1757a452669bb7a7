#include "compare/listing_bytes.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace compare {

namespace {

bool ReadWhole(const std::string& path, std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        errno = EIO;
    }
    return !failed;
}

}  // namespace

std::unique_ptr<ListingBytes> ListingBytes::Open(const std::string& path) {
    std::unique_ptr<ListingBytes> bytes(new ListingBytes);
#if !defined(_WIN32)
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        void* mapping = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ,
                             MAP_PRIVATE | MAP_POPULATE, descriptor, 0);
        if (mapping != MAP_FAILED) {
            close(descriptor);
            bytes->mapped = mapping;
            bytes->mappedSize = static_cast<std::size_t>(status.st_size);
            bytes->text = std::string_view(static_cast<const char*>(mapping), bytes->mappedSize);
            return bytes;
        }
    }
    close(descriptor);  // empty, or not a file that maps (a pipe): read instead
#endif
    if (!ReadWhole(path, bytes->read)) {
        return nullptr;
    }
    bytes->text = bytes->read;
    return bytes;
}

std::unique_ptr<ListingBytes> ListingBytes::FromText(std::string text) {
    std::unique_ptr<ListingBytes> bytes(new ListingBytes);
    bytes->read = std::move(text);
    bytes->text = bytes->read;
    return bytes;
}

ListingBytes::~ListingBytes() {
#if !defined(_WIN32)
    if (mapped != nullptr) {
        munmap(mapped, mappedSize);
    }
#endif
}

}  // namespace compare
