#include "app/OwnFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "app/FileSystem.h"
#include "app/NativePath.h"
#include "app/modRegistry.h"
#include "platform/StoreFile.h"

namespace {

struct Record {
    uint64_t dev = 0;
    uint64_t ino = 0;
    int64_t size = 0;
    QString sPath;
};

bool Look(const QString& sPath, struct stat& st) {
    return !sPath.isEmpty() && ::stat(NativePath(sPath).constData(), &st) == 0;
}

QList<Record> ReadRecords() {
    QList<Record> records;
    QFile file(OwnFiles::RecordPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return records;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 4) {
            continue;
        }
        bool okDev = false;
        bool okIno = false;
        bool okSize = false;
        Record record{fields[0].toULongLong(&okDev), fields[1].toULongLong(&okIno),
                      fields[2].toLongLong(&okSize),
                      PathFromNative(QByteArray::fromPercentEncoding(fields[3]))};
        if (okDev && okIno && okSize && record.sPath.startsWith(u'/')) {
            records.append(std::move(record));
        }
    }
    return records;
}

bool StillThere(const Record& record) {
    struct stat st {};
    return Look(record.sPath, st) && st.st_dev == record.dev && st.st_ino == record.ino;
}

bool DigitsAt(QStringView s, qsizetype from, qsizetype count) {
    if (s.size() < from + count) {
        return false;
    }
    for (qsizetype i = from; i < from + count; ++i) {
        if (!s[i].isDigit() || s[i].unicode() > u'9') {
            return false;
        }
    }
    return true;
}

// The folders the single window's lock and socket may live in (InstanceLock.cpp chooses among
// them); the one under the state folder is inside that folder already.
QStringList RuntimeFolders() {
    QStringList folders;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime)) {
        folders.append(runtime + QStringLiteral("/tarvello"));
    }
    folders.append(QStringLiteral("/run/user/%1/tarvello").arg(::getuid()));
    return folders;
}

}  // namespace

QString OwnFiles::RecordPath() {
    return StateFolder() + QStringLiteral("/archives.txt");
}

QStringList OwnFiles::RecordedArchives() {
    QStringList paths;
    for (const Record& record : ReadRecords()) {
        paths.append(record.sPath);
    }
    return paths;
}

OwnFiles OwnFiles::Load(const QString& sArchiveFolder) {
    OwnFiles own;
    struct stat st {};
    QStringList ownFolders = RuntimeFolders();
    ownFolders.append(StateFolder());
    ownFolders.append(FileSystemObject::GetParentFolderName(
        modRegistry::StorePath(modRegistry::HKEY_CURRENT_USER)));
    for (const QString& sFolder : ownFolders) {
        if (Look(sFolder, st) && S_ISDIR(st.st_mode)) {
            own.ownFolders_.emplace(st.st_dev, st.st_ino);
        }
    }
    if (Look(sArchiveFolder, st) && S_ISDIR(st.st_mode)) {
        own.archiveFolders_.emplace(st.st_dev, st.st_ino);
    }
    for (const Record& record : ReadRecords()) {
        own.archives_.emplace(record.dev, record.ino, record.size);
        if (Look(FileSystemObject::GetParentFolderName(record.sPath), st)) {
            own.archiveFolders_.emplace(st.st_dev, st.st_ino);
        }
    }
    return own;
}

OwnFiles::Folder OwnFiles::KindOf(const QString& sPath) const {
    struct stat st {};
    if (!Look(sPath, st)) {
        return Folder::Plain;
    }
    const FolderId id{st.st_dev, st.st_ino};
    if (ownFolders_.count(id) != 0) {
        return Folder::Own;
    }
    return archiveFolders_.count(id) != 0 ? Folder::Archives : Folder::Plain;
}

bool OwnFiles::IsOwnFile(const QString& sPath, qsizetype nameStart, Folder kind) const {
    const QStringView name = QStringView(sPath).sliced(nameStart);
    if (IsWorkName(name)) {
        return true;
    }
    if (kind == Folder::Archives) {
        return IsArchiveName(name) || IsStateRecordName(name) || IsRecordedArchive(sPath);
    }
    // An archive moved elsewhere keeps its identity; other files are not looked at.
    return (name.endsWith(u".zip", Qt::CaseInsensitive) || name.endsWith(u".zustand")) &&
           IsRecordedArchive(sPath);
}

bool OwnFiles::IsRecordedArchive(const QString& sPath) const {
    struct stat st {};
    return !archives_.empty() && Look(sPath, st) &&
           archives_.count({st.st_dev, st.st_ino, static_cast<int64_t>(st.st_size)}) != 0;
}

bool OwnFiles::IsWorkName(QStringView sName) {
    if (!sName.startsWith(u'.')) {
        return false;
    }
    // ".<archive's name>.<user id>.unfertig", of any user of a shared folder.
    // A restore's ".<name>.<user id>.wiederherstellen" alike.
    for (const QStringView suffix :
         {QStringView(u".unfertig"), QStringView(u".wiederherstellen")}) {
        if (!sName.endsWith(suffix)) {
            continue;
        }
        const QStringView rest = sName.chopped(suffix.size());
        const qsizetype dot = rest.lastIndexOf(u'.');
        return dot > 1 && dot + 1 < rest.size() && DigitsAt(rest, dot + 1, rest.size() - dot - 1);
    }
    // The engine's ".zip32-XXXXXX.tmp".
    return sName.size() == 17 && sName.startsWith(u".zip32-") && sName.endsWith(u".tmp");
}

bool OwnFiles::IsArchiveName(QStringView sName) {
    if (!sName.endsWith(u".zip") || !DigitsAt(sName, 0, 8) || sName.size() < 24 ||
        sName[8] != u'_' || !DigitsAt(sName, 9, 4) || sName.sliced(13, 7) != u" Backup") {
        return false;
    }
    QStringView rest = sName.sliced(20).chopped(4);
    while (!rest.isEmpty()) {
        if (rest.startsWith(u" (fehlerhaft)")) {
            rest = rest.sliced(13);
            continue;
        }
        const qsizetype close = rest.indexOf(u')');
        if (!rest.startsWith(u" (") || close < 3 || !DigitsAt(rest, 2, close - 2)) {
            return false;
        }
        rest = rest.sliced(close + 1);
    }
    return true;
}

bool OwnFiles::IsStateRecordName(QStringView sName) {
    return sName.endsWith(u".zustand") &&
           IsArchiveName(sName.chopped(8).toString() + QStringLiteral(".zip"));
}

bool OwnFiles::Remember(const QString& sArchivePath) {
    struct stat st {};
    if (!Look(sArchivePath, st)) {
        return false;
    }
    QByteArray text;
    const auto append = [&text](uint64_t dev, uint64_t ino, int64_t size, const QString& sPath) {
        text += QByteArray::number(static_cast<qulonglong>(dev)) + ' ' +
                QByteArray::number(static_cast<qulonglong>(ino)) + ' ' +
                QByteArray::number(static_cast<qlonglong>(size)) + ' ' +
                NativePath(sPath).toPercentEncoding("/") + '\n';
    };
    for (const Record& record : ReadRecords()) {
        if (record.sPath != sArchivePath && StillThere(record)) {
            append(record.dev, record.ino, record.size, record.sPath);
        }
    }
    append(st.st_dev, st.st_ino, st.st_size, sArchivePath);

    const QString sRecord = RecordPath();
    if (!StoreFile::MakeParentFolders(NativePath(sRecord).toStdString())) {
        return false;
    }
    // Written whole or not at all: a reader never meets half of it.
    QSaveFile file(sRecord);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}
