#include "app/ArchiveName.h"

#include <sys/stat.h>

#include <QFile>

#include "app/FileSystem.h"
#include "app/NativePath.h"

namespace ArchiveName {

namespace {

constexpr int kLastNumber = 9999;

bool Taken(const QString& sPath) {
    struct stat info {};
    return ::lstat(QFile::encodeName(sPath).constData(), &info) == 0;
}

}  // namespace

QString Proposed(const QString& sFolder, const QDateTime& dtNow) {
    return FileSystemObject::BuildPath(
        sFolder, dtNow.toString(QStringLiteral("yyyyMMdd_HHmm")) + QStringLiteral(" Backup.zip"));
}

QString FirstFree(const QString& sPath) {
    if (!Taken(sPath)) {
        return sPath;
    }
    // The number goes before the extension of the last part; a name that starts with its only
    // dot has none.
    const qsizetype nameStart = sPath.lastIndexOf(u'/') + 1;
    qsizetype dot = sPath.lastIndexOf(u'.');
    if (dot <= nameStart) {
        dot = sPath.size();
    }
    const QString sStem = sPath.left(dot);
    const QString sExtension = sPath.mid(dot);
    for (int n = 2; n <= kLastNumber; ++n) {
        const QString sCandidate = QStringLiteral("%1 (%2)%3").arg(sStem).arg(n).arg(sExtension);
        if (!Taken(sCandidate)) {
            return sCandidate;
        }
    }
    return QString();
}

QString NoneFreeText(const QString& sPath) {
    return QStringLiteral("Neben „%1“ ist kein Name mehr frei.").arg(DisplayPath(sPath));
}

}  // namespace ArchiveName
