#pragma once
// The archive file as libzip sees it: the libzip source that the archive is read and written
// through. Reads use pread, so libzip's many seeks cost nothing; writes go through a buffer into
// the commit's temporary file (ArchiveCommit.h) and are written back to the disk while the run
// goes on, so that the sync at the end has little left to wait for.
//
// When libzip keeps the archive's beginning unchanged (growing adds entries behind the old ones),
// that beginning is copied inside the kernel instead of entry by entry, so a grow costs what it
// adds, not what the archive already holds.

#include <zip.h>

#include <string>

namespace zip32 {

struct WriteSettings;
class ArchiveSync;

/// A libzip source for the archive at path (which need not exist yet); nullptr with error set
/// when it cannot be created. libzip owns it once zip_open_from_source has taken it. A commit
/// hands the written archive to sync.
zip_source_t* createArchiveFileSource(const std::string& path, const WriteSettings& settings,
                                      ArchiveSync& sync, zip_error_t* error);

}  // namespace zip32
