#include "tests/app/AppTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "app/modBackup.h"

void CoreTest::SetUp() {
    ASSERT_TRUE(dir_.isValid());
    qputenv("HOME", QFile::encodeName(Root() + "/home"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(Root() + "/config"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(Root() + "/state"));
    // A window of another test, or the user's own, must never answer this test's starts.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(Root() + "/runtime"));
    // The cache and the trash a new user's scans leave out lie in this home too.
    qunsetenv("XDG_CACHE_HOME");
    qunsetenv("XDG_DATA_HOME");
    QDir().mkpath(Root() + "/home");
    QDir().mkpath(Root() + "/runtime");
    modBackup::ResetState();
}

void CoreTest::TearDown() {
    modBackup::ResetState();
}

QString CoreTest::StoreFile() const {
    return Root() + "/config/tarvello/registry.sqlite3";
}
QString CoreTest::MarksFile() const {
    return Root() + "/state/tarvello/archive-marks.sqlite3";
}

QString CoreTest::MakeFolder(const QString& sRelative) const {
    const QString path = Root() + "/" + sRelative;
    EXPECT_TRUE(QDir().mkpath(path));
    return path;
}

QString CoreTest::MakeFile(const QString& sRelative, const QByteArray& data) const {
    const QString path = Root() + "/" + sRelative;
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(data);
    return path;
}

QString CoreTest::MakePrivateFile(const QString& sRelative, const QByteArray& data,
                                  unsigned mode) const {
    const QString path = MakeFile(sRelative, data);
    ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode));
    return path;
}

QString CoreTest::SqlOn(const QString& sFile, const QString& sSql) {
    QDir().mkpath(QFileInfo(sFile).path());
    QProcess shell;
    shell.start("sqlite3", {"-batch", sFile, sSql});
    const bool finished = shell.waitForFinished(30000);
    EXPECT_TRUE(finished);
    EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
    QString out = QString::fromUtf8(shell.readAllStandardOutput());
    if (out.endsWith('\n')) {
        out.chop(1);
    }
    return out;
}

QStringList CoreTest::StoredBackupList() const {
    const QString key = "'Software\\Tarvello\\Backup'";
    const int count =
        Sql("SELECT data FROM reg_values WHERE key=" + key + " AND name='Count'").toInt();
    const QString rows =
        Sql("SELECT name || '|' || data FROM reg_values WHERE key=" + key +
            " AND name GLOB 'File[0-9]*' ORDER BY CAST(substr(name, 5) AS INTEGER)");
    QStringList entries;
    const QStringList lines = rows.isEmpty() ? QStringList() : rows.split('\n');
    for (int i = 0; i < count; ++i) {
        const QString prefix = "File" + QString::number(i) + "|";
        const bool present = i < lines.size() && lines[i].startsWith(prefix);
        EXPECT_TRUE(present) << "no entry File" << i;
        entries << (present ? lines[i].mid(prefix.size()) : QString());
    }
    return entries;
}

void SetModified(const QString& sPath, const QDateTime& when) {
    struct timespec times[2];
    times[0].tv_sec = when.toSecsSinceEpoch();
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(sPath).constData(), times, 0), 0);
}

QStringList Values(CListString& list) {
    QStringList values;
    for (list.MoveFirst(); !list.EOL(); list.MoveNext()) {
        values << list.Data();
    }
    return values;
}

std::string LockState(const Result<bool>& acquired) {
    if (!acquired) {
        return "Unavailable: " + acquired.Reason().toStdString();
    }
    return *acquired ? "Acquired" : "Busy";
}
