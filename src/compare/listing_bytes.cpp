#include "compare/listing_bytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace compare {

namespace {

#if !defined(_WIN32)
bool SameState(const struct stat& before, const struct stat& after) {
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ino == after.st_ino;
}

// Reads what the descriptor holds into bytes and size; a regular file in one go into room made
// for its size.
bool ReadAll(int descriptor, std::unique_ptr<char[]>& bytes, std::size_t& size,
             std::string& error) {
    struct stat before {};
    if (fstat(descriptor, &before) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool regular = S_ISREG(before.st_mode);
    std::size_t room = regular ? static_cast<std::size_t>(before.st_size) + 1 : std::size_t{1} << 16;
    bytes.reset(new char[room]);
    for (;;) {
        if (size == room && regular) {
            error = "changed while it was read";  // it grew
            return false;
        }
        if (size == room) {
            std::unique_ptr<char[]> larger(new char[2 * room]);
            std::memcpy(larger.get(), bytes.get(), size);
            bytes = std::move(larger);
            room *= 2;
        }
        const ssize_t got = read(descriptor, bytes.get() + size, room - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    struct stat after {};
    if (regular && (fstat(descriptor, &after) != 0 || !SameState(before, after) ||
                    size != static_cast<std::size_t>(before.st_size))) {
        error = "changed while it was read";
        return false;
    }
    return true;
}
#endif

}  // namespace

std::unique_ptr<ListingBytes> ListingBytes::Open(const std::string& path, std::string& error) {
    std::unique_ptr<ListingBytes> bytes(new ListingBytes);
#if !defined(_WIN32)
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    const bool read = ReadAll(descriptor, bytes->bytes, bytes->size, error);
    close(descriptor);
    return read ? std::move(bytes) : nullptr;
#else
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::string text;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = std::strerror(EIO);
        return nullptr;
    }
    return FromText(std::move(text));
#endif
}

std::unique_ptr<ListingBytes> ListingBytes::FromText(std::string text) {
    std::unique_ptr<ListingBytes> bytes(new ListingBytes);
    bytes->bytes.reset(new char[text.size() + 1]);
    bytes->size = text.size();
    std::memcpy(bytes->bytes.get(), text.data(), text.size());
    return bytes;
}

}  // namespace compare
