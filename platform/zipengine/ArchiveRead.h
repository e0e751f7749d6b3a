#pragma once
// An archive opened for a restore: its directory parsed once, its entries as the C interface lists
// them, and each entry's data read through the same code as the check after a run. Any number of
// threads may extract at once: the file is only read with pread, and each thread inflates into its
// own buffers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/zipengine/EntryRead.h"
#include "platform/zipengine/zip32.h"

namespace zip32 {

class ArchiveReader {
public:
    ArchiveReader() = default;
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // ZP_OK, or ZP_ERR_FILE_READ / ZP_ERR_ARCHIVE_DAMAGED with reason. An entry whose name holds
    // a zero byte makes the whole archive damaged: no C client could name it.
    int32_t open(const std::string& path, std::string& reason);

    const std::string& path() const { return path_; }
    size_t count() const { return entries_.size(); }
    const ZpEntryInfo& entry(size_t index) const { return entries_[index]; }

    // ZpExtract's results; reason is set for every one but ZP_OK and ZP_ERR_STOPPED.
    int32_t extract(size_t index, const char* password, const EntrySink& sink,
                    std::string& reason) const;
    // ZpCheckPassword's results. An entry too damaged to tell passes: extracting it says why.
    int32_t checkPassword(size_t index, const char* password) const;

private:
    EntryOutcome read(size_t index, const char* password, const EntryReading& reading) const;

    std::string path_;
    ArchiveView view_;
    std::vector<char> names_;  // every name with a zero byte after it
    std::vector<ZpEntryInfo> entries_;
};

}  // namespace zip32
