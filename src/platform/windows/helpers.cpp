// The Windows side of the few helpers that the platform headers do not provide.

#include "platform/platform.h"

#include <cstring>

namespace platform {

bool GetDirectoryIdentity(const char* directory, DirectoryIdentity& identity) {
    // Backup semantics are what lets CreateFile open a directory at all.
    HANDLE handle =
        CreateFileA(directory, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = GetFileInformationByHandle(handle, &information);
    CloseHandle(handle);
    if (!known) {
        return false;
    }
    identity.volume = information.dwVolumeSerialNumber;
    identity.index =
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

bool GetLastWriteTime(const char* /*path*/, const WIN32_FIND_DATAA& record, FILETIME& time) {
    time = record.ftLastWriteTime;
    return true;
}

void ContainVersionBlock(unsigned char* block, DWORD size) {
    // The platform's query walks the tree by the lengths it finds; a damaged root length would
    // lead it past the block.
    WORD rootLength = 0;
    if (size < sizeof rootLength) {
        return;
    }
    std::memcpy(&rootLength, block, sizeof rootLength);
    if (rootLength > size) {
        rootLength = static_cast<WORD>(size);
        std::memcpy(block, &rootLength, sizeof rootLength);
    }
}

bool StandardOutputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool TextIsUtf8() {
    return GetACP() == CP_UTF8;
}

}  // namespace platform
