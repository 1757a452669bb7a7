// The listing file of one run.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Opens its file on the first Write, writes every line feed as CR LF (on every platform, so that
// listings are byte-for-byte the same wherever they are made), and closes the file when destroyed
// unless Close was called first. What it writes reaches the file in whole lines, so that a run
// ended by any signal leaves no line cut short.
class OutputFile {
  public:
    // mode is "w" (create or empty the file) or "a" (create or append to it).
    OutputFile(std::string_view path, std::string_view mode);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens the file if it is not open yet, then writes text. E_FAIL when the open fails (a later
    // Write tries again) or the text, or what was held before it, could not be written.
    HRESULT Write(std::string_view text);

    // Writes out what is held and closes the file. E_FAIL when this or any earlier write failed,
    // so that a listing cut short by a full disk is never taken for a complete one.
    HRESULT Close();

    // Writes out the whole lines held and not yet written. Safe in a signal handler: it takes no
    // lock, allocates nothing and calls nothing but the system's write.
    void WriteFormedLines() noexcept;

  private:
    bool Open();
    bool WriteHeld();

    std::string name;
    std::string mode;
    std::FILE* stream = nullptr;
    int descriptor = -1;
    // Allocated once and never moved, since a signal handler may read it at any moment.
    std::unique_ptr<char[]> held;
    std::size_t heldSize = 0;
    std::atomic<std::size_t> formedSize{0};  // the whole lines at the start of held
    bool writeFailed = false;
};

// The run's listing file, published once it is open; null before.
extern OutputFile* ActiveOutput;

// From now on SIGINT and SIGTERM write out the whole lines that ActiveOutput holds, then end the
// process as the signal would have.
void WriteActiveOutputOnInterrupt();
