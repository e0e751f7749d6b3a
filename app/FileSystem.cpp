#include "app/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <climits>

#include <algorithm>
#include <string>

#include "app/NativePath.h"
#include "platform/archivemarks/ArchiveMarkStore.h"

namespace {

bool StatPath(const QString& sPath, struct stat& st) {
    if (sPath.isEmpty()) {
        return false;
    }
    return ::stat(NativePath(sPath).constData(), &st) == 0;
}

int64_t Nanoseconds(const struct timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

ArchiveMarkStore::Signature SignatureOf(const struct stat& st) {
    ArchiveMarkStore::Signature sig;
    sig.dev = st.st_dev;
    sig.ino = st.st_ino;
    sig.size = st.st_size;
    sig.mtimeNs = Nanoseconds(st.st_mtim);
    sig.ctimeNs = Nanoseconds(st.st_ctim);
    return sig;
}

QString MarkStorePath() {
    return StateFolder() + QStringLiteral("/archive-marks.sqlite3");
}

}  // namespace

QString StateFolder() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state)) {
        state = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return state + QStringLiteral("/tarvello");
}

std::optional<FileSignature> SignatureOfFile(const QString& sPath) {
    struct stat st {};
    if (!StatPath(sPath, st)) {
        return std::nullopt;
    }
    return SignatureOf(st);
}

bool DropVanishedMarks() {
    ArchiveMarkStore store(NativePath(MarkStorePath()).toStdString());
    return store.DropVanished(QDateTime::currentSecsSinceEpoch()) >= 0;
}

QString CurrentFolder() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) != nullptr ? PathFromNative(buffer)
                                                      : QDir::currentPath();
}

QString SpecialFileReason(const QString& sPath) {
    struct stat st {};
    if (!StatPath(sPath, st) || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        return QString();
    }
    if (S_ISFIFO(st.st_mode)) {
        return QStringLiteral("ist eine benannte Pipe (FIFO), keine Datei");
    }
    if (S_ISSOCK(st.st_mode)) {
        return QStringLiteral("ist eine Socket-Datei, keine Datei");
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        return QStringLiteral("ist ein Gerät, keine Datei");
    }
    return QStringLiteral("ist keine reguläre Datei");
}

QString FullPath(const QString& sPath, const QString& sBase) {
    if (sPath.isEmpty()) {
        return sPath;
    }
    if (!sPath.startsWith(u'/')) {
        return QDir::cleanPath((sBase.isEmpty() ? CurrentFolder() : sBase) + u'/' + sPath);
    }
    // Most paths are clean already; a list check asks for every listed file.
    if (!sPath.contains(u"//") && !sPath.contains(u"/./") && !sPath.endsWith(u"/.") &&
        (sPath.size() == 1 || !sPath.endsWith(u'/'))) {
        return sPath;
    }
    QString out;
    out.reserve(sPath.size());
    for (const QStringView part : QStringView(sPath).split(u'/', Qt::SkipEmptyParts)) {
        if (part != u".") {
            out += u'/';
            out += part;
        }
    }
    return out.isEmpty() ? QStringLiteral("/") : out;
}

// ---- FSOFile ----

FSOFile::FSOFile(FileSystemObject* fso, QString sPath, qsizetype nameStart)
    : fso_(fso), sPath_(std::move(sPath)), nameStart_(nameStart) {}

QString FSOFile::Name() const {
    return sPath_.mid(nameStart_);
}

int64_t FSOFile::Size() const {
    struct stat st {};
    return StatPath(sPath_, st) ? static_cast<int64_t>(st.st_size) : 0;
}

QDateTime FSOFile::DateLastModified() const {
    struct stat st {};
    if (!StatPath(sPath_, st)) {
        return QDateTime();
    }
    return QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, Qt::LocalTime);
}

int32_t FSOFile::Attributes() const {
    struct stat st {};
    const QByteArray native = NativePath(sPath_);
    if (sPath_.isEmpty() || ::stat(native.constData(), &st) != 0) {
        return 0;
    }
    int32_t attributes = 0;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
        ::access(native.constData(), W_OK) != 0) {
        attributes |= AttrReadOnly;
    }
    if (sPath_.size() > nameStart_ && sPath_.at(nameStart_) == u'.') {
        attributes |= AttrHidden;
    }
    if (S_ISDIR(st.st_mode)) {
        attributes |= AttrDirectory;
    }
    if (fso_ != nullptr && fso_->Marks().IsSet(std::string_view(native.constData(),
                                                                static_cast<size_t>(native.size())),
                                               SignatureOf(st))) {
        attributes |= AttrArchive;
    }
    return attributes;
}

bool FSOFile::ArchiveMarkSet() const {
    struct stat st {};
    const QByteArray native = NativePath(sPath_);
    if (fso_ == nullptr || sPath_.isEmpty() || ::stat(native.constData(), &st) != 0) {
        return false;
    }
    return fso_->Marks().IsSet(
        std::string_view(native.constData(), static_cast<size_t>(native.size())), SignatureOf(st));
}

bool FSOFile::SetAttributes(int32_t lAttributes) {
    struct stat st {};
    const QByteArray native = NativePath(sPath_);
    if (fso_ == nullptr || sPath_.isEmpty() || ::stat(native.constData(), &st) != 0) {
        return false;
    }
    ArchiveMarkStore& marks = fso_->Marks();
    if ((lAttributes & AttrArchive) != 0) {
        return marks.Set(native.toStdString());
    }
    return marks.Clear(native.toStdString(), SignatureOf(st));
}

// ---- FSOFolder ----

FSOFolder::FSOFolder(FileSystemObject* fso, QString sPath) : fso_(fso), sPath_(std::move(sPath)) {}

bool FSOFolder::IsRootFolder() const {
    return sPath_ == u"/";
}

const std::vector<FSOFile>& FSOFolder::Files() const {
    List();
    return files_;
}

const std::vector<FSOFolder>& FSOFolder::SubFolders() const {
    List();
    return subFolders_;
}

// One pass over the directory. The entry type comes from readdir where the file system gives it,
// so that plain files cost no stat; links are resolved to tell files from folders.
void FSOFolder::List() const {
    if (listed_) {
        return;
    }
    listed_ = true;
    if (sPath_.isEmpty()) {
        return;
    }
    DIR* dir = ::opendir(NativePath(sPath_).constData());
    if (dir == nullptr) {
        return;
    }
    const int dirFd = ::dirfd(dir);
    std::vector<std::string> fileNames;
    std::vector<std::string> folderNames;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            type = S_ISLNK(st.st_mode)   ? DT_LNK
                   : S_ISDIR(st.st_mode) ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                                         : DT_UNKNOWN;
        }
        if (type == DT_LNK) {
            // A link to a file is that file; a link to a folder is not entered.
            struct stat st {};
            if (::fstatat(dirFd, name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
                fileNames.emplace_back(name);
            }
        } else if (type == DT_REG) {
            fileNames.emplace_back(name);
        } else if (type == DT_DIR) {
            folderNames.emplace_back(name);
        }
    }
    ::closedir(dir);
    std::sort(fileNames.begin(), fileNames.end());
    std::sort(folderNames.begin(), folderNames.end());
    const QString prefix = IsRootFolder() ? sPath_ : sPath_ + u'/';
    files_.reserve(fileNames.size());
    for (const std::string& name : fileNames) {
        files_.emplace_back(fso_, prefix + PathFromNative(name), prefix.size());
    }
    subFolders_.reserve(folderNames.size());
    for (const std::string& name : folderNames) {
        subFolders_.emplace_back(fso_, prefix + PathFromNative(name));
    }
}

// ---- FileSystemObject ----

FileSystemObject::FileSystemObject() = default;
FileSystemObject::~FileSystemObject() = default;

bool FileSystemObject::FolderExists(const QString& sPath) const {
    struct stat st {};
    return StatPath(sPath, st) && S_ISDIR(st.st_mode);
}

bool FileSystemObject::FileExists(const QString& sPath) const {
    struct stat st {};
    return StatPath(sPath, st) && S_ISREG(st.st_mode);
}

std::optional<int64_t> FileSystemObject::FileSize(const QString& sPath) const {
    struct stat st {};
    if (!StatPath(sPath, st) || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(st.st_size);
}

FSOFolder FileSystemObject::GetFolder(const QString& sPath) {
    return FSOFolder(this, FullPath(sPath));
}

FSOFile FileSystemObject::GetFile(const QString& sPath) {
    const QString full = FullPath(sPath);
    return FSOFile(this, full, full.lastIndexOf(u'/') + 1);
}

QString FileSystemObject::GetExtensionName(const QString& sPath) {
    const qsizetype nameStart = sPath.lastIndexOf(u'/') + 1;
    const qsizetype dot = sPath.lastIndexOf(u'.');
    return dot >= nameStart ? sPath.mid(dot + 1) : QString();
}

QString FileSystemObject::GetParentFolderName(const QString& sPath) {
    QString path = sPath;
    while (path.size() > 1 && path.endsWith(u'/')) {
        path.chop(1);
    }
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0 || path == u"/") {
        return QString();
    }
    QString parent = path.left(slash);
    while (parent.size() > 1 && parent.endsWith(u'/')) {
        parent.chop(1);
    }
    return parent.isEmpty() ? QStringLiteral("/") : parent;
}

QString FileSystemObject::BuildPath(const QString& sFolder, const QString& sName) {
    if (sFolder.isEmpty() || sFolder.endsWith(u'/')) {
        return sFolder + sName;
    }
    return sFolder + u'/' + sName;
}

ArchiveMarkStore& FileSystemObject::Marks() {
    if (!marks_) {
        marks_ = std::make_unique<ArchiveMarkStore>(NativePath(MarkStorePath()).toStdString());
    }
    return *marks_;
}

void FileSystemObject::CloseMarks() {
    marks_.reset();
}
