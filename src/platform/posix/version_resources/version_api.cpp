// The platform's version library for POSIX systems: the version resource is read out of the file
// itself.
//
// A block is laid out as the platform lays it out: the resource first, its root's length being the
// block's length, then room into which VerQueryValueA converts texts. Each text gets a slot of
// three bytes for each byte of the resource from its start, so no two texts share room and no
// conversion can outgrow its slot.

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "platform/formats/text_encoding.h"
#include "platform/formats/version_tree.h"
#include "platform/posix/errors.h"
#include "platform/posix/version_resources/examined_file.h"
#include "platform/posix/windows_api.h"
#include "platform/read_ahead_work.h"

namespace {

using platform::formats::AlignTo4;
using platform::formats::ByteView;
using platform::posix::Examination;
using platform::posix::kSmallestBlock;

constexpr std::size_t kConversionBytesPerByte = 3;

std::size_t ConversionRoomOffset(std::size_t resourceSize) {
    return AlignTo4(resourceSize);
}

std::size_t BlockSizeFor(std::size_t resourceSize) {
    return ConversionRoomOffset(resourceSize) + kConversionBytesPerByte * resourceSize + 4;
}

// Why a look found no version resource, as the platform's library tells it: the file could not
// be read, or it holds none.
void SetFailure(const Examination& examination) {
    if (examination.resource.empty()) {
        SetLastError(examination.error != 0 ? platform::posix::ErrorOf(examination.error)
                                            : ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
}

// The block for resource, in block (dwLen bytes); FALSE when there is none or it does not fit.
BOOL FillBlock(const std::vector<std::uint8_t>& resource, DWORD dwLen, std::uint8_t* block) {
    if (resource.empty()) {
        return FALSE;
    }
    if (dwLen < BlockSizeFor(resource.size())) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(block, resource.data(), resource.size());
    const std::size_t length =
        std::min<std::size_t>(platform::formats::FilledBlock(block).size(), resource.size());
    if (length < kSmallestBlock) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    // The root's length now bounds every query, so it must not claim more than was read.
    const auto rootLength = static_cast<std::uint16_t>(length);
    std::memcpy(block, &rootLength, sizeof rootLength);
    return TRUE;
}

// The value answer points at in block, a text converted into its slot of the conversion room.
std::uint8_t* AnsweredValue(std::uint8_t* block, const platform::formats::QueryAnswer& answer,
                            UINT& valueLength) {
    std::uint8_t* value = block + answer.valueOffset;
    valueLength = static_cast<UINT>(answer.valueLength);
    if (!answer.isText) {
        return value;
    }
    const ByteView resource = platform::formats::FilledBlock(block);
    const ByteView text(value, answer.valueLength);
    const std::span<char> slot(
        reinterpret_cast<char*>(block + ConversionRoomOffset(resource.size()) +
                                kConversionBytesPerByte * answer.valueOffset),
        kConversionBytesPerByte * answer.valueLength + 1);
    const std::size_t converted =
        platform::formats::FormOf(resource) == platform::formats::BlockForm::Wide
            ? platform::formats::Utf16ToUtf8(text, slot)
            : platform::formats::Windows1252ToUtf8(text, slot);
    valueLength = static_cast<UINT>(converted + 1);
    return reinterpret_cast<std::uint8_t*>(slot.data());
}

// The one look at the file: the walk's, when a walk is under way (made ahead of it, or now, and
// kept for the calls that follow), or else one of its own.
template <typename Use>
auto WithLook(LPCSTR path, const Use& use) {
    if (const platform::ReadAheadJob* job =
            platform::WalksJob(path, platform::JobKind::Look, platform::posix::ListedDirectoryOf)) {
        return use(job->examination);
    }
    return use(platform::posix::LookAtFile(path));
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle != nullptr) {
        *lpdwHandle = 0;
    }
    if (lptstrFilename == nullptr) {
        return 0;
    }
    const std::size_t resourceSize = WithLook(lptstrFilename, [](const Examination& examination) {
        SetFailure(examination);
        return examination.resource.size();
    });
    // An upper bound: the root may claim less than the resource holds, never more.
    return resourceSize == 0 ? 0 : static_cast<DWORD>(BlockSizeFor(resourceSize));
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen, LPVOID lpData) {
    if (lptstrFilename == nullptr || lpData == nullptr) {
        return FALSE;
    }
    return WithLook(lptstrFilename, [dwLen, lpData](const Examination& examination) {
        SetFailure(examination);
        return FillBlock(examination.resource, dwLen, static_cast<std::uint8_t*>(lpData));
    });
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr) {
        return FALSE;
    }
    // The block is writable memory of the caller's; the platform's query writes into it too.
    auto* block = static_cast<std::uint8_t*>(const_cast<void*>(pBlock));
    const auto answer =
        platform::formats::QueryVersionBlock(platform::formats::FilledBlock(block), lpSubBlock);
    if (!answer) {
        return FALSE;
    }
    UINT valueLength = 0;
    *lplpBuffer = AnsweredValue(block, *answer, valueLength);
    if (puLen != nullptr) {
        *puLen = valueLength;
    }
    return TRUE;
}

namespace platform {

void ForEachTableString(const void* block, const std::string& table, const TableStringUse& use) {
    // The block is writable memory of the caller's, as for VerQueryValueA.
    auto* bytes = static_cast<std::uint8_t*>(const_cast<void*>(block));
    for (formats::ChildEntry& entry : formats::ChildEntries(formats::FilledBlock(block), table)) {
        UINT valueLength = 0;
        const auto* value =
            reinterpret_cast<const char*>(AnsweredValue(bytes, entry.answer, valueLength));
        use(std::move(entry.key), value, valueLength);
    }
}

bool GetFileFacts(LPCSTR path, const WIN32_FIND_DATAA& /*record*/, FileFacts& facts) {
    return WithLook(path, [&facts](const Examination& examination) {
        facts.size = examination.size;
        facts.deleted = examination.deleted;
        facts.image = examination.image;
        facts.digest = examination.digest;
        facts.signature = examination.signature;
        facts.digestError =
            examination.digestError != 0 ? posix::ErrorOf(examination.digestError) : 0;
        if (!examination.opened) {
            SetLastError(examination.error != 0 ? posix::ErrorOf(examination.error)
                                                : ERROR_FILE_NOT_FOUND);
        }
        return examination.opened;
    });
}

}  // namespace platform
