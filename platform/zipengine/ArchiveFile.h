#pragma once
// The archive file as libzip sees it. Reads use pread, so libzip's many seeks cost nothing.
// Writing goes into a temporary file beside the archive that replaces it on commit and is
// removed on rollback. When libzip keeps the archive's beginning unchanged (growing adds entries
// behind the old ones), that beginning is copied inside the kernel instead of entry by entry,
// so a grow costs what it adds, not what the archive already holds.

#include <zip.h>

#include <string>

namespace zip32 {

/// A libzip source for the archive at path (which need not exist yet); nullptr with error set
/// when it cannot be created. libzip owns it once zip_open_from_source has taken it.
zip_source_t* createArchiveFileSource(const std::string& path, zip_error_t* error);

}  // namespace zip32
