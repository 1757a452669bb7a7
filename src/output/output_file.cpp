#include "output/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

OutputFile* ActiveOutput = nullptr;

namespace {

constexpr std::size_t kHeldCapacity = 64 * 1024;

void WriteActiveOutput() {
    if (OutputFile* output = ActiveOutput) {
        output->WriteFormedLines();
    }
}

}  // namespace

OutputFile::OutputFile(std::string_view path, std::string_view mode, LineEnds lineEnds)
    : name(path), mode(mode), lineEnds(lineEnds), held(new char[kHeldCapacity]) {}

// Copies text to out, every line feed as CR LF where asked; returns the end of what was copied,
// and in lineEnd the end of its last whole line (left as it was when there is none).
char* OutputFile::CopyWithLineEnds(std::string_view text, char* out, char*& lineEnd) const {
    for (const char character : text) {
        if (character == '\n') {
            if (lineEnds == LineEnds::CrLf) {
                *out++ = '\r';
            }
            *out++ = '\n';
            lineEnd = out;
        } else {
            *out++ = character;
        }
    }
    return out;
}

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::Open() {
    if (name.empty()) {
        stream = stdout;
        platform::WriteInBinary(stream);
        descriptor = platform::DescriptorOf(stream);
        return true;
    }
    // Binary mode: the line-end translation is done here, identically on every platform.
    const std::string binaryMode = mode + "b";
    stream = std::fopen(name.c_str(), binaryMode.c_str());
    if (stream == nullptr) {
        failure = errno;
        return false;
    }
    descriptor = platform::DescriptorOf(stream);
    if (mode.starts_with('a') && platform::IsRegularFile(descriptor)) {
        platform::LockForAppending(descriptor);
        InspectWhatIsThere();
    }
    return true;
}

// What the file holds is read only once it is known to be a regular file, under the lock: its
// first line, and whether its last is whole.
void OutputFile::InspectWhatIsThere() {
    std::FILE* existing = std::fopen(name.c_str(), "rb");
    if (existing == nullptr) {
        return;
    }
    std::string first;
    for (int byte; first.size() < kHeldCapacity && (byte = std::fgetc(existing)) != EOF;) {
        first.push_back(static_cast<char>(byte));
        if (byte == '\n') {
            break;
        }
    }
    const int last = std::fseek(existing, -1, SEEK_END) == 0 ? std::fgetc(existing) : EOF;
    std::fclose(existing);
    if (!first.empty()) {
        heldBefore = std::move(first);
    }
    StartOnANewLine(last);
}

// What a run cut short elsewhere, or an editor, left without its line break is ended first, so
// that it and the first new line stay apart.
void OutputFile::StartOnANewLine(int lastByte) {
    if (lastByte == EOF || lastByte == '\n') {
        return;
    }
    const std::string_view lineEnd =
        lastByte == '\r' || lineEnds == LineEnds::AsWritten ? "\n" : "\r\n";
    std::copy(lineEnd.begin(), lineEnd.end(), held.get());
    heldSize = lineEnd.size();
    formedSize.store(heldSize);
}

bool OutputFile::WriteWholeLines(const char* bytes, std::size_t count) noexcept {
    if (writeFailed) {
        return false;
    }
    std::size_t written = 0;
    errno = 0;
    const bool whole = platform::WriteToDescriptor(descriptor, bytes, count, written);
    const char* end = bytes + written;
    const char* lastLineEnd = LastLineEnd(bytes, end);
    afterLastLineEnd = lastLineEnd != bytes ? static_cast<std::uint64_t>(end - lastLineEnd)
                                            : afterLastLineEnd + written;
    if (!whole) {
        failure = errno != 0 ? errno : EIO;
        writeFailed = true;
        platform::CutBack(descriptor, afterLastLineEnd);
        afterLastLineEnd = 0;
    }
    return whole;
}

const char* OutputFile::LastLineEnd(const char* bytes, const char* end) const noexcept {
    if (lineEnds != LineEnds::CsvRecords) {
        return std::find(std::make_reverse_iterator(end), std::make_reverse_iterator(bytes), '\n')
            .base();
    }
    // A record's quotes come in pairs, so a line feed after an even number of them ends one.
    const char* lastEnd = bytes;
    bool quoted = false;
    for (const char* at = bytes; at != end; ++at) {
        if (*at == '"') {
            quoted = !quoted;
        } else if (*at == '\n' && !quoted) {
            lastEnd = at + 1;
        }
    }
    return lastEnd;
}

bool OutputFile::WriteHeld() {
    platform::HoldInterrupts();
    const bool written = WriteWholeLines(held.get(), heldSize);
    heldSize = 0;
    formedSize.store(0);
    platform::ReleaseInterrupts();
    return written;
}

HRESULT OutputFile::Write(std::string_view text) {
    if (stream == nullptr && !Open()) {
        return E_FAIL;
    }
    if (writeFailed) {
        return E_FAIL;  // nothing after a failed write: the file keeps the listing's beginning
    }
    const std::size_t size =
        text.size() + (lineEnds == LineEnds::CrLf
                           ? static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'))
                           : 0);
    bool written = true;
    if (size > kHeldCapacity - heldSize) {
        written = WriteHeld();
    }
    if (size <= kHeldCapacity) {
        char* lineEnd = nullptr;
        const char* end = CopyWithLineEnds(text, held.get() + heldSize, lineEnd);
        heldSize = static_cast<std::size_t>(end - held.get());
        if (lineEnd != nullptr) {
            formedSize.store(static_cast<std::size_t>(lineEnd - held.get()));
        }
    } else {
        // Longer than all that is held: written at once, in one piece.
        std::string converted(size, '\0');
        char* lineEnd = nullptr;
        CopyWithLineEnds(text, converted.data(), lineEnd);
        platform::HoldInterrupts();
        written = written && WriteWholeLines(converted.data(), size);
        platform::ReleaseInterrupts();
    }
    return written ? S_OK : E_FAIL;
}

void OutputFile::WriteFormedLines() noexcept {
    const std::size_t formed = formedSize.exchange(0);
    if (formed > 0 && descriptor >= 0) {
        WriteWholeLines(held.get(), formed);
    }
}

HRESULT OutputFile::Close() {
    if (stream != nullptr) {
        const bool writtenOut = heldSize == 0 || WriteHeld();
        const bool closed = stream == stdout ? std::fflush(stream) == 0 : std::fclose(stream) == 0;
        if (!closed && failure == 0) {
            failure = errno;
        }
        stream = nullptr;
        descriptor = -1;
        writeFailed = writeFailed || !writtenOut || !closed;
    }
    return writeFailed ? E_FAIL : S_OK;
}

void OutputFile::Abandon() {
    heldSize = 0;
    formedSize.store(0);
    if (stream != nullptr && stream != stdout) {
        std::fclose(stream);
    }
    stream = nullptr;
    descriptor = -1;
}

std::string OutputFile::Problem() const {
    return failure != 0 ? std::strerror(failure) : std::string();
}

void WriteActiveOutputOnInterrupt() {
    platform::CallOnInterrupt(WriteActiveOutput);
}
