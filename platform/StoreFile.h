#pragma once
// File helpers shared by the SQLite stores under the user's folders and the backup run.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace StoreFile {

// Creates every missing folder above sFilePath (mode 0700: settings and marks are private).
inline bool MakeParentFolders(const std::string& sFilePath) {
    for (size_t pos = sFilePath.find('/', 1); pos != std::string::npos;
         pos = sFilePath.find('/', pos + 1)) {
        const std::string dir = sFilePath.substr(0, pos);
        if (::mkdir(dir.c_str(), 0700) != 0) {
            struct stat st {};
            if (errno != EEXIST || ::stat(dir.c_str(), &st) != 0) {
                return false;
            }
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return false;
            }
        }
    }
    return true;
}

inline bool Exists(const std::string& sPath) {
    struct stat st {};
    return ::stat(sPath.c_str(), &st) == 0;
}

/// True only when nothing is there; a path that cannot be looked at (no permission, an I/O error)
/// is not missing.
inline bool Missing(const std::string& sPath) {
    struct stat st {};
    return ::stat(sPath.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

/// True when the file system holding sPath (or, when it does not exist, its folder) is mounted
/// read only.
inline bool OnReadOnlyFileSystem(const std::string& sPath) {
    struct statvfs vfs {};
    if (::statvfs(sPath.c_str(), &vfs) != 0) {
        const size_t slash = sPath.rfind('/');
        if (slash == std::string::npos ||
            ::statvfs(sPath.substr(0, slash == 0 ? 1 : slash).c_str(), &vfs) != 0) {
            return false;
        }
    }
    return (vfs.f_flag & ST_RDONLY) != 0;
}

/// Renames sFrom to sTo unless sTo exists (false with errno EEXIST then). Where the file system
/// cannot rename that way, a hard link and the removal of the old name do the same; without links
/// only a look just before the plain rename is left.
inline bool RenameNoReplace(const char* sFrom, const char* sTo) {
    if (::renameat2(AT_FDCWD, sFrom, AT_FDCWD, sTo, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return false;
    }
    if (::link(sFrom, sTo) == 0) {
        ::unlink(sFrom);
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    struct stat st {};
    if (::lstat(sTo, &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(sFrom, sTo) == 0;
}

inline bool RenameNoReplace(const std::string& sFrom, const std::string& sTo) {
    return RenameNoReplace(sFrom.c_str(), sTo.c_str());
}

/// Renames the SQLite file sFilePath and its -wal and -shm files to sFilePath + sSuffix (+ "-wal",
/// "-shm"), never over an existing file: "-2", "-3" ... are tried after sSuffix. Returns the new
/// path of the file, or an empty text with errno set. The file must be closed.
inline std::string MoveAside(const std::string& sFilePath, const std::string& sSuffix) {
    for (int n = 1; n <= 99; ++n) {
        const std::string target = sFilePath + sSuffix + (n > 1 ? "-" + std::to_string(n) : "");
        if (RenameNoReplace(sFilePath, target)) {
            // A log left beside the file belongs to it; a new store must never pick it up.
            for (const char* side : {"-wal", "-shm"}) {
                if (Exists(sFilePath + side)) {
                    RenameNoReplace(sFilePath + side, target + side);
                }
            }
            return target;
        }
        if (errno != EEXIST) {
            return std::string();
        }
    }
    errno = EEXIST;
    return std::string();
}

}  // namespace StoreFile
