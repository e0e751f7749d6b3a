// The daily run of sondrel-backup --search over several days in one folder tree, as the timer
// starts it: what each rule finds, a first run that takes everything, a run with nothing to do,
// and a damaged mark store. The archives are read with Python's zipfile, the files moved, copied
// and unpacked with mv, cp -p and tar.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include "app/BackupOptions.h"
#include "app/BackupRun.h"
#include "app/modBackup.h"
#include "tests/app/AppTestSupport.h"

using namespace BackupCommand;

namespace {

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

// Runs a program to its end; fails the test when it does not end well.
void Tool(const QString& program, const QStringList& args, const QString& folder = QString()) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, args);
    ASSERT_TRUE(process.waitForFinished(60000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
}

}  // namespace

class DailyRun : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ASSERT_TRUE(modBackup::WriteOption("SearchPath", Data()));
        ASSERT_TRUE(modBackup::WriteOption("DefaultPath", Root() + "/sicherung"));
        MakeFolder("sicherung");
        old_ = QDateTime::currentDateTime().addDays(-400);
        for (const char* name :
             {"Dokumente/brief.txt", "Dokumente/alt.txt", "Fotos/Urlaub/bild1.jpg",
              "Fotos/Urlaub/bild2.jpg", "Musik/lied.ogg"}) {
            SetModified(MakeFile(QString("daten/") + name, name), old_);
        }
    }

    QString Data() const { return Root() + "/daten"; }

    // One day's run, into a folder of its own, without a display.
    Outcome Day(int day, QStringList args) {
        modBackup::ResetState();
        const QString folder = MakeFolder("sicherung/tag" + QString::number(day));
        args << "--folder" << folder;
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
            env.remove(name);
        }
        process.setProcessEnvironment(env);
        process.start(SONDREL_BACKUP_PROGRAM, args);
        EXPECT_TRUE(process.waitForFinished(120000));
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    // The day's archive (none: empty), and the files in it below Data(), sorted.
    QString Archive(int day) const {
        const QString folder = Root() + "/sicherung/tag" + QString::number(day);
        const QStringList found = QDir(folder).entryList({"*.zip"}, QDir::Files | QDir::Hidden);
        return found.size() == 1 ? folder + "/" + found[0] : QString();
    }
    QStringList Archived(int day) const {
        QProcess python;
        python.start("python3", {"-c",
                                 "import sys, zipfile\n"
                                 "for n in sorted(zipfile.ZipFile(sys.argv[1]).namelist()):\n"
                                 "    print(n)\n",
                                 Archive(day)});
        python.waitForFinished(60000);
        EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        QStringList names;
        const QString prefix = Data().mid(1) + "/";
        for (const QString& line : QString::fromUtf8(python.readAllStandardOutput()).split('\n')) {
            if (!line.isEmpty()) {
                names << (line.startsWith(prefix) ? line.mid(prefix.size()) : line);
            }
        }
        return names;
    }

    // The one line a successful run ends with, after the hint that archive and files share a
    // disk (they do in the test's temporary folder).
    QString Written(const QString& sFound, int files, int day) const {
        return BackupRun::kSameDiskHint + "\n" + sFound + " " + GermanFiles(files) +
               ", 0,0 MB in " + Archive(day) + ", geprüft\n";
    }
    static QString GermanFiles(int n) {
        return QString::number(n) + (n == 1 ? " Datei" : " Dateien");
    }
    QString NothingFound(const QString& sWhat) const {
        return "sondrel-backup: Nichts zu sichern: Die Suche in „" + Data() + "“ hat keine " +
               sWhat + " gefunden, und die Backup-Liste ist leer.\n";
    }

    QDateTime old_;
};

// By archive mark: the first day takes everything (whatever "DeleteArchiveFlag" says, the marks
// of what it saved are cleared), a day without change has nothing to do, and what was moved,
// renamed, copied with its times or unpacked is taken the next day although its time is old.
TEST_F(DailyRun, ByArchiveMarkTheFirstDayIsFullAndMovedCopiedOrUnpackedFilesFollow) {
    const Outcome first = Day(1, {"--search"});
    ASSERT_EQ(first.status, kWritten) << first.err.toStdString();
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out,
              Written("Suche nach Archivmarke in " + Data() + ": 5 Dateien gefunden.", 5, 1));
    EXPECT_EQ(Archived(1),
              QStringList({"Dokumente/alt.txt", "Dokumente/brief.txt", "Fotos/Urlaub/bild1.jpg",
                           "Fotos/Urlaub/bild2.jpg", "Musik/lied.ogg"}));
    EXPECT_EQ(StoredBackupList(), QStringList());

    const Outcome quiet = Day(2, {"--search"});
    EXPECT_EQ(quiet.status, kNothingToDo);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, NothingFound("Datei mit gesetzter Archivmarke"));
    EXPECT_EQ(Archive(2), "");

    ASSERT_TRUE(QDir().mkpath(Data() + "/Ablage"));
    Tool("mv", {Data() + "/Dokumente/brief.txt", Data() + "/Ablage/"});
    Tool("mv", {Data() + "/Fotos/Urlaub", Data() + "/Fotos/Urlaub 2025"});
    Tool("cp", {"-p", Data() + "/Musik/lied.ogg", Data() + "/Musik/lied (Kopie).ogg"});
    SetModified(MakeFile("pakete/Handbuch/handbuch.pdf", "%PDF"), old_);
    Tool("tar", {"-cf", Root() + "/pakete/handbuch.tar", "Handbuch"}, Root() + "/pakete");
    Tool("tar", {"-xf", Root() + "/pakete/handbuch.tar", "-C", Data()});
    // Rewritten, then set back to its old time.
    SetModified(MakeFile("daten/Dokumente/alt.txt", "neu"), old_);

    const Outcome third = Day(3, {"--search"});
    ASSERT_EQ(third.status, kWritten) << third.err.toStdString();
    EXPECT_EQ(third.out,
              Written("Suche nach Archivmarke in " + Data() + ": 6 Dateien gefunden.", 6, 3));
    EXPECT_EQ(Archived(3),
              QStringList({"Ablage/brief.txt", "Dokumente/alt.txt", "Fotos/Urlaub 2025/bild1.jpg",
                           "Fotos/Urlaub 2025/bild2.jpg", "Handbuch/handbuch.pdf",
                           "Musik/lied (Kopie).ogg"}));

    // The record of the moved file's old place goes, once a day, also without the window.
    const QString oldPlace =
        "SELECT count(*) FROM archive_marks WHERE path = '" + Data() + "/Dokumente/brief.txt'";
    EXPECT_EQ(SqlOn(MarksFile(), oldPlace), "1");
    SqlOn(MarksFile(), "UPDATE archive_marks_meta SET value = 0");
    EXPECT_EQ(Day(4, {"--search=archivmarke"}).status, kNothingToDo);
    EXPECT_EQ(SqlOn(MarksFile(), oldPlace), "0");
}

// By date: without a stored last backup every file is new to the backup; after one, a copy that
// kept its old time is not found: what the help says of that rule.
TEST_F(DailyRun, ByDateWithoutALastBackupEveryFileIsTakenAndOldTimesAreNot) {
    ASSERT_TRUE(modBackup::WriteOption("DailySearchByArchiveMark", "0"));
    const Outcome first = Day(1, {"--search"});
    ASSERT_EQ(first.status, kWritten) << first.err.toStdString();
    EXPECT_EQ(first.out, Written("Suche ohne gespeichertes letztes Backup in " + Data() +
                                     ": 5 Dateien gefunden.",
                                 5, 1));
    EXPECT_EQ(Archived(1).size(), 5);

    Tool("cp", {"-p", Data() + "/Musik/lied.ogg", Data() + "/Musik/lied (Kopie).ogg"});
    const Outcome copied = Day(2, {"--search=datum"});
    EXPECT_EQ(copied.status, kNothingToDo);
    EXPECT_EQ(copied.err, NothingFound("seit dem letzten Backup geänderte Datei"));
}

// A mark store that is no database never makes a file look saved: the run says so and takes
// everything; it moves the store aside (a trial run leaves it), and the next day is as usual.
TEST_F(DailyRun, ADamagedMarkStoreIsToldMovedAsideAndEveryFileTaken) {
    const QByteArray junk(4096, 'Z');
    MakeFile("state/tarvello/archive-marks.sqlite3", junk);
    const QString data = Data();
    const QString told = "Die Archivmarken „" + MarksFile() +
                         "“ sind beschädigt: die Datei ist keine SQLite-Datenbank. Dieses Backup "
                         "nimmt darum jede Datei in „" +
                         data + "“, wie ein erstes Backup.";
    const Outcome trial = Day(1, {"--search", "--dry-run"});
    EXPECT_EQ(trial.status, kWritten);
    EXPECT_EQ(trial.err, "sondrel-backup: " + told + "\n");
    EXPECT_TRUE(trial.out.contains("5 Dateien gefunden.")) << trial.out.toStdString();

    const Outcome run = Day(2, {"--search"});
    ASSERT_EQ(run.status, kWritten) << run.err.toStdString();
    const QRegularExpressionMatch moved =
        QRegularExpression("unter „(.*\\.beschädigt-\\d{8}-\\d{4})“").match(run.err);
    ASSERT_TRUE(moved.hasMatch()) << run.err.toStdString();
    EXPECT_EQ(run.err, "sondrel-backup: Die Archivmarken „" + MarksFile() +
                           "“ waren beschädigt (die Datei ist keine SQLite-Datenbank); die Datei "
                           "liegt unverändert unter „" +
                           moved.captured(1) +
                           "“, und mit diesem Backup beginnen neue. Dieses Backup nimmt darum "
                           "jede Datei in „" +
                           data + "“, wie ein erstes Backup.\n");
    EXPECT_EQ(Archived(2).size(), 5);
    QFile kept(moved.captured(1));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), junk);

    EXPECT_EQ(Day(3, {"--search"}).status, kNothingToDo);
}

// Every outcome ends with one line that says what happened; a start folder that is gone fails.
TEST_F(DailyRun, AMissingStartFolderFailsWithOneGermanLine) {
    ASSERT_TRUE(modBackup::WriteOption("SearchPath", Root() + "/weg"));
    const Outcome run = Day(1, {"--search"});
    EXPECT_EQ(run.status, kFailed);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "sondrel-backup: Das Backup ist fehlgeschlagen.\nDas Startverzeichnis der "
              "Suche „" +
                  Root() + "/weg“ gibt es nicht.\n");
    EXPECT_EQ(Archive(1), "");
}
