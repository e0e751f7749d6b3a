#include "app/StateRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>

#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "list/CListString.h"

namespace StateRecord {

namespace {

const QByteArray kKeep = QByteArrayLiteral("/");

bool Below(const QByteArray& path, const QByteArray& folder) {
    if (folder == "/") {
        return path.startsWith('/');
    }
    return path.size() > folder.size() && path.startsWith(folder) && path[folder.size()] == '/';
}

Result<void> WriteAll(int fd, const QByteArray& text) {
    qsizetype done = 0;
    while (done < text.size()) {
        const ssize_t n =
            ::write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Failure{SystemReason(n < 0 ? errno : ENOSPC)};
        }
        done += n;
    }
    return {};
}

}  // namespace

QString PathFor(const QString& sArchivePath) {
    QString sBase = sArchivePath;
    if (sBase.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive)) {
        sBase.chop(4);
    }
    return sBase + QStringLiteral(".zustand");
}

Builder::Builder(const QByteArray& folder) {
    text_ = QByteArray(kFirstLine) + '\n' + folder.toPercentEncoding(kKeep) + '\n';
}

void Builder::AddFile(const QByteArray& path, uint64_t lSize, int64_t lMtime) {
    text_ += QByteArray::number(static_cast<qulonglong>(lSize)) + '\t' +
             QByteArray::number(static_cast<qlonglong>(lMtime)) + '\t' +
             path.toPercentEncoding(kKeep) + '\n';
}

void Builder::AddCutFolder(const QByteArray& path) {
    text_ += "*\t" + path.toPercentEncoding(kKeep) + '\n';
}

bool Parsed::Covers(const QByteArray& path) const {
    if (!Below(path, folder)) {
        return false;
    }
    // Few folders are ever cut: the level limit sits far below a home's depth.
    return std::none_of(cutFolders.begin(), cutFolders.end(),
                        [&path](const QByteArray& cut) { return Below(path, cut); });
}

bool Parsed::Lists(const QByteArray& path) const {
    return std::binary_search(files.begin(), files.end(), path);
}

Result<Parsed> Parse(const QByteArray& text) {
    const Failure damaged{QStringLiteral("der Zustand ist kein gültiger Sondrel-Zustand")};
    Parsed parsed;
    qsizetype pos = 0;
    const auto nextLine = [&text, &pos](QByteArrayView& line) {
        if (pos >= text.size()) {
            return false;
        }
        qsizetype end = text.indexOf('\n', pos);
        if (end < 0) {
            end = text.size();
        }
        line = QByteArrayView(text).sliced(pos, end - pos);
        pos = end + 1;
        return true;
    };
    QByteArrayView line;
    if (!nextLine(line) || line != QByteArrayView(kFirstLine) || !nextLine(line)) {
        return damaged;
    }
    parsed.folder = QByteArray::fromPercentEncoding(line.toByteArray());
    if (!parsed.folder.startsWith('/')) {
        return damaged;
    }
    while (nextLine(line)) {
        if (line.isEmpty()) {
            continue;
        }
        if (line.startsWith("*\t")) {
            parsed.cutFolders.push_back(
                QByteArray::fromPercentEncoding(line.sliced(2).toByteArray()));
            continue;
        }
        const qsizetype first = line.indexOf('\t');
        const qsizetype second = first < 0 ? -1 : line.indexOf('\t', first + 1);
        if (second < 0) {
            return damaged;
        }
        parsed.files.push_back(
            QByteArray::fromPercentEncoding(line.sliced(second + 1).toByteArray()));
    }
    std::sort(parsed.files.begin(), parsed.files.end());
    std::sort(parsed.cutFolders.begin(), parsed.cutFolders.end());
    return parsed;
}

Result<void> Write(const QString& sArchivePath, const QByteArray& text, const QString& sPassword,
                   modBackup::EncryptionMethod eEncryption) {
    const QString sRecord = PathFor(sArchivePath);
    const auto failed = [&sRecord](const QString& sReason) {
        return Failure{QStringLiteral("Der Zustand „%1“ konnte nicht geschrieben werden: %2")
                           .arg(DisplayPath(sRecord), sReason)};
    };
    struct stat st {};
    if (::lstat(NativePath(sRecord).constData(), &st) == 0) {
        return failed(QStringLiteral("eine Datei dieses Namens gibt es schon"));
    }
    // The plain list names every file of the user: it waits in the private folder only.
    const QString sFolder = StateFolder();
    const QByteArray folder = NativePath(sFolder);
    for (qsizetype slash = folder.indexOf('/', 1); slash > 0;
         slash = folder.indexOf('/', slash + 1)) {
        ::mkdir(folder.left(slash).constData(), 0700);
    }
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) {
        return failed(SystemReason(errno));
    }
    const QString sPlain =
        sFolder + u'/' + sRecord.section(u'/', -1) + QStringLiteral(".%1.txt").arg(::getpid());
    const QByteArray plain = NativePath(sPlain);
    ::unlink(plain.constData());
    const int fd =
        ::open(plain.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return failed(SystemReason(errno));
    }
    const Result<void> written = WriteAll(fd, text);
    const int closeError = ::close(fd) == 0 ? 0 : errno;
    struct RemovePlain {
        QByteArray path;
        ~RemovePlain() { ::unlink(path.constData()); }
    } removePlain{plain};
    if (!written) {
        return failed(written.Reason());
    }
    if (closeError != 0) {
        return failed(SystemReason(closeError));
    }

    BackupSettings settings;
    settings.sArchivePath = sRecord;
    // A copy of its own: the run overwrites its password when it ends.
    settings.sPassword = QString(sPassword.constData(), sPassword.size());
    settings.eEncryption = eEncryption;
    settings.bAdjustLastBackupDate = false;
    settings.bClearArchiveFlag = false;
    settings.bClearList = false;
    CListString files;
    files.Add(sPlain);
    BackupRun run(
        settings, [](const QString&, float) {}, nullptr);
    if (const Result<void> done = run.Run(&files); !done) {
        return failed(done.Reason());
    }
    if (run.ArchivePath() != sRecord) {
        return failed(QStringLiteral("er liegt unter „%1“").arg(DisplayPath(run.ArchivePath())));
    }
    return {};
}

}  // namespace StateRecord
