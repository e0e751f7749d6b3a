#pragma once
// The check of an archive after a run: read back from the disk, every entry the thread's runs
// wrote into it must be there under its name, with a local header that agrees with its central
// record in every field a client reads, and a record whose fields every client accepts; its data
// must decrypt (with its password), inflate to the exact end of the stored bytes, and give the
// size and the CRC that were written. What passes, unzip, 7-Zip and Python's zipfile read.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/zipengine/EngineState.h"

namespace zip32 {

struct CheckProblem {
    std::string entry;  // the entry's name, or the archive's path when it cannot be read at all
    std::string reason;
};

// Entries checked so far and their number; called before the first entry and as they are checked,
// always on the calling thread (an archive of many entries is checked by several threads).
using CheckProgress = std::function<void(int32_t done, int32_t total)>;

// ZP_OK, or ZP_ERR_VERIFY with the first problem found. Entries are read piece bytes at a time;
// one whose stored bytes fit in one piece is inflated whole.
int32_t checkArchive(const std::string& path, const std::vector<WrittenEntry>& entries,
                     const CheckProgress& progress, CheckProblem& problem,
                     uint64_t piece = 1ull << 20);

}  // namespace zip32
