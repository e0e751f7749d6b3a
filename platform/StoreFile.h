#pragma once
// File helpers shared by the SQLite stores under the user's state folder.

#include <sys/stat.h>

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

}  // namespace StoreFile
