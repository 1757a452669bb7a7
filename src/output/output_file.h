// The listing file of one run.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Opens its file on the first Write, writes every line feed as CR LF (on every platform, so that
// listings are byte-for-byte the same wherever they are made), and closes the file when destroyed
// unless Close was called first.
class OutputFile {
  public:
    // mode is "w" (create or empty the file) or "a" (create or append to it).
    OutputFile(std::string_view path, std::string_view mode);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens the file if it is not open yet, then writes text. E_FAIL when the open fails (a later
    // Write tries again) or the text could not be written.
    HRESULT Write(std::string_view text);

    // Writes out what is buffered and closes the file. E_FAIL when this or any earlier write
    // failed, so that a listing cut short by a full disk is never taken for a complete one.
    HRESULT Close();

  private:
    bool Open();

    std::string name;
    std::string mode;
    std::FILE* stream = nullptr;
    bool writeFailed = false;
};

// The run's listing file, published once it is open; null before.
extern OutputFile* ActiveOutput;
