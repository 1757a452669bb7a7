#include "compare/listing_bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <fcntl.h>
#include <io.h>
#endif

namespace compare {

namespace {

using ChangeStamp = ListingBytes::ChangeStamp;

constexpr std::size_t kPiece = std::size_t{4} << 20;
constexpr std::size_t kLargePage = std::size_t{2} << 20;

// Under AddressSanitizer the room comes from the heap, sized to the byte, so that a read past what
// was read is caught; mapped memory is not watched.
#if defined(__SANITIZE_ADDRESS__)
#define QUILLET_WATCHED_MEMORY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLET_WATCHED_MEMORY 1
#endif
#endif

#if !defined(_WIN32) && !defined(QUILLET_WATCHED_MEMORY)
char* Allocate(std::size_t count) {
    void* memory = mmap(nullptr, count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
#if defined(MADV_HUGEPAGE)
    madvise(memory, count, MADV_HUGEPAGE);
#endif
    return static_cast<char*>(memory);
}

void Release(char* memory, std::size_t count) {
    if (memory != nullptr) {
        munmap(memory, count);
    }
}
#else
char* Allocate(std::size_t count) {
    return static_cast<char*>(std::malloc(count));
}

void Release(char* memory, std::size_t /*count*/) {
    std::free(memory);
}
#endif

#if !defined(_WIN32)
ChangeStamp StampOf(const struct stat& status) {
    return {static_cast<std::int64_t>(status.st_ino), static_cast<std::int64_t>(status.st_size),
            static_cast<std::int64_t>(status.st_mtim.tv_sec),
            static_cast<std::int64_t>(status.st_mtim.tv_nsec)};
}

void CloseDescriptor(int descriptor) {
    close(descriptor);
}
#else
void CloseDescriptor(int descriptor) {
    _close(descriptor);
}
#endif

}  // namespace

ListingBytes::~ListingBytes() {
    Release(bytes, room);
    if (descriptor >= 0) {
        CloseDescriptor(descriptor);
    }
}

std::unique_ptr<ListingBytes> ListingBytes::Open(const std::string& path, std::string& error) {
    std::unique_ptr<ListingBytes> listing(new ListingBytes);
#if !defined(_WIN32)
    listing->descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
#else
    listing->descriptor = _open(path.c_str(), _O_RDONLY | _O_BINARY);
#endif
    if (listing->descriptor < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
#if !defined(_WIN32)
    struct stat status {};
    if (fstat(listing->descriptor, &status) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    listing->regular = S_ISREG(status.st_mode);
    listing->expectedSize = static_cast<std::uint64_t>(status.st_size);
    listing->opened = StampOf(status);
#endif
    return listing;
}

std::unique_ptr<ListingBytes> ListingBytes::FromText(std::string_view text) {
    std::unique_ptr<ListingBytes> listing(new ListingBytes);
    listing->bytes = Allocate(std::max<std::size_t>(text.size(), 1));
    if (listing->bytes == nullptr) {
        throw std::bad_alloc();
    }
    listing->room = std::max<std::size_t>(text.size(), 1);
    std::copy(text.begin(), text.end(), listing->bytes);
    listing->size = text.size();
    return listing;
}

// Room for wanted bytes more: a regular file's whole size (and one byte to see it grow) at once,
// else twice what there is.
bool ListingBytes::MakeRoom(std::size_t wanted) {
    if (room - size >= wanted) {
        return true;
    }
    std::size_t larger = std::max<std::size_t>(2 * room, kPiece);
    if (regular && room == 0 && expectedSize < SIZE_MAX - kLargePage) {
        larger = static_cast<std::size_t>(expectedSize) + 1;
    }
    larger = std::max(larger, size + wanted);
    larger = (larger + kLargePage - 1) / kLargePage * kLargePage;
    char* moved = Allocate(larger);
    if (moved == nullptr) {
        return false;
    }
    if (size > 0) {
        std::memcpy(moved, bytes, size);
    }
    Release(bytes, room);
    bytes = moved;
    room = larger;
    return true;
}

ListingBytes::Progress ListingBytes::ReadMore(std::string& error) {
    if (descriptor < 0) {
        return Progress::End;
    }
    if (!MakeRoom(room > size ? 1 : kPiece)) {
        error = "does not fit in memory";
        return Progress::Failed;
    }
    for (;;) {
        const std::size_t count = std::min(kPiece, room - size);
#if !defined(_WIN32)
        const ssize_t got = read(descriptor, bytes + size, count);
#else
        const int got = _read(descriptor, bytes + size, static_cast<unsigned>(count));
#endif
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = std::strerror(errno);
            return Progress::Failed;
        }
        size += static_cast<std::size_t>(got);
        if (got > 0) {
            if (regular && size > expectedSize) {
                error = "changed while it was read";  // it grew
                return Progress::Failed;
            }
            return Progress::More;
        }
        break;
    }
    if (regular && (size != expectedSize || !Unchanged())) {
        error = "changed while it was read";
        return Progress::Failed;
    }
    CloseDescriptor(descriptor);
    descriptor = -1;
    return Progress::End;
}

bool ListingBytes::Unchanged() const {
#if !defined(_WIN32)
    struct stat now {};
    return fstat(descriptor, &now) == 0 && StampOf(now) == opened;
#else
    return true;
#endif
}

}  // namespace compare
