// Reading listed files: the same rules for the check before a file is added and for the worker
// that reads it later.
#ifndef SONDREL_ZIPENGINE_FILEACCESS_H
#define SONDREL_ZIPENGINE_FILEACCESS_H

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/SystemReason.h"

namespace zip32 {

// Why a file could not be used: an error number (0 when there is none) and the text to show.
struct FileProblem {
    int error = 0;
    std::string reason;
};

// Opens a listed file for reading; a folder, a pipe or a device is refused without being read.
// Returns the descriptor, or -1 with the problem filled in.
int openListedFile(const std::string& path, struct stat& info, FileProblem& problem);

// Reads up to length bytes, fewer only at the end of the file. Returns the count, or -1.
int64_t readUpTo(int fd, void* buffer, uint64_t length, FileProblem& problem);

// The same from offset on, leaving the file's position alone, so that workers can share fd.
int64_t readUpToAt(int fd, void* buffer, uint64_t length, uint64_t offset, FileProblem& problem);

// The problem of a file whose size changed while it was read: what was read is neither the file
// as it was checked nor as it is now.
FileProblem changedWhileRead();
using platform::systemReason;

}  // namespace zip32

#endif
