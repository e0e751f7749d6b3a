// Restoring from a series of daily runs of the real sondrel-backup --search, with the real
// sondrel-restore: one file at a day, a folder at a day (deleted files stay deleted, a renamed file
// comes back under its new name only), everything into an empty folder; hostile archives made with
// Python's zipfile, a link inside the target, a wrong password, a killed restore, a different
// file in the way. The state record's text, the names scans leave alone and the moment's syntax.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QThread>

#include "app/BackupOptions.h"
#include "app/OwnFiles.h"
#include "app/Restore.h"
#include "app/RestoreCommand.h"
#include "app/StateRecord.h"
#include "app/modBackup.h"
#include "tests/app/AppTestSupport.h"

namespace {

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

QProcessEnvironment Quiet() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
        env.remove(name);
    }
    return env;
}

Outcome Start(const QString& program, const QStringList& args) {
    QProcess process;
    process.setProcessEnvironment(Quiet());
    process.start(program, args);
    EXPECT_TRUE(process.waitForFinished(120000));
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

void Tool(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    ASSERT_TRUE(process.waitForFinished(60000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
}

QByteArray Read(const QString& sPath) {
    QFile file(sPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<fehlt>");
}

int64_t Mtime(const QString& sPath) {
    struct stat st {};
    return ::lstat(QFile::encodeName(sPath).constData(), &st) == 0 ? st.st_mtime : -1;
}

// Every file below a folder: relative path, bytes and modification time.
QStringList Tree(const QString& sFolder) {
    QStringList files;
    QDirIterator it(sFolder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString sPath = it.next();
        files << sPath.mid(sFolder.size()) + " " + QString::number(qHash(Read(sPath))) + " " +
                     QString::number(Mtime(sPath));
    }
    files.sort();
    return files;
}

// Makes a ZIP archive with Python's zipfile: entries as name=text pairs.
void PythonZip(const QString& sArchive, const QStringList& entries) {
    QStringList args{"-c",
                     "import sys, zipfile\n"
                     "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                     "    for e in sys.argv[2:]:\n"
                     "        n, t = e.split('=', 1)\n"
                     "        i = zipfile.ZipInfo(n, (2026, 11, 30, 10, 0, 0))\n"
                     "        i.external_attr = 0o100644 << 16\n"
                     "        z.writestr(i, t)\n",
                     sArchive};
    Tool("python3", args + entries);
}

}  // namespace

// A home backed up by scheduled runs on three days; each run's archive and record renamed to its
// day, as if the timer had run then.
class RestoreDrill : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ASSERT_TRUE(modBackup::WriteOption("SearchPath", Home()));
        ASSERT_TRUE(modBackup::WriteOption("DefaultPath", Archives()));
        MakeFolder("sicherung");
    }

    QString Home() const { return Root() + "/daten"; }
    QString Archives() const { return Root() + "/sicherung"; }

    // Runs the daily backup and dates its archive and record to the day, 09:00.
    void Day(int day, const QStringList& extra = {}) {
        modBackup::ResetState();
        const Outcome run = Start(SONDREL_BACKUP_PROGRAM, QStringList{"--search"} + extra);
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const QStringList made =
            QDir(Archives()).entryList({"2*Backup*.zip"}, QDir::Files, QDir::Time);
        QString sNewest;
        for (const QString& sName : made) {
            if (!sName.startsWith("202511")) {
                sNewest = sName;
            }
        }
        ASSERT_FALSE(sNewest.isEmpty());
        const QString sBase = QString("202511%1_0900 Backup").arg(day, 2, 10, QChar('0'));
        const QString sFrom = Archives() + "/" + sNewest;
        ASSERT_TRUE(QFile::rename(sFrom, Archives() + "/" + sBase + ".zip"));
        ASSERT_TRUE(
            QFile::rename(StateRecord::PathFor(sFrom), Archives() + "/" + sBase + ".zustand"));
    }

    Outcome Restore(const QStringList& args) {
        return Start(SONDREL_RESTORE_PROGRAM, QStringList{"--folder", Archives()} + args);
    }

    void Edit(const QString& sRelative, const QByteArray& data, int day) {
        const QString sPath = Home() + "/" + sRelative;
        QDir().mkpath(QFileInfo(sPath).path());
        QFile file(sPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
        file.close();
        SetModified(sPath, QDateTime(QDate(2025, 11, day), QTime(8, 0)));
    }

    // Day 1: everything; day 2: a letter changed, an invoice deleted, a letter renamed, a copy
    // with its times; day 3: the letter changed again, a file moved to another folder.
    void ThreeDays() {
        Edit("Briefe/an Bank.txt", "Tag 1", 1);
        Edit("Dokumente/Rechnung.pdf", "%PDF Rechnung", 1);
        Edit("Dokumente/Entwurf.txt", "Entwurf", 1);
        Edit("Fotos/bild.jpg", QByteArray(300000, 'j'), 1);
        Edit("caf\xc3\xa9.txt", "Umlaut", 1);
        Day(1);
        Edit("Briefe/an Bank.txt", "Tag 2, länger", 2);
        ASSERT_TRUE(QFile::remove(Home() + "/Dokumente/Rechnung.pdf"));
        Tool("mv", {Home() + "/Dokumente/Entwurf.txt", Home() + "/Dokumente/Brief.txt"});
        Tool("cp", {"-p", Home() + "/Fotos/bild.jpg", Home() + "/Dokumente/bild (Kopie).jpg"});
        Day(2);
        Edit("Briefe/an Bank.txt", "Tag 3", 3);
        Tool("mv", {Home() + "/caf\xc3\xa9.txt", Home() + "/Briefe/"});
        Day(3);
    }
};

// One file as it was on day 2, while it was changed again on day 3.
TEST_F(RestoreDrill, OneFileComesBackAsItWasOnTheChosenDay) {
    ThreeDays();
    const QString sTarget = Root() + "/ziel";
    const QString sLetter = Home() + "/Briefe/an Bank.txt";
    const Outcome versions = Restore({"--versions", sLetter});
    EXPECT_EQ(versions.status, 0) << versions.err.toStdString();
    EXPECT_EQ(versions.out, "2025-11-03 09:00\t5\t" + Archives() + "/20251103_0900 Backup.zip\n" +
                                "2025-11-02 09:00\t14\t" + Archives() +
                                "/20251102_0900 Backup.zip\n" + "2025-11-01 09:00\t5\t" +
                                Archives() + "/20251101_0900 Backup.zip\n");
    const Outcome restored = Restore({"--at", "2025-11-02 12:00", "--target", sTarget, sLetter});
    EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
    EXPECT_EQ(restored.out, "1 Datei, 0,0 MB wiederhergestellt, 0 übersprungen\n");
    EXPECT_EQ(Read(sTarget + sLetter), "Tag 2, länger");
    EXPECT_EQ(Mtime(sTarget + sLetter),
              QDateTime(QDate(2025, 11, 2), QTime(8, 0)).toSecsSinceEpoch());
    // Before the first run there was nothing.
    const Outcome early = Restore({"--at", "2025-10-30", "--target", sTarget, sLetter});
    EXPECT_EQ(early.status, 2);
}

// The folder at day 2: the deleted invoice stays away, the renamed draft is there under its new
// name only; with --deleted the invoice comes back too. --list writes nothing.
TEST_F(RestoreDrill, AFolderAtADayLeavesDeletedFilesAndOldNamesOut) {
    ThreeDays();
    const QString sTarget = Root() + "/ziel";
    const QString sDocs = Home() + "/Dokumente";
    const Outcome listed = Restore({"--list", "--at", "2025-11-02", sDocs});
    EXPECT_EQ(listed.status, 0) << listed.err.toStdString();
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.out, sDocs + "/Brief.txt\t2025-11-02 09:00\t" + Archives() +
                              "/20251102_0900 Backup.zip\n" + sDocs +
                              "/bild (Kopie).jpg\t2025-11-02 09:00\t" + Archives() +
                              "/20251102_0900 Backup.zip\n");
    EXPECT_FALSE(QFileInfo::exists(sTarget));

    const Outcome restored = Restore({"--at", "2025-11-02", "--target", sTarget, sDocs});
    EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
    QStringList docs = QDir(sTarget + sDocs).entryList(QDir::Files | QDir::Hidden);
    docs.sort();
    EXPECT_EQ(docs.join(u'|').toStdString(), "Brief.txt|bild (Kopie).jpg");
    EXPECT_EQ(Read(sTarget + sDocs + "/Brief.txt"), "Entwurf");

    const Outcome all = Restore({"--list", "--deleted", "--at", "2025-11-02", sDocs});
    EXPECT_TRUE(all.out.contains("/Rechnung.pdf\t2025-11-01 09:00"));
    EXPECT_TRUE(all.out.contains("/Entwurf.txt\t2025-11-01 09:00"));
}

// Everything after a disk loss: the empty target holds the home as it was on day 3, byte for byte
// with its times; a name that is not UTF-8 comes back exact.
TEST_F(RestoreDrill, EverythingIntoAnEmptyFolderIsTheHomeOfThatDay) {
    // A Latin-1 name, made byte for byte.
    Edit("roh/platzhalter", "", 1);
    const QByteArray raw = QFile::encodeName(Home()) + "/roh/\xe4rger.txt";
    ASSERT_EQ(::rename(QFile::encodeName(Home() + "/roh/platzhalter").constData(), raw.constData()),
              0);
    ThreeDays();
    const QString sTarget = Root() + "/leer";
    ASSERT_TRUE(QDir().mkpath(sTarget));
    const Outcome restored = Restore({"--target", sTarget});
    EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
    EXPECT_EQ(restored.out.toStdString(), "6 Dateien, 0,6 MB wiederhergestellt, 0 übersprungen\n");
    EXPECT_EQ(Tree(sTarget + Home()).join(u'\n'), Tree(Home()).join(u'\n'));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Home()).constData() + QByteArray("/roh/\xe4rger.txt"), &st),
              0);
    const QByteArray latin1 = QFile::encodeName(sTarget + Home()) + "/roh/\xe4rger.txt";
    EXPECT_EQ(::stat(latin1.constData(), &st), 0);
    // Files come back with the mode they were archived with, 0644 here.
    EXPECT_EQ(st.st_mode & 0777, 0644U & ~static_cast<unsigned>(::umask(::umask(0))));

    // Again into the same place: every file is there already, none is touched.
    const Outcome again = Restore({"--target", sTarget});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out.toStdString(), "0 Dateien, 0,0 MB wiederhergestellt, 6 übersprungen\n");
}

// The state record is an archive of its own that other clients read: one entry, the files the
// search saw, taken or not.
TEST_F(RestoreDrill, TheStateRecordListsEveryFileTheSearchSaw) {
    ThreeDays();
    QProcess python;
    python.start("python3", {"-c",
                             "import sys, zipfile\n"
                             "z = zipfile.ZipFile(sys.argv[1])\n"
                             "assert z.testzip() is None\n"
                             "assert len(z.namelist()) == 1\n"
                             "sys.stdout.buffer.write(z.read(z.namelist()[0]))\n",
                             Archives() + "/20251103_0900 Backup.zustand"});
    ASSERT_TRUE(python.waitForFinished(60000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    const Result<StateRecord::Parsed> parsed = StateRecord::Parse(python.readAllStandardOutput());
    ASSERT_TRUE(parsed) << parsed.Reason().toStdString();
    EXPECT_EQ(parsed->folder, QFile::encodeName(Home()));
    // Day 3 backed up two files, but the record holds all five there were.
    EXPECT_EQ(parsed->files.size(), 5U);
    EXPECT_TRUE(parsed->Lists(QFile::encodeName(Home() + "/Fotos/bild.jpg")));
    EXPECT_FALSE(parsed->Lists(QFile::encodeName(Home() + "/Dokumente/Rechnung.pdf")));
}

// A record that cannot be written fails the run, and says that the archive is kept.
TEST_F(RestoreDrill, ARecordThatCannotBeWrittenFailsTheRunButKeepsTheArchive) {
    Edit("a.txt", "a", 1);
    const QDateTime now = QDateTime::currentDateTime();
    for (int minute = 0; minute < 3; ++minute) {
        MakeFolder("sicherung/" + now.addSecs(60 * minute).toString("yyyyMMdd_HHmm") +
                   " Backup.zustand");
    }
    modBackup::ResetState();
    const Outcome run = Start(SONDREL_BACKUP_PROGRAM, {"--search"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.contains("ist geschrieben und geprüft und bleibt erhalten, aber:"))
        << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("Der Zustand „")) << run.err.toStdString();
    EXPECT_EQ(QDir(Archives()).entryList({"*.zip"}, QDir::Files).size(), 1);
    // Nothing applied: the next run takes the file again.
    QDir(Archives()).removeRecursively();
    MakeFolder("sicherung");
    modBackup::ResetState();
    const Outcome next = Start(SONDREL_BACKUP_PROGRAM, {"--search"});
    EXPECT_EQ(next.status, 0) << next.err.toStdString();
    EXPECT_TRUE(next.out.contains("1 Datei, 0,0 MB")) << next.out.toStdString();
}

// An encrypted series: the right password restores; a wrong one names the archive and writes
// nothing of it.
TEST_F(RestoreDrill, AWrongPasswordWritesNothingOfThatArchive) {
    const QString sRight = MakePrivateFile("richtig.txt", "geheim\n", 0600);
    const QString sWrong = MakePrivateFile("falsch.txt", "anders\n", 0600);
    Edit("a.txt", "a", 1);
    Edit("b.txt", "b", 1);
    Day(1, {"--password-file", sRight});
    const QString sTarget = Root() + "/ziel";
    // The record is encrypted too: it cannot be read without the password.
    const Outcome plan = Restore({"--password-file", sWrong, "--target", sTarget});
    EXPECT_EQ(plan.status, 1);
    EXPECT_TRUE(plan.err.contains("falsches Passwort")) << plan.err.toStdString();
    const Outcome none = Restore({"--target", sTarget});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(none.err.contains("„--password-file DATEI“ gibt das Passwort an"))
        << none.err.toStdString();
    // Without the record, the archive itself refuses.
    ASSERT_TRUE(QFile::remove(Archives() + "/20251101_0900 Backup.zustand"));
    const Outcome wrong = Restore({"--password-file", sWrong, "--target", sTarget});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "sondrel-restore: „" + Archives() +
                             "/20251101_0900 Backup.zip“: falsches Passwort\n");
    EXPECT_TRUE(Tree(sTarget).isEmpty());
    const Outcome right = Restore({"--password-file", sRight, "--target", sTarget});
    EXPECT_EQ(right.status, 0) << right.err.toStdString();
    EXPECT_EQ(Read(sTarget + Home() + "/b.txt"), "b");
}

// A file that differs is never replaced without --overwrite: the archived one is written beside
// it and named; with --overwrite it replaces it.
TEST_F(RestoreDrill, ADifferentFileInTheWayIsKeptUnlessOverwriteIsGiven) {
    Edit("Briefe/a.txt", "archiviert", 1);
    Day(1);
    Edit("Briefe/a.txt", "neuer, nicht gesichert", 4);
    const Outcome beside = Restore({Home() + "/Briefe/a.txt"});
    EXPECT_EQ(beside.status, 0) << beside.err.toStdString();
    const QString sBeside = Home() + "/Briefe/a (wiederhergestellt 2025-11-01 0900).txt";
    EXPECT_EQ(beside.out, "Daneben geschrieben: " + sBeside +
                              "\n1 Datei, 0,0 MB wiederhergestellt, 0 übersprungen\n");
    EXPECT_EQ(Read(Home() + "/Briefe/a.txt"), "neuer, nicht gesichert");
    EXPECT_EQ(Read(sBeside), "archiviert");
    const Outcome overwrite = Restore({"--overwrite", Home() + "/Briefe/a.txt"});
    EXPECT_EQ(overwrite.status, 0) << overwrite.err.toStdString();
    EXPECT_EQ(Read(Home() + "/Briefe/a.txt"), "archiviert");
}

// Archives of other writers, with names that would leave the target: refused, named, and the rest
// restored; nothing appears outside the target.
TEST_F(RestoreDrill, HostileNamesAndLinkedFoldersNeverLeadOutOfTheTarget) {
    PythonZip(Archives() + "/20251101_0900 Backup.zip",
              {"../../x=raus", "/etc/x=absolut", "home/ok.txt=gut", "a//b=leer"});
    const QString sTarget = Root() + "/tief/ziel";
    const Outcome run = Restore({"--target", sTarget});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.contains("„..“")) << run.err.toStdString();
    EXPECT_EQ(run.err.count("würde das Ziel verlassen"), 3) << run.err.toStdString();
    EXPECT_EQ(Read(sTarget + "/home/ok.txt"), "gut");
    QStringList inside = Tree(sTarget);
    for (QString& sLine : inside) {
        sLine.prepend("/ziel");
    }
    EXPECT_EQ(Tree(Root() + "/tief"), inside);
    EXPECT_FALSE(QFileInfo::exists(Root() + "/x"));
    EXPECT_FALSE(QFileInfo::exists(Root() + "/tief/x"));

    // A folder of the target that is a link to elsewhere is not written through.
    const QString sOutside = MakeFolder("draussen");
    const QString sLinked = Root() + "/verlinkt";
    ASSERT_TRUE(QDir().mkpath(sLinked));
    ASSERT_TRUE(QFile::link(sOutside, sLinked + "/home"));
    const Outcome linked = Restore({"--target", sLinked, "/home/ok.txt"});
    EXPECT_EQ(linked.status, 1);
    EXPECT_TRUE(
        linked.err.contains("„" + sLinked + "/home“ des Ziels ist ein symbolischer Verweis"))
        << linked.err.toStdString();
    EXPECT_TRUE(QDir(sOutside).isEmpty());
}

// A restore killed in the middle of a file leaves no file under its real name; the next run
// removes the leftover and restores it whole.
TEST_F(RestoreDrill, AKilledRestoreLeavesNoHalfFileAndTheNextRunCleansUp) {
    QByteArray big(96 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < big.size(); i += 4096) {
        big[i] = static_cast<char>(i / 4096);
    }
    Edit("gross.bin", big, 1);
    Day(1);
    const QString sTarget = Root() + "/ziel";
    const QString sFolder = sTarget + Home();
    QProcess process;
    process.setProcessEnvironment(Quiet());
    process.start(SONDREL_RESTORE_PROGRAM, {"--folder", Archives(), "--target", sTarget});
    ASSERT_TRUE(process.waitForStarted());
    const QString sWork = QString(".gross.bin.%1.wiederherstellen").arg(::getuid());
    for (int i = 0; i < 2000 && !QFileInfo::exists(sFolder + "/" + sWork); ++i) {
        QThread::msleep(5);
    }
    ASSERT_TRUE(QFileInfo::exists(sFolder + "/" + sWork));
    ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
    process.waitForFinished();
    EXPECT_FALSE(QFileInfo::exists(sFolder + "/gross.bin"));
    EXPECT_TRUE(QFileInfo::exists(sFolder + "/" + sWork));

    const Outcome again = Restore({"--target", sTarget});
    EXPECT_EQ(again.status, 0) << again.err.toStdString();
    EXPECT_EQ(QDir(sFolder).entryList(QDir::Files | QDir::Hidden), QStringList({"gross.bin"}));
    EXPECT_EQ(Read(sFolder + "/gross.bin"), big);
}

// Exit statuses and messages of the command line through the real program.
TEST_F(RestoreDrill, TheCommandSaysWhatWentWrongWithItsStatus) {
    PythonZip(Archives() + "/20251101_0900 Backup.zip", {"home/a.txt=a"});
    MakeFile("sicherung/fremd.zip", "PK");
    MakeFile("sicherung/20251102_0900 Backup (fehlerhaft).zip", "PK");
    const Outcome bad = Restore({"--at", "gestern"});
    EXPECT_EQ(bad.status, 64);
    EXPECT_EQ(bad.err,
              "sondrel-restore: Der Zeitpunkt „gestern“ ist ungültig; erwartet wird „JJJJ-MM-TT "
              "HH:MM“ oder „JJJJ-MM-TT“.\n„sondrel-restore --help“ zeigt die "
              "Optionen.\n");
    EXPECT_EQ(Restore({"relativ/a.txt"}).status, 64);
    EXPECT_EQ(Restore({"--bogus"}).status, 64);
    const Outcome help = Start(SONDREL_RESTORE_PROGRAM, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.startsWith("Aufruf: sondrel-restore"));

    const Outcome none = Restore({"--list", "/home/b.txt"});
    EXPECT_EQ(none.status, 2);
    const Outcome listed = Restore({"--list"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out,
              "/home/a.txt\t2025-11-01 09:00\t" + Archives() + "/20251101_0900 Backup.zip\n");
    // Other archives are named as skipped; without a record every archived path counts, said once.
    EXPECT_EQ(listed.err.count("übersprungen"), 2) << listed.err.toStdString();
    EXPECT_EQ(listed.err.count("jeder archivierte Pfad zählt"), 1);
    EXPECT_EQ(Start(SONDREL_RESTORE_PROGRAM, {"--folder", Root() + "/gibtsnicht"}).status, 1);
}

TEST(RestoreParts, TheStateRecordKeepsAnyNameAndKnowsWhatItCovers) {
    StateRecord::Builder builder("/home/a");
    builder.AddFile("/home/a/x\ty\n\xff.txt", 3, 1700000000);
    builder.AddFile("/home/a/b.txt", 1, 1);
    builder.AddCutFolder("/home/a/tief");
    const Result<StateRecord::Parsed> parsed = StateRecord::Parse(builder.Text());
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->Lists("/home/a/x\ty\n\xff.txt"));
    EXPECT_TRUE(parsed->Covers("/home/a/weg.txt"));
    EXPECT_FALSE(parsed->Covers("/home/ab/weg.txt"));
    EXPECT_FALSE(parsed->Covers("/home/a/tief/unten.txt"));
    EXPECT_TRUE(parsed->Covers("/home/a/tiefer.txt"));
    EXPECT_FALSE(StateRecord::Parse("Sondrel-Zustand 2\n/home\n"));
    EXPECT_FALSE(StateRecord::Parse("Sondrel-Zustand 1\n/home\nkaputt\n"));
    EXPECT_EQ(StateRecord::PathFor("/s/20251107_1405 Backup (2).zip"),
              "/s/20251107_1405 Backup (2).zustand");
}

TEST(RestoreParts, RecordsAndRestoreWorkFilesAreOwnNames) {
    EXPECT_TRUE(OwnFiles::IsStateRecordName(u"20251107_1405 Backup (2).zustand"));
    EXPECT_FALSE(OwnFiles::IsStateRecordName(u"20251107_1405 Backup.zip"));
    EXPECT_FALSE(OwnFiles::IsStateRecordName(u"Notizen.zustand"));
    EXPECT_TRUE(OwnFiles::IsWorkName(u".a.txt.1000.wiederherstellen"));
    EXPECT_FALSE(OwnFiles::IsWorkName(u".a.txt.wiederherstellen"));
}

TEST(RestoreParts, AMomentIsAMinuteOrTheEndOfADay) {
    EXPECT_EQ(*RestoreCommand::ParseMoment("2025-11-07 14:05"),
              QDateTime(QDate(2025, 11, 7), QTime(14, 5, 59)));
    EXPECT_EQ(*RestoreCommand::ParseMoment("2025-11-07"),
              QDateTime(QDate(2025, 11, 7), QTime(23, 59, 59)));
    for (const char* bad : {"2026-12-32", "07.12.2026", "2025-11-07 25:00", "2025-11-07T14:05"}) {
        EXPECT_FALSE(RestoreCommand::ParseMoment(bad)) << bad;
    }
}

// Through the core's interface, as the window uses it: a cancel before the first file writes
// nothing and says so; the progress ends with every file counted; versions are newest first.
TEST_F(RestoreDrill, ACancelledRunWritesNothingAndProgressCountsEveryFile) {
    PythonZip(Archives() + "/20251101_0900 Backup.zip", {"home/a.txt=alt", "home/b.txt=b"});
    PythonZip(Archives() + "/20251101_0900 Backup (2).zip", {"home/a.txt=neu"});
    const Result<Restore::Catalog> catalog = Restore::Catalog::Read({Archives()});
    ASSERT_TRUE(catalog) << catalog.Reason().toStdString();
    const std::vector<Restore::Version> versions = catalog->VersionsOf("/home/a.txt");
    ASSERT_EQ(versions.size(), 2U);
    EXPECT_EQ(catalog->Archives()[static_cast<size_t>(versions[0].iArchive)].iNumber, 2);
    const Result<Restore::Plan> plan = catalog->PlanAt(QDateTime(), {"/home/"}, false, nullptr);
    ASSERT_TRUE(plan);
    ASSERT_EQ(plan->files.size(), 2U);
    EXPECT_FALSE(plan->bHasRecord);

    Restore::Options options;
    options.sTarget = Root() + "/ziel";
    std::atomic<bool> cancel{true};
    const Restore::Summary stopped =
        Restore::Run(*catalog, *plan, options, nullptr, nullptr, cancel);
    EXPECT_TRUE(stopped.bCancelled);
    EXPECT_EQ(stopped.lRestored, 0);
    EXPECT_TRUE(Tree(options.sTarget).isEmpty());

    cancel = false;
    Restore::Progress last;
    const Restore::Summary done = Restore::Run(
        *catalog, *plan, options, nullptr, [&last](const Restore::Progress& now) { last = now; },
        cancel);
    EXPECT_FALSE(done.bCancelled);
    EXPECT_EQ(done.lRestored, 2);
    EXPECT_EQ(last.lFilesDone, 2);
    EXPECT_EQ(last.lFilesTotal, 2);
    EXPECT_EQ(last.lBytesDone, 4U);
    EXPECT_EQ(Read(options.sTarget + "/home/a.txt"), "neu");
    EXPECT_EQ(Restore::SummaryLine(done).toStdString(),
              "2 Dateien, 0,0 MB wiederhergestellt, 0 übersprungen");
}

// A tree of more folders than a process may hold open, and the original places reached through a
// linked folder (a home on another disk): both restore whole.
TEST_F(RestoreDrill, ManyFoldersAndALinkedHomeAtTheOriginalPlaces) {
    QStringList entries;
    for (int i = 0; i < 300; ++i) {
        entries << QString("home/d%1/f.txt=%1").arg(i);
    }
    PythonZip(Archives() + "/20251101_0900 Backup.zip", entries);
    const Result<Restore::Catalog> catalog = Restore::Catalog::Read({Archives()});
    ASSERT_TRUE(catalog) << catalog.Reason().toStdString();
    const Result<Restore::Plan> plan = catalog->PlanAt(QDateTime(), {}, false, nullptr);
    ASSERT_TRUE(plan);
    Restore::Options options;
    options.sTarget = Root() + "/ziel";
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 128;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const std::atomic<bool> cancel{false};
    const Restore::Summary many = Restore::Run(*catalog, *plan, options, nullptr, nullptr, cancel);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(many.failures.isEmpty()) << many.failures.join('\n').toStdString();
    EXPECT_EQ(many.lRestored, 300);
    EXPECT_EQ(Read(options.sTarget + "/home/d299/f.txt"), "299");

    // A folder opened again after the cache let it go while a big file in it is still being
    // written: that file's work file is no leftover.
    QString sDeep = "home/n";
    for (int i = 0; i < 80; ++i) {
        sDeep += QString("/%1").arg(i);
    }
    Tool("python3", {"-c",
                     "import os, sys, zipfile\n"
                     "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                     "    z.writestr('home/m.bin', os.urandom(48 << 20))\n"
                     "    z.writestr(sys.argv[2] + '/f.txt', 'tief')\n"
                     "    z.writestr('home/o.txt', 'o')\n",
                     Archives() + "/20251103_0900 Backup.zip", sDeep});
    const Result<Restore::Catalog> busy = Restore::Catalog::Read({Archives()});
    ASSERT_TRUE(busy);
    const Result<Restore::Plan> busyPlan = busy->PlanAt(QDateTime(), {"/home"}, false, nullptr);
    ASSERT_TRUE(busyPlan);
    options.sTarget = Root() + "/ziel2";
    const Restore::Summary reopened =
        Restore::Run(*busy, *busyPlan, options, nullptr, nullptr, cancel);
    EXPECT_TRUE(reopened.failures.isEmpty()) << reopened.failures.join('\n').toStdString();
    EXPECT_EQ(QFileInfo(options.sTarget + "/home/m.bin").size(), 48 << 20);

    const QString sReal = MakeFolder("echt");
    ASSERT_TRUE(QFile::link(sReal, Root() + "/heim"));
    const QByteArray inner = QFile::encodeName(Root() + "/heim/brief.txt").mid(1);
    PythonZip(Archives() + "/20251102_0900 Backup.zip", {QString::fromUtf8(inner) + "=Brief"});
    const Outcome original = Restore({QFile::decodeName("/" + inner)});
    EXPECT_EQ(original.status, 0) << original.err.toStdString();
    EXPECT_EQ(Read(sReal + "/brief.txt"), "Brief");
}
