#pragma once
// Reading listed files: the same rules for the check before a file is added and for the worker
// that reads it later.

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/SystemReason.h"

namespace zip32 {

// Why a file could not be used: an error number (0 when there is none) and the text to show.
struct FileProblem {
    int error = 0;
    std::string reason;
    bool readAgain = false;  // it changed while it was read: a second reading may find it whole
};

// What tells one state of a file from another: a rewrite in place keeps the size but moves the
// modification and change times.
struct FileSignature {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const FileSignature&) const = default;
};

FileSignature signatureOf(const struct stat& info);

// Opens a listed file for reading; a folder, a pipe or a device is refused without being read.
// Returns the descriptor, or -1 with the problem filled in.
int openListedFile(const std::string& path, struct stat& info, FileProblem& problem);

// Reads up to length bytes, fewer only at the end of the file. Returns the count, or -1.
int64_t readUpTo(int fd, void* buffer, uint64_t length, FileProblem& problem);

// The same from offset on, leaving the file's position alone, so that workers can share fd.
int64_t readUpToAt(int fd, void* buffer, uint64_t length, uint64_t offset, FileProblem& problem);

// Whether the open file fd, read in full, was one state of the file from first to last: its
// signature is still before, and its data ended at before's size (endedEarly: a read found the
// end sooner). False with the problem: changed, or a pseudo file whose content does not end at
// its size (as in /proc), which no second reading mends.
bool readAsOneState(int fd, const FileSignature& before, bool endedEarly, FileProblem& problem);

// The problem of a file that changed while it was read: what was read is neither the file as it
// was checked nor as it is now.
FileProblem changedWhileRead();
using platform::systemReason;

}  // namespace zip32
