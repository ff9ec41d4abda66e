// Journal files: every entry read, written as a line and read again, gives
// the same line; the count of entries and skipped lines covers the file.
#include "fuzz.h"
#include "session/journal_file.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const JournalRead read = readJournal(fuzz::writeTemp(fuzz::text(data, size)));
    FUZZ_CHECK(read.opened);
    FUZZ_CHECK(read.entries.size() + read.skipped <= size + 1);
    for (const char delimiter : {',', '\t', ' '}) {
        for (const JournalEntry& entry : read.entries) {
            const std::string line = journalLine(entry, delimiter);
            const JournalRead again = readJournal(fuzz::writeTemp(line, "line"));
            FUZZ_CHECK(again.entries.size() == 1);
            FUZZ_CHECK(journalLine(again.entries[0], delimiter) == line);
        }
    }
    return 0;
}
