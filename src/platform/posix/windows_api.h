// The subset of the Windows API that the tool calls, with the platform's names, types and
// signatures, for POSIX systems. Behaviour follows the platform's except where noted.
#pragma once

#include <bit>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "version blocks are handed out in their little-endian file layout");

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using HRESULT = std::int32_t;
using HANDLE = void*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PUINT = UINT*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;  // a symbolic link
inline constexpr int MAX_PATH = 260;

// The platform's error codes that the tool tells apart; any other failure carries its errno, marked
// with the bit the platform leaves to applications (kErrnoError | errno).
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
inline constexpr DWORD kErrnoError = 0x20000000;

// The calling thread's last error, as the platform keeps it.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
// The platform's record holds names of MAX_PATH - 1 bytes; a POSIX file system can give longer
// ones (FUSE allows 1,024 bytes, an NTFS volume mounted through it up to 765 bytes of UTF-8).
inline constexpr int kLongestFileName = 1024;

// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC, split into two halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// On POSIX systems a directory tells each entry's kind without the entry being examined, and few
// of the entries of a tree are ever listed. So the record of a plain file or a directory is
// delivered with its times left unread: dwReserved0 holds kTimesLeftUnread, and the three times
// hold a value FileTimeToSystemTime refuses, never one that looks like a date. The time of such an
// entry is read when it is wanted, by platform::GetLastWriteTime, which the listing uses.
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[kLongestFileName + 1];
    char cAlternateFileName[14];
};
inline constexpr DWORD kTimesLeftUnread = 0x51544D44;
inline constexpr FILETIME kNoFileTime{0xFFFFFFFFu, 0xFFFFFFFFu};

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};

// The platform's layouts, which the version block's fixed record and the calls rely on.
static_assert(sizeof(FILETIME) == 8 && sizeof(SYSTEMTIME) == 16 && sizeof(VS_FIXEDFILEINFO) == 52);

inline constexpr WORD LOWORD(DWORD value) {
    return static_cast<WORD>(value & 0xFFFF);
}
inline constexpr WORD HIWORD(DWORD value) {
    return static_cast<WORD>(value >> 16);
}

// Directory listing. The pattern is a directory followed by a separator and "*.*" (or "*"); the
// directory part is taken literally, never globbed, and may be of any length. Symbolic links are
// described by what they point to, with FILE_ATTRIBUTE_REPARSE_POINT added; a broken link is
// delivered as a file.
HANDLE FindFirstFileA(LPCSTR lpFileName, WIN32_FIND_DATAA* lpFindFileData);
BOOL FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA* lpFindFileData);
BOOL FindClose(HANDLE hFindFile);

// UTC calendar fields; fails outside the years 1601 to 30827.
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);

// Version resources, read out of PE32, PE32+ and NE files. Texts come out as UTF-8. The block that
// GetFileVersionInfoA fills must be at least as large as GetFileVersionInfoSizeA reported: besides
// the resource it holds the room into which VerQueryValueA converts texts.
DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);
BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);
