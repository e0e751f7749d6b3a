// The folder scan: level limit, excluded folders, archive and date conditions, extension filter,
// duplicates, the root folder, links, and the outlets with the stop request.

#include <QDir>
#include <QFile>
#include <QTimer>
#include <chrono>
#include <thread>

#include "app/Intake.h"
#include "app/OwnFiles.h"
#include "app/modBackup.h"
#include "tests/app/AppTestSupport.h"

using namespace modBackup;

namespace {

class FakeWindow : public IWindowOutlet {
public:
    void AddToFileList(const QString& sPath) override { added << sPath; }
    QStringList added;
};

// Stands for the search dialog: its stop button is "clicked" from the event loop, as a user's
// click would be, once stopAfter files have been reported.
class FakeSearch : public ISearchOutlet {
public:
    void FileFound(const QString& sFile) override {
        found << sFile;
        if (found.size() == stopAfter) {
            QTimer::singleShot(0, [this] { stop = true; });
        }
    }
    bool bStopped() const override { return stop; }
    QStringList found;
    int stopAfter = -1;
    bool stop = false;
};

}  // namespace

class Scan : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        State().BackupFiles = std::make_unique<CListString>();
        State().Extensions = std::make_unique<CListString>();
        State().ExcludeFolders = std::make_unique<CListString>();
        State().WindowOutlet = &window;
        State().SearchOutlet = &search;
    }

    // A chain t/f0.txt, t/l1/f1.txt, ... t/l1/.../l6/f6.txt.
    QString MakeChain() {
        QString rel = "t";
        for (int level = 0; level <= 6; ++level) {
            MakeFile(rel + "/f" + QString::number(level) + ".txt");
            rel += "/l" + QString::number(level + 1);
        }
        return Root() + "/t";
    }

    QStringList Run(const QString& folder, int32_t limit, bool addToWindow = false,
                    bool reportToSearch = false) {
        State().ScanRecursionLimit = limit;
        ScanFolder(State().FSO.GetFolder(folder), addToWindow, reportToSearch);
        return Values(*State().BackupFiles);
    }

    static QStringList Names(const QStringList& paths) {
        QStringList names;
        for (const QString& p : paths) {
            names << p.section('/', -1);
        }
        return names;
    }

    FakeWindow window;
    FakeSearch search;
};

TEST_F(Scan, LimitFiveTakesTheStartFolderAndFourLevelsBelow) {
    const QString t = MakeChain();
    EXPECT_EQ(Names(Run(t, 5)), QStringList({"f0.txt", "f1.txt", "f2.txt", "f3.txt", "f4.txt"}));
}

TEST_F(Scan, LimitOneTakesOnlyTheStartFolder) {
    EXPECT_EQ(Names(Run(MakeChain(), 1)), QStringList({"f0.txt"}));
}

TEST_F(Scan, LimitZeroOrNegativeWalksTheWholeTree) {
    const QString t = MakeChain();
    EXPECT_EQ(Run(t, 0).size(), 7);
    State().BackupFiles->RemoveAll();
    EXPECT_EQ(Run(t, -3).size(), 7);
}

TEST_F(Scan, FilesComeBeforeSubfoldersInNameOrder) {
    MakeFile("o/b/1.txt");
    MakeFile("o/a/2.txt");
    MakeFile("o/z.txt");
    MakeFile("o/a/c/3.txt");
    MakeFile("o/m.txt");
    EXPECT_EQ(Run(Root() + "/o", 0),
              QStringList({Root() + "/o/m.txt", Root() + "/o/z.txt", Root() + "/o/a/2.txt",
                           Root() + "/o/a/c/3.txt", Root() + "/o/b/1.txt"}));
}

TEST_F(Scan, AnExcludedStartFolderYieldsNothing) {
    const QString t = MakeChain();
    State().ExcludeFolders->Add(t);
    EXPECT_TRUE(Run(t, 0).isEmpty());
}

TEST_F(Scan, ExclusionIsExactAndSiblingsKeepTheirLevel) {
    MakeFile("e/a/x/deep/a.txt");
    MakeFile("e/a/x/a.txt");
    MakeFile("e/b/x/deep/b.txt");
    MakeFile("e/b/x/b.txt");
    MakeFile("e/B2/x/c.txt");
    State().ExcludeFolders->Add(Root() + "/e/a");
    State().ExcludeFolders->Add(Root() + "/e/b2");    // other letter case: no match
    State().ExcludeFolders->Add(Root() + "/e/b/x/");  // trailing slash: no match
    EXPECT_EQ(Names(Run(Root() + "/e", 3)), QStringList({"c.txt", "b.txt"}));
}

TEST_F(Scan, ArchiveConditionTakesOnlyMarkedFiles) {
    const QString saved = MakeFile("a/saved.txt");
    MakeFile("a/new.txt");
    State().FSO.GetFile(saved).SetAttributes(0);
    State().ScanArchiveOnly = true;
    EXPECT_EQ(Names(Run(Root() + "/a", 0)), QStringList({"new.txt"}));
    State().BackupFiles->RemoveAll();
    State().ScanArchiveOnly = false;
    EXPECT_EQ(Names(Run(Root() + "/a", 0)), QStringList({"new.txt", "saved.txt"}));
}

TEST_F(Scan, DateConditionIsInclusive) {
    const QDateTime since(QDate(2026, 1, 10), QTime(12, 0, 0));
    SetModified(MakeFile("d/before.txt"), since.addSecs(-1));
    SetModified(MakeFile("d/exact.txt"), since);
    SetModified(MakeFile("d/after.txt"), since.addDays(3));
    State().ScanChangedOnly = true;
    State().ScanSince = since;
    EXPECT_EQ(Names(Run(Root() + "/d", 0)), QStringList({"after.txt", "exact.txt"}));
    // Without the condition the date plays no part.
    State().BackupFiles->RemoveAll();
    State().ScanChangedOnly = false;
    EXPECT_EQ(Run(Root() + "/d", 0).size(), 3);
}

TEST_F(Scan, ExtensionFilterIgnoresCaseAndMatchesWholeExtensions) {
    for (const char* name : {"a.tmp", "b.TMP", "c.tap", "d.top", "e.txt", "noext", "f.tmp.txt",
                             "g.tmpx", "h.bak1", "i.bak"}) {
        MakeFile(QString("x/") + name);
    }
    CListString& ext = *State().Extensions;
    ext.Add("tmp");
    EXPECT_EQ(Names(Run(Root() + "/x", 0)), QStringList({"c.tap", "d.top", "e.txt", "f.tmp.txt",
                                                         "g.tmpx", "h.bak1", "i.bak", "noext"}));

    State().BackupFiles->RemoveAll();
    ext.RemoveAll();
    ext.Add("T?P");
    ext.Add("");  // names without a dot
    ext.Add("BAK#");
    EXPECT_EQ(Names(Run(Root() + "/x", 0)), QStringList({"e.txt", "f.tmp.txt", "g.tmpx", "i.bak"}));

    State().BackupFiles->RemoveAll();
    ext.RemoveAll();
    ext.Add(".tmp");  // written with a dot: matches nothing
    ext.Add("*.tmp");
    EXPECT_EQ(Run(Root() + "/x", 0).size(), 10);

    State().BackupFiles->RemoveAll();
    ext.RemoveAll();
    ext.Add("*");
    EXPECT_TRUE(Run(Root() + "/x", 0).isEmpty());
}

TEST_F(Scan, AnAbsentOrEmptyExtensionListExcludesNothing) {
    MakeFile("x/a.tmp");
    MakeFile("x/b");
    EXPECT_EQ(Run(Root() + "/x", 0).size(), 2);
    State().BackupFiles->RemoveAll();
    State().Extensions.reset();
    EXPECT_EQ(Run(Root() + "/x", 0).size(), 2);
}

TEST_F(Scan, EveryFileKindGoesThroughTheSameSteps) {
    MakeFile("k/.hidden");
    const QString ro = MakeFile("k/readonly.txt");
    QFile::setPermissions(ro, QFile::ReadOwner);
    EXPECT_EQ(Names(Run(Root() + "/k", 0)), QStringList({".hidden", "readonly.txt"}));
}

TEST_F(Scan, ListedFilesAreNeitherAddedNorShownNorReportedAgain) {
    const QString a = MakeFile("w/a.txt");
    MakeFile("w/b.txt");
    State().BackupFiles->Add(a);
    Run(Root() + "/w", 0, true, true);
    EXPECT_EQ(Names(Values(*State().BackupFiles)), QStringList({"a.txt", "b.txt"}));
    EXPECT_EQ(Names(window.added), QStringList({"b.txt"}));
    EXPECT_EQ(Names(search.found), QStringList({"b.txt"}));
    // Paths differing only in letter case are different files.
    MakeFile("w/A.txt");
    Run(Root() + "/w", 0, true, false);
    EXPECT_EQ(Names(window.added), QStringList({"b.txt", "A.txt"}));
    EXPECT_EQ(search.found.size(), 1);
}

TEST_F(Scan, OutletsAreUsedOnlyWhenAskedFor) {
    MakeFile("w/a.txt");
    Run(Root() + "/w", 0, false, false);
    EXPECT_TRUE(window.added.isEmpty());
    EXPECT_TRUE(search.found.isEmpty());
    EXPECT_EQ(State().BackupFiles->Count(), 1);
}

TEST_F(Scan, AStopRequestEndsTheScanRightAfterTheReportedFile) {
    const QString t = MakeChain();
    MakeFile("t/l1/l2/g2.txt");
    search.stopAfter = 3;  // the click arrives while the third report yields
    Run(t, 0, true, true);
    EXPECT_EQ(Names(search.found), QStringList({"f0.txt", "f1.txt", "f2.txt"}));
    EXPECT_EQ(Names(Values(*State().BackupFiles)), QStringList({"f0.txt", "f1.txt", "f2.txt"}));
    EXPECT_EQ(window.added.size(), 3);
}

// A user's click lands while the scan walks a long stretch without new files: the scan must let
// the event loop in on time and see the request there, not only after the next new file.
TEST_F(Scan, AReportingScanYieldsOnTimeAndSeesTheStopThere) {
    class SlowSearch : public ISearchOutlet {
    public:
        void FileFound(const QString& sFile) override { found << sFile; }
        bool bStopped() const override {
            if (!clicked) {
                clicked = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                QTimer::singleShot(0, [this] { stop = true; });
            }
            return stop;
        }
        QStringList found;
        mutable bool clicked = false;
        mutable bool stop = false;
    } slow;
    MakeFile("y/a.txt");
    const QString listed = MakeFile("y/b.txt");
    MakeFile("y/c.txt");
    State().BackupFiles->Add(listed);
    State().SearchOutlet = &slow;
    Run(Root() + "/y", 0, false, true);
    EXPECT_EQ(Names(slow.found), QStringList({"a.txt"}));
    EXPECT_EQ(Names(Values(*State().BackupFiles)), QStringList({"b.txt", "a.txt"}));
}

TEST_F(Scan, WithoutReportingTheStopRequestIsNotRead) {
    const QString t = MakeChain();
    search.stop = true;
    EXPECT_EQ(Run(t, 0, true, false).size(), 7);
}

TEST_F(Scan, TheRootFolderContributesOnlyItsOwnFiles) {
    const QStringList taken = Run("/", 0);
    for (const QString& path : taken) {
        EXPECT_EQ(path.count('/'), 1) << path.toStdString();
    }
}

TEST_F(Scan, FolderLinksAreNotFollowedSoCyclesEnd) {
    MakeFile("c/a/file.txt");
    QFile::link(Root() + "/c", Root() + "/c/a/back");
    QFile::link(Root() + "/c/a/file.txt", Root() + "/c/a/alias.txt");
    EXPECT_EQ(Run(Root() + "/c", 0),
              QStringList({Root() + "/c/a/alias.txt", Root() + "/c/a/file.txt"}));
}

TEST_F(Scan, AnUnlistableFolderIsSkippedAndTheScanGoesOn) {
    MakeFile("u/a/1.txt");
    MakeFile("u/b/2.txt");
    const FSOFolder folder = State().FSO.GetFolder(Root() + "/u");
    folder.SubFolders();  // listed now; "a" vanishes before it is entered
    QDir(Root() + "/u/a").removeRecursively();
    State().ScanRecursionLimit = 0;
    ScanFolder(folder, false, false);
    EXPECT_EQ(Names(Values(*State().BackupFiles)), QStringList({"2.txt"}));
}

TEST_F(Scan, AFileThatVanishesBeforeItsConditionIsCheckedIsSkipped) {
    const QString gone = MakeFile("v/gone.txt");
    MakeFile("v/kept.txt");
    const FSOFolder folder = State().FSO.GetFolder(Root() + "/v");
    folder.Files();
    QFile::remove(gone);
    State().ScanChangedOnly = true;
    ScanFolder(folder, false, false);
    EXPECT_EQ(Names(Values(*State().BackupFiles)), QStringList({"kept.txt"}));
}

// The program's own files stay out of every scan, wherever they lie in it: its stores, locks and
// records, the archives it wrote (also once renamed or moved), the work files of a run. A folder
// that holds archives is searched for everything else; a file named on its own is still taken.
TEST_F(Scan, NeverTakesTheProgramsOwnFiles) {
    MakeFile("config/tarvello/registry.sqlite3");
    MakeFile("config/tarvello/registry.sqlite3-wal");
    MakeFile("state/tarvello/archive-marks.sqlite3");
    MakeFile("runtime/tarvello/sondrel.lock");
    MakeFile("home/Sicherungen/20260101_1200 Backup.zip");
    MakeFile("home/Sicherungen/20260101_1200 Backup (2).zip");
    MakeFile("home/Sicherungen/20260102_0800 Backup (fehlerhaft) (2).zip");
    MakeFile("home/Sicherungen/.20260103_1200 Backup.zip.1000.unfertig");
    MakeFile("home/Dokumente/.zip32-Ab12Cd.tmp");
    const QString named = MakeFile("home/Sicherungen/Steuer 2025.zip", "eins");
    const QString moved = MakeFile("home/Sicherungen/Urlaub.zip", "zwei");
    ASSERT_TRUE(OwnFiles::Remember(named));
    ASSERT_TRUE(OwnFiles::Remember(moved));
    ASSERT_TRUE(QFile::rename(moved, Root() + "/home/Dokumente/alt.zip"));

    const QStringList users = {
        MakeFile("config/anderes-programm.conf"),
        MakeFile("home/Sicherungen/Notiz.txt"),
        MakeFile("home/Sicherungen/20260101_1200 Backup.zip.txt"),
        MakeFile("home/Dokumente/fotos.zip"),
        // Named like an archive, but neither remembered nor where archives go: the user's.
        MakeFile("home/Dokumente/20260101_1200 Backup.zip", "drei"),
        MakeFile("home/Dokumente/.versteckt.unfertig"),
    };
    QStringList taken = Run(Root(), 0);
    taken.sort();
    QStringList expected = users;
    expected.sort();
    EXPECT_EQ(taken, expected);

    std::unique_ptr<CListString> files;
    CollectIntakeFiles({named}, Root(), {}, files);
    EXPECT_EQ(Values(*files), QStringList({named}));
}

// A user from before kept the archives in the home folder that is searched: the archives named as
// a backup names them stay out, the rest of the home is searched.
TEST_F(Scan, AStoredArchiveFolderIsSearchedForEverythingButItsArchives) {
    ASSERT_TRUE(WriteOption("DefaultPath", Root() + "/home"));
    MakeFile("home/20251201_0900 Backup.zip");
    MakeFile("home/20251202_0900 Backup (fehlerhaft).zip");
    const QString letter = MakeFile("home/Brief.odt");
    const QString deeper = MakeFile("home/Archiv/20251201_0900 Backup.zip");
    EXPECT_EQ(Run(Root() + "/home", 0), QStringList({letter, deeper}));
}

TEST_F(Scan, NamesOfArchivesAndWorkFilesAreToldExactly) {
    for (const char* name : {"20261207_1405 Backup.zip", "20261207_1405 Backup (12).zip",
                             "20261207_1405 Backup (fehlerhaft).zip",
                             "20261207_1405 Backup (2) (fehlerhaft) (3).zip"}) {
        EXPECT_TRUE(OwnFiles::IsArchiveName(QString::fromUtf8(name))) << name;
    }
    for (const char* name :
         {"20261207_1405 Backup.ZIP", "2026127_1405 Backup.zip", "20261207_1405 Backup ().zip",
          "20261207_1405 Backup (x).zip", "20261207_1405 Backup(2).zip",
          "20261207_1405 Sicherung.zip", "x20261207_1405 Backup.zip"}) {
        EXPECT_FALSE(OwnFiles::IsArchiveName(QString::fromUtf8(name))) << name;
    }
    for (const char* name : {".a.zip.1000.unfertig", ".x.0.unfertig", ".zip32-aB3dE9.tmp"}) {
        EXPECT_TRUE(OwnFiles::IsWorkName(QString::fromUtf8(name))) << name;
    }
    for (const char* name : {"a.zip.1000.unfertig", "..1000.unfertig", ".a.zip.unfertig",
                             ".a.zip.10x.unfertig", ".zip32-aB3dE.tmp", "zip32-aB3dE9.tmp"}) {
        EXPECT_FALSE(OwnFiles::IsWorkName(QString::fromUtf8(name))) << name;
    }
}

// A scan that stops at its level limit counts the folders it did not enter (the tops of the cut
// branches, not what it never entered anyway) and says so in one sentence.
TEST_F(Scan, AScanCutAtItsLimitSaysWhatItLeftOut) {
    const QString t = MakeChain();
    MakeFile("t/l1/l2/side/x.txt");
    MakeFile("t/l1/l2/aaa/excluded.txt");
    State().ExcludeFolders->Add(t + "/l1/l2/aaa");
    State().ScanRecursionLimit = 3;
    ScanResult result = ScanFolder(State().FSO.GetFolder(t), false, false);
    EXPECT_EQ(result.lFoldersCut, 2);
    EXPECT_EQ(result.sFirstCut, t + "/l1/l2/l3");
    EXPECT_EQ(LevelLimitNote(t, 3, result),
              "„" + t +
                  "“ wurde nur 3 Ebenen tief durchsucht; 2 Ordner darunter wurden mit ihrem "
                  "Inhalt ausgelassen, der erste ist „" +
                  t + "/l1/l2/l3“.");

    State().ScanRecursionLimit = 1;
    result = ScanFolder(State().FSO.GetFolder(t), false, false);
    EXPECT_EQ(LevelLimitNote(t, 1, result),
              "„" + t + "“ wurde nur 1 Ebene tief durchsucht; der Ordner „" + t +
                  "/l1“ darunter wurde mit seinem Inhalt ausgelassen.");

    State().ScanRecursionLimit = 0;
    result = ScanFolder(State().FSO.GetFolder(t), false, false);
    EXPECT_EQ(result.lFoldersCut, 0);
    EXPECT_EQ(LevelLimitNote(t, 0, result), "");
}
