// The inventory's per-file step: a record for each candidate with version information (with
// --all, for each candidate), and for each that could not be read.

#include "inventory/inventory_run.h"
#include "platform/candidates.h"
#include "walk/read_failures.h"
#include "walk/walk.h"

InventoryRun* ActiveInventory = nullptr;

void ExamineFile(std::string& path, const WIN32_FIND_DATAA& found) {
    InventoryRun* run = ActiveInventory;
    if (run == nullptr || run->writeFailed || !platform::IsCandidate(path)) {
        return;
    }
    InventoryRecord record;
    DWORD error = ERROR_SUCCESS;
    const RecordOutcome outcome = ReadRecord(path, found, run->all, record, error);
    record.image = run->image;
    record.partition = run->partition;
    if (outcome == RecordOutcome::Failed) {
        FailedReads.Note(path, error);
    } else if (outcome == RecordOutcome::NoFile ||
               (outcome == RecordOutcome::Unversioned && !run->all)) {
        return;
    }
    run->writeFailed = !run->writer->Write(*run->scan, record);
}
