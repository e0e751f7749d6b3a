// The backup run without a window: where its archive lies while it is written, after it is
// checked, after a failed check and after a stop, and which archive marks a successful run
// clears. Archives are read back with unzip and Python's zipfile.

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <functional>

#include "app/ArchiveName.h"
#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "list/CListString.h"
#include "tests/app/AppTestSupport.h"
#include "zipcomponent/CZIP.h"

namespace {

// What unzip -t and Python's zipfile make of an archive; names as raw bytes.
struct ZipReport {
    int unzipStatus = -1;
    QString bad;  // zipfile's testzip: the first damaged entry
    QList<QByteArray> names;
};

ZipReport CheckZip(const QString& archive) {
    // The path as hex, so that bytes that are no UTF-8 reach both tools unchanged.
    QProcess python;
    python.start("python3",
                 {"-c",
                  "import json, os, subprocess, sys, zipfile\n"
                  "path = os.fsdecode(bytes.fromhex(sys.argv[1]))\n"
                  "unzip = subprocess.run(['unzip', '-t', path], capture_output=True)\n"
                  "z = zipfile.ZipFile(path)\n"
                  "raw = lambda i: i.orig_filename.encode('utf-8' if i.flag_bits & 0x800 else "
                  "'cp437')\n"
                  "print(json.dumps({'unzip': unzip.returncode, 'bad': z.testzip() or '',\n"
                  "                  'names': [raw(i).hex() for i in z.infolist()]}))\n",
                  QString::fromLatin1(NativePath(archive).toHex())});
    python.waitForFinished(120000);
    ZipReport report;
    const QJsonObject json = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    if (python.exitCode() != 0 || json.isEmpty()) {
        ADD_FAILURE() << python.readAllStandardError().toStdString();
        return report;
    }
    report.unzipStatus = json["unzip"].toInt();
    report.bad = json["bad"].toString();
    for (const QJsonValue& name : json["names"].toArray()) {
        report.names << QByteArray::fromHex(name.toString().toLatin1());
    }
    return report;
}

// Every name in a folder, hidden ones too.
QStringList FolderNames(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                               QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray RandomBytes(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    for (char& c : data) {
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    }
    return data;
}

}  // namespace

class BackupRunTest : public CoreTest {
protected:
    void TearDown() override {
        BackupRun::SetTestHooks({});
        CoreTest::TearDown();
    }

    QStringList MakeFiles(const QString& folder, int count, qsizetype bytes = 16) const {
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            paths << MakeFile(QString("%1/d%2.bin").arg(folder).arg(i, 5, 10, QChar('0')),
                              RandomBytes(bytes));
        }
        return paths;
    }
    static BackupSettings Settings(const QString& archive) {
        BackupSettings settings;
        settings.sArchivePath = archive;
        settings.sComment = "Test";
        settings.bClearList = false;
        settings.bAdjustLastBackupDate = false;
        return settings;
    }
    static Result<void> Run(BackupRun& run, const QStringList& paths) {
        CListString list;
        for (const QString& p : paths) {
            list.Add(p);
        }
        const Result<void> done = run.Run(&list);
        EXPECT_TRUE(done || !done.Reason().isEmpty());
        return done;
    }
    static QList<QByteArray> Entries(const QStringList& paths) {
        QList<QByteArray> names;
        for (const QString& p : paths) {
            names << NativePath(p.mid(1));
        }
        return names;
    }
    static QString WorkFileName(const QString& archive) {
        return ArchiveName::WorkName(archive).section('/', -1);
    }
};

// The written archive is under its work name until it is checked; the real name only then.
TEST_F(BackupRunTest, TheArchiveGetsItsNameOnlyOnceWrittenAndChecked) {
    const QStringList files = MakeFiles("daten", 3);
    const QString folder = MakeFolder("ziel");
    const QString archive = folder + "/20261207_1405 Backup.zip";
    QStringList seenBeforeCheck;
    BackupRun::TestHooks hooks;
    hooks.beforeVerify = [&](const QString& work) {
        EXPECT_EQ(work, ArchiveName::WorkName(archive));
        seenBeforeCheck = FolderNames(folder);
    };
    BackupRun::SetTestHooks(hooks);
    BackupRun run(Settings(archive), nullptr, nullptr);
    const Result<void> done = Run(run, files);
    ASSERT_TRUE(done) << done.Reason().toStdString();

    EXPECT_EQ(seenBeforeCheck, QStringList({WorkFileName(archive)}));
    EXPECT_TRUE(WorkFileName(archive).startsWith(".20261207_1405 Backup.zip."));
    EXPECT_EQ(run.ArchivePath(), archive);
    EXPECT_EQ(FolderNames(folder), QStringList({"20261207_1405 Backup.zip"}));
    const ZipReport zip = CheckZip(archive);
    EXPECT_EQ(zip.unzipStatus, 0);
    EXPECT_EQ(zip.names, Entries(files));
}

// An AES password longer than 7-Zip takes fails the run before anything is written; the
// traditional method takes it. No password stays with the archiver after a run.
TEST_F(BackupRunTest, PasswordTooLongForAesFailsAndNoneStaysBehind) {
    const QStringList files = MakeFiles("daten", 1);
    const QString folder = MakeFolder("ziel");
    BackupSettings settings = Settings(folder + "/aes.zip");
    settings.sPassword = QString(100, 'x');
    BackupRun aes(settings, nullptr, nullptr);
    EXPECT_EQ(Run(aes, files).Reason(),
              "Das Passwort ist länger als 99 Byte; 7-Zip könnte das mit AES-256 verschlüsselte "
              "Archiv nicht öffnen.");
    EXPECT_EQ(FolderNames(folder), QStringList());
    settings.sArchivePath = folder + "/zip20.zip";
    settings.eEncryption = modBackup::EncryptionMethod::ZIP20;
    BackupRun zip20(settings, nullptr, nullptr);
    const Result<void> done = Run(zip20, files);
    ASSERT_TRUE(done) << done.Reason().toStdString();
    QProcess unzip;
    unzip.start("unzip", {"-tq", "-P", QString(100, 'x'), folder + "/zip20.zip"});
    unzip.waitForFinished(60000);
    EXPECT_EQ(unzip.exitCode(), 0) << unzip.readAll().toStdString();
    EXPECT_EQ(CZIP().ZIPPassword(), "");
}

// A list longer than one archiver run is written in several; stopped between them (the process
// ends there, as with a power cut), the run leaves nothing under the archive's name, and the next
// run into the folder removes the work file it left.
TEST_F(BackupRunTest, ARunStoppedBetweenArchiverRunsLeavesNoArchiveAndItsWorkFileIsRemovedLater) {
    const QStringList files = MakeFiles("viele", BackupRun::kFilesPerRun + 4, 1);
    const QString folder = MakeFolder("ziel");
    const QString archive = folder + "/backup.zip";
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            BackupRun::TestHooks hooks;
            hooks.afterArchiverRun = [](const QString&) { ::_exit(7); };
            BackupRun::SetTestHooks(hooks);
            BackupRun run(Settings(archive), nullptr, nullptr);
            EXPECT_TRUE(Run(run, files));
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(FolderNames(folder), QStringList({WorkFileName(archive)}));

    // Others' files of that pattern stay; so does a file that merely looks like one.
    const QString foreign = MakeFile("ziel/.backup.zip.4242.unfertig", "anderer Benutzer");
    const QString lookalike = MakeFile("ziel/backup.zip.unfertig", "meins");
    const bool bOtherOwner = ::geteuid() == 0;
    const QString owned = MakeFile("ziel/.alt.zip." + QString::number(::geteuid()) + ".unfertig");
    if (bOtherOwner) {
        ASSERT_EQ(::chown(NativePath(owned).constData(), 4242, 4242), 0);
    }
    BackupRun::SetTestHooks({});
    BackupRun next(Settings(folder + "/neu.zip"), nullptr, nullptr);
    const Result<void> done = Run(next, files.mid(0, 2));
    ASSERT_TRUE(done) << done.Reason().toStdString();
    QStringList expected = {".backup.zip.4242.unfertig", "backup.zip.unfertig", "neu.zip"};
    if (bOtherOwner) {
        expected << QFileInfo(owned).fileName();
    }
    expected.sort();
    EXPECT_EQ(FolderNames(folder), expected);
    EXPECT_TRUE(QFile::exists(foreign) && QFile::exists(lookalike));
}

// One byte damaged between writing and checking: the archive is kept under a name that says so,
// the failure names it, and nothing is applied.
TEST_F(BackupRunTest, AFailedCheckLeavesOnlyTheArchiveMarkedDamaged) {
    const QStringList files = MakeFiles("daten", 3, 4000);
    const QByteArray content = ReadBytes(files[1]);
    const QString folder = MakeFolder("ziel");
    BackupRun::TestHooks hooks;
    hooks.beforeVerify = [&](const QString& work) {
        QByteArray bytes = ReadBytes(work);
        const qsizetype at = bytes.indexOf(content);  // random bytes are stored as they are
        ASSERT_GE(at, 0);
        bytes[at + 100] = static_cast<char>(bytes[at + 100] ^ 0x01);
        QFile file(work);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    BackupRun::SetTestHooks(hooks);
    BackupSettings settings = Settings(folder + "/20261207_1405 Backup.zip");
    settings.bAdjustLastBackupDate = true;
    BackupRun run(settings, nullptr, nullptr);
    const Result<void> failed = Run(run, files);
    EXPECT_FALSE(failed);

    const QString damaged = folder + "/20261207_1405 Backup (fehlerhaft).zip";
    EXPECT_EQ(FolderNames(folder), QStringList({"20261207_1405 Backup (fehlerhaft).zip"}));
    EXPECT_EQ(run.ArchivePath(), damaged);
    EXPECT_EQ(BackupRun::FailedBecause(failed.Reason()),
              "Das Backup ist fehlgeschlagen.\n\nDas Archiv ist fehlerhaft: " + files[1].mid(1) +
                  ": Prüfsumme (CRC) stimmt nicht\n\nDas fehlerhafte Archiv "
                  "liegt zur Ansicht unter „" +
                  damaged + "“.");
    EXPECT_EQ(CheckZip(damaged).bad, files[1].mid(1));
    EXPECT_FALSE(run.ApplyAfterEffects(nullptr));
    EXPECT_FALSE(modRegistry::RegTryReadText(modRegistry::HKEY_CURRENT_USER, modBackup::kMainKey,
                                             "LastBackupAt"));
}

// "Ergänzen": the archive chosen stays byte for byte as it was until the grown one, checked,
// replaces it; where no hard link can be made, a copy is grown. A grow that fails its check
// leaves the old archive as it was.
TEST_F(BackupRunTest, AGrownArchiveStaysAsItWasUntilTheCheckedOneReplacesIt) {
    const QStringList files = MakeFiles("daten", 2, 3000);
    const QString folder = MakeFolder("ziel");
    const QString existing = folder + "/vorhanden.zip";
    for (const bool bNoLinks : {false, true}) {
        for (const bool bDamage : {false, true}) {
            SCOPED_TRACE(bNoLinks ? "copy" : "link");
            SCOPED_TRACE(bDamage ? "damaged" : "checked");
            QFile::remove(existing);
            QFile::remove(ArchiveName::Damaged(existing));
            QProcess python;
            python.start("python3", {"-c",
                                     "import sys, zipfile\n"
                                     "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                     "    z.writestr('alt.txt', 'alt')\n",
                                     existing});
            ASSERT_TRUE(python.waitForFinished(60000) && python.exitCode() == 0);
            ASSERT_EQ(::chmod(NativePath(existing).constData(), 0640), 0);
            const QByteArray before = ReadBytes(existing);
            bool bUntouchedAtCheck = false;
            BackupRun::TestHooks hooks;
            hooks.bNoHardLinks = bNoLinks;
            hooks.beforeVerify = [&](const QString& work) {
                bUntouchedAtCheck = ReadBytes(existing) == before;
                if (bDamage) {
                    QFile file(work);
                    ASSERT_TRUE(file.resize(file.size() - 30));
                }
            };
            BackupRun::SetTestHooks(hooks);
            BackupSettings settings = Settings(existing);
            settings.bGrowExisting = true;
            BackupRun run(settings, nullptr, nullptr);
            const Result<void> done = Run(run, files);
            EXPECT_EQ(done.Ok(), !bDamage) << done.Reason().toStdString();
            EXPECT_TRUE(bUntouchedAtCheck);
            if (bDamage) {
                EXPECT_EQ(ReadBytes(existing), before);
                EXPECT_EQ(run.ArchivePath(), ArchiveName::Damaged(existing));
                EXPECT_EQ(FolderNames(folder),
                          QStringList({"vorhanden (fehlerhaft).zip", "vorhanden.zip"}));
                continue;
            }
            EXPECT_EQ(FolderNames(folder), QStringList({"vorhanden.zip"}));
            const ZipReport zip = CheckZip(existing);
            EXPECT_EQ(zip.unzipStatus, 0);
            EXPECT_EQ(zip.names, QList<QByteArray>({"alt.txt"}) + Entries(files));
            struct stat info {};
            ASSERT_EQ(::stat(NativePath(existing).constData(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0640u);  // a grown archive keeps its mode
        }
    }
}

// A long archive name still has a work name the file system takes.
TEST_F(BackupRunTest, ALongArchiveNameStillGetsAWorkName) {
    const QString archive = MakeFolder("ziel") + "/" + QString(120, QChar(u'ä')) + ".zip";
    EXPECT_LE(NativePath(WorkFileName(archive)).size(), 255);
    EXPECT_TRUE(WorkFileName(archive).startsWith("." + QString(110, QChar(u'ä'))));
    BackupRun run(Settings(archive), nullptr, nullptr);
    const Result<void> done = Run(run, MakeFiles("daten", 1));
    EXPECT_TRUE(done) << done.Reason().toStdString();
    EXPECT_EQ(run.ArchivePath(), archive);
}

// After a successful run the archive marks of the files archived are cleared, but a file
// changed during the run keeps its mark: its new state was not saved.
TEST_F(BackupRunTest, OnlyFilesUnchangedSinceTheStartLoseTheirArchiveMark) {
    const QStringList files = MakeFiles("daten", 3);
    FileSystemObject& fso = modBackup::State().FSO;
    for (const QString& f : files) {
        ASSERT_EQ(fso.GetFile(f).Attributes() & AttrArchive, AttrArchive);
    }
    BackupSettings settings = Settings(MakeFolder("ziel") + "/backup.zip");
    settings.bClearArchiveFlag = true;
    BackupRun run(
        settings,
        [&](const QString& sFilename, float) {
            if (sFilename == files[1]) {
                QFile file(files[1]);
                ASSERT_TRUE(file.open(QIODevice::Append));
                file.write("neu");
            }
        },
        nullptr);
    const Result<void> done = Run(run, files);
    ASSERT_TRUE(done) << done.Reason().toStdString();
    EXPECT_TRUE(run.ApplyAfterEffects(nullptr));
    EXPECT_EQ(fso.GetFile(files[0]).Attributes() & AttrArchive, 0);
    EXPECT_EQ(fso.GetFile(files[1]).Attributes() & AttrArchive, AttrArchive);
    EXPECT_EQ(fso.GetFile(files[2]).Attributes() & AttrArchive, 0);
}
