#include "output/output_file.h"

OutputFile* ActiveOutput = nullptr;

namespace {

constexpr std::size_t kStreamBufferSize = 64 * 1024;

bool WriteBytes(std::FILE* stream, std::string_view bytes) {
    return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
}

}  // namespace

OutputFile::OutputFile(std::string_view path, std::string_view mode) : name(path), mode(mode) {}

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::Open() {
    // Binary mode: the line-end translation is done here, identically on every platform.
    const std::string binaryMode = mode + "b";
    stream = std::fopen(name.c_str(), binaryMode.c_str());
    if (stream == nullptr) {
        return false;
    }
    std::setvbuf(stream, nullptr, _IOFBF, kStreamBufferSize);
    return true;
}

HRESULT OutputFile::Write(std::string_view text) {
    if (stream == nullptr && !Open()) {
        return E_FAIL;
    }
    bool written = true;
    for (std::size_t lineFeed = text.find('\n'); lineFeed != std::string_view::npos;
         lineFeed = text.find('\n')) {
        written =
            written && WriteBytes(stream, text.substr(0, lineFeed)) && WriteBytes(stream, "\r\n");
        text.remove_prefix(lineFeed + 1);
    }
    written = written && WriteBytes(stream, text);
    if (!written) {
        writeFailed = true;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT OutputFile::Close() {
    if (stream != nullptr) {
        const bool closed = std::fclose(stream) == 0;
        stream = nullptr;
        writeFailed = writeFailed || !closed;
    }
    return writeFailed ? E_FAIL : S_OK;
}
