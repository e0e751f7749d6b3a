#pragma once
// Shared pieces of the core's tests: a fresh world per test (temporary home, config and state
// folders, shared state started afresh), file-tree helpers, and the sqlite3 shell as an outside
// reader of the stores.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <ostream>
#include <string>

#include "app/Result.h"

/// Lets GoogleTest print texts readably.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString Root() const { return dir_.path(); }
    /// The per-user registry store file of this test's world.
    QString StoreFile() const;
    QString MarksFile() const;

    /// Creates a folder below Root(); returns its full path.
    QString MakeFolder(const QString& sRelative) const;
    /// Writes a file below Root() (creating folders); returns its full path.
    QString MakeFile(const QString& sRelative, const QByteArray& data = "x") const;
    /// The same with the given mode (umask aside).
    QString MakePrivateFile(const QString& sRelative, const QByteArray& data, unsigned mode) const;

    /// Runs SQL through the sqlite3 shell on the store; its output, rows separated by "\n",
    /// columns by "|". Fails the test when the shell fails.
    QString Sql(const QString& sSql) const { return SqlOn(StoreFile(), sSql); }
    static QString SqlOn(const QString& sFile, const QString& sSql);

    /// The stored backup list as seen by the shell: File0 .. File<Count-1> in order.
    QStringList StoredBackupList() const;

private:
    QTemporaryDir dir_;
};

/// What a lock's TryAcquire answered: "Acquired", "Busy", or "Unavailable: " and the reason.
std::string LockState(const Result<bool>& acquired);

/// Sets a file's modification time (whole seconds, local time).
void SetModified(const QString& sPath, const QDateTime& when);
/// The values of a list from its first to its last entry.
class CListString;
QStringList Values(CListString& list);
