#pragma once
// The crash-safe commit of an archive. Writing goes into a temporary file in the archive's folder
// that has no name (O_TMPFILE), so a run killed at any moment leaves nothing behind. At commit the
// data is synced first and only then given the archive's name: a new archive by linking it there
// (which never replaces a file that appeared meanwhile), a grown or recreated one by linking it
// under a temporary name at the last moment and renaming that over the old archive. Where the
// file system knows no O_TMPFILE the temporary file is named from the start; a run that dies
// leaves it, and the next run in that folder removes it. Named temporaries follow one pattern and
// are locked while their run lives.
//
// New archives are readable by their owner only; a grown or recreated one keeps the mode it had.

#include <zip.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zip32 {

/// The folder that holds path's name: "." for a bare name.
std::string folderOf(const std::string& path);

/// True for the names of the engine's named temporary files: ".zip32-" followed by six letters
/// or digits and ".tmp".
bool isTemporaryName(std::string_view name);

/// Removes what runs that died left in folder: files of the temporary pattern that belong to this
/// user and that no living run holds locked.
void removeLeftoverTemporaries(const std::string& folder);

/// How the run wants its archive written.
struct WriteSettings {
    /// Written over the stand-in of the same length that libzip wrote as the archive's comment,
    /// byte for byte (libzip refuses comments that are not UTF-8 or hold control characters);
    /// nothing keeps libzip's comment.
    std::optional<std::string> comment;
    /// Entries that libzip wrote under a stand-in name of the same length: the true name of each,
    /// written over the stand-in in its local header and its central directory record.
    std::map<std::string, std::string> trueNames;
    /// A named temporary file from the start, as on a file system without O_TMPFILE.
    bool namedTemporary = false;
    /// Called with "commit" when the archive is complete and on the disk but not yet under its
    /// name, and with "replace" when it lies under a temporary name, about to replace the old one.
    std::function<void(const char* step)> checkpoint;
};

/// The temporary file that an archive is written into, and the commit that gives it the
/// archive's name. Failures set a libzip error (a zip code and the errno behind it).
class ArchiveCommit {
public:
    ArchiveCommit(std::string path, const WriteSettings& settings)
        : path_(std::move(path)), settings_(settings) {}
    ~ArchiveCommit() { discard(); }
    ArchiveCommit(const ArchiveCommit&) = delete;
    ArchiveCommit& operator=(const ArchiveCommit&) = delete;

    /// Drops an earlier temporary file and opens an empty one, for reading and writing. It takes
    /// the mode of the archive if that exists now; otherwise it is readable by its owner only.
    bool begin(zip_error_t* error);
    /// The temporary file; -1 before begin, after commit and after discard.
    int fd() const { return fd_; }
    /// The temporary file's first size bytes being the whole archive: writes the true comment and
    /// names over their stand-ins, syncs the file and gives it the archive's name. Returns its
    /// descriptor, now the caller's; -1 when it failed, the temporary file gone.
    int commit(zip_uint64_t size, zip_error_t* error);
    /// Closes and removes the temporary file, if there is one.
    void discard();

private:
    bool openNamed(zip_error_t* error);
    bool placeUnderName(zip_error_t* error);
    void checkpoint(const char* step) const {
        if (settings_.checkpoint) {
            settings_.checkpoint(step);
        }
    }

    std::string path_;
    const WriteSettings& settings_;
    int fd_ = -1;
    std::string tempPath_;    // empty while the temporary file has no name
    bool replacing_ = false;  // the archive existed when writing began
};

}  // namespace zip32
