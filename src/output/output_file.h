// The listing file of one run.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Opens its file on the first Write, writes every line feed as CR LF (on every platform, so that
// listings are byte-for-byte the same wherever they are made), and closes the file when destroyed
// unless Close was called first. The file holds whole lines only, however a run ends: what it
// writes reaches the file in whole lines, so that a run ended by any signal leaves no line cut
// short; a write that fails (a full disk, a file-size limit, a reader gone) is cut back to the end
// of the last whole line, and nothing is written after it, so that what the file holds is the
// listing's beginning. A file appended to that does not end in a line break gets one first (CR LF,
// or a line feed alone for lines that end in one).
class OutputFile {
  public:
    // How the line feeds of the text written reach the file: as CR LF (a listing), as they are
    // (JSON Lines, whose lines end in a line feed alone), or as they are in CSV records, which end
    // in CR LF and may hold line breaks inside quoted values: only a line feed outside quotes ends
    // one. Text is then written in whole records, each Write one or more.
    enum class LineEnds { CrLf, AsWritten, CsvRecords };
    // mode is "w" (create or empty the file) or "a" (create or append to it). An empty path is
    // standard output, written in binary and flushed rather than closed.
    OutputFile(std::string_view path, std::string_view mode, LineEnds lineEnds = LineEnds::CrLf);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens the file if it is not open yet, then writes text. E_FAIL when the open fails (a later
    // Write tries again) or the text, or what was held before it, could not be written.
    //
    // A regular file opened to append to is locked first (waiting while another run appends to
    // it), so that runs appending at once each land whole, one after the other.
    HRESULT Write(std::string_view text);

    // The first line (at most 64 KiB of it) of what a regular file opened to append to held
    // before; none where it held nothing, or is not a regular file (never read: a FIFO or a pipe
    // read from would wait).
    const std::optional<std::string>& HeldBefore() const { return heldBefore; }

    // Why the open or a write failed, as the system says it; empty when nothing failed.
    std::string Problem() const;

    // Closes the file having written nothing more: it stays as it was opened.
    void Abandon();

    // Writes out what is held and closes the file. E_FAIL when this or any earlier write failed,
    // so that a listing cut short by a full disk is never taken for a complete one.
    HRESULT Close();

    // Writes out the whole lines held and not yet written. Safe in a signal handler: it takes no
    // lock, allocates nothing and calls nothing but the system's write.
    void WriteFormedLines() noexcept;

  private:
    bool Open();
    void InspectWhatIsThere();
    void StartOnANewLine(int lastByte);
    bool WriteHeld();
    // Writes bytes; on a failure, cuts what was written back to its last line end. Safe in a
    // signal handler.
    bool WriteWholeLines(const char* bytes, std::size_t count) noexcept;
    char* CopyWithLineEnds(std::string_view text, char* out, char*& lineEnd) const;
    // The end of the last whole line or record among bytes (which begin one), or bytes itself.
    const char* LastLineEnd(const char* bytes, const char* end) const noexcept;

    std::string name;
    std::string mode;
    LineEnds lineEnds;
    std::FILE* stream = nullptr;
    int descriptor = -1;
    // Allocated once and never moved, since a signal handler may read it at any moment.
    std::unique_ptr<char[]> held;
    std::size_t heldSize = 0;
    std::atomic<std::size_t> formedSize{0};  // the whole lines at the start of held
    bool writeFailed = false;
    int failure = 0;  // the errno of the failed open or write
    std::optional<std::string> heldBefore;
    // Written since the last line end written: what a failed write leaves to be cut back.
    std::uint64_t afterLastLineEnd = 0;
};

// The run's listing file, published once it is open; null before.
extern OutputFile* ActiveOutput;

// From now on SIGINT and SIGTERM write out the whole lines that ActiveOutput holds, then end the
// process as the signal would have.
void WriteActiveOutputOnInterrupt();
