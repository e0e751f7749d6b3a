// The file-system service: path helpers, existence, listing order, links, derived attribute bits
// and the archive mark kept in its own store.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <thread>

#include "app/ArchiveName.h"
#include "app/FileSystem.h"
#include "app/NativePath.h"
#include "app/modBackup.h"
#include "platform/archivemarks/ArchiveMarkStore.h"
#include "tests/app/AppTestSupport.h"

using Fso = FileSystemObject;

TEST(FsoPaths, ParentFolderName) {
    EXPECT_EQ(Fso::GetParentFolderName("/home/u/a.txt"), "/home/u");
    EXPECT_EQ(Fso::GetParentFolderName("/home/u/"), "/home");
    EXPECT_EQ(Fso::GetParentFolderName("/home"), "/");
    EXPECT_EQ(Fso::GetParentFolderName("/a//b"), "/a");
    EXPECT_EQ(Fso::GetParentFolderName("/"), "");
    EXPECT_EQ(Fso::GetParentFolderName("a.txt"), "");
    EXPECT_EQ(Fso::GetParentFolderName("rel/a.txt"), "rel");
    EXPECT_EQ(Fso::GetParentFolderName("/home/u/Dateiname wird ignoriert!"), "/home/u");
}

TEST(FsoPaths, ExtensionName) {
    EXPECT_EQ(Fso::GetExtensionName("a.txt"), "txt");
    EXPECT_EQ(Fso::GetExtensionName("/x/archive.tar.GZ"), "GZ");
    EXPECT_EQ(Fso::GetExtensionName("/x.d/noext"), "");
    EXPECT_EQ(Fso::GetExtensionName(".bashrc"), "bashrc");
    EXPECT_EQ(Fso::GetExtensionName("trailing."), "");
    EXPECT_EQ(Fso::GetExtensionName(""), "");
}

TEST(FsoPaths, BuildPath) {
    EXPECT_EQ(Fso::BuildPath("/home/u", "20261206_1405 Backup.zip"),
              "/home/u/20261206_1405 Backup.zip");
    EXPECT_EQ(Fso::BuildPath("/home/u/", "a"), "/home/u/a");
    EXPECT_EQ(Fso::BuildPath("/", "a"), "/a");
}

// Absolute paths lose what is safe to drop; ".." is left to the file system, since a link to a
// folder makes a textual ".." wrong. Relative paths are joined to the working folder and cleaned.
TEST(FsoPaths, FullPathCleansAbsolutePathsSafely) {
    EXPECT_EQ(FullPath("/x//ab"), "/x/ab");
    EXPECT_EQ(FullPath("/x/./ab/"), "/x/ab");
    EXPECT_EQ(FullPath("/x/link/../ab"), "/x/link/../ab");
    EXPECT_EQ(FullPath("//"), "/");
    EXPECT_EQ(FullPath("a/./b/../c", "/base"), "/base/a/c");
    EXPECT_EQ(FullPath(""), "");
}

// Every byte string survives the escape exactly, and the escaped text is valid UTF-8 again.
TEST(FsoPaths, NamesThatAreNotUtf8SurviveAsText) {
    QByteArray every;
    for (int b = 1; b < 256; ++b) {
        every.append(static_cast<char>(b));
    }
    for (const QByteArray& bytes :
         {every, QByteArray("caf\xe9.txt"), QByteArray("\xee\xbe\x80 literal escape"),
          QByteArray("\xee\xbf\xbf literal upper bound"), QByteArray("\xee\xbd\xbf below it"),
          QByteArray("\xed\xa0\x80 surrogate"), QByteArray("\xc0\xaf overlong"),
          QByteArray("cut \xc3"),
          QByteArray("B\xc3\xbc"
                     "cher \xf0\x9f\x98\x80")}) {
        const QString text = PathFromNative(bytes);
        EXPECT_EQ(NativePath(text), bytes);
        EXPECT_EQ(QString::fromUtf8(text.toUtf8()), text);
    }
    EXPECT_EQ(PathFromNative("B\xc3\xbc"
                             "cher \xf0\x9f\x98\x80"),
              QString("Bücher 😀"));
    EXPECT_EQ(NativePath("Bücher"), QByteArray("B\xc3\xbc"
                                               "cher"));
    EXPECT_EQ(DisplayPath(PathFromNative("/m/caf\xe9 \xff.txt")), "/m/caf\\xE9 \\xFF.txt");
    // The escape's bounds: U+EFFF is escaped byte by byte, U+EF7F just below is a character.
    EXPECT_EQ(PathFromNative("\xee\xbf\xbf"),
              QString(QChar(0xEFEE)) + QChar(0xEFBF) + QChar(0xEFBF));
    EXPECT_EQ(PathFromNative("\xee\xbd\xbf"), QString(QChar(0xEF7F)));
}

TEST(ArchiveNames, ProposedForTheMinute) {
    EXPECT_EQ(ArchiveName::Proposed("/home/u", QDateTime(QDate(2026, 12, 7), QTime(14, 5, 59))),
              "/home/u/20261207_1405 Backup.zip");
}

class ArchiveNamesOnDisk : public CoreTest {};

// A backup never replaces an earlier one: a name that is taken in any way, by a folder or a
// link that leads nowhere too, is passed over.
TEST_F(ArchiveNamesOnDisk, FirstFreeNameIsNumberedBeforeTheExtension) {
    const QString first = Root() + "/20261207_1405 Backup.zip";
    EXPECT_EQ(ArchiveName::FirstFree(first), first);
    MakeFile("20261207_1405 Backup.zip");
    EXPECT_EQ(ArchiveName::FirstFree(first), Root() + "/20261207_1405 Backup (2).zip");
    MakeFolder("20261207_1405 Backup (2).zip");
    ASSERT_EQ(::symlink("nirgends", QFile::encodeName(Root() + "/20261207_1405 Backup (3).zip")),
              0);
    EXPECT_EQ(ArchiveName::FirstFree(first), Root() + "/20261207_1405 Backup (4).zip");

    MakeFile("d.x/sicherung");
    EXPECT_EQ(ArchiveName::FirstFree(Root() + "/d.x/sicherung"), Root() + "/d.x/sicherung (2)");
    MakeFile(".zip");
    EXPECT_EQ(ArchiveName::FirstFree(Root() + "/.zip"), Root() + "/.zip (2)");
}

class FileSystem : public CoreTest {
protected:
    Fso& fso() { return modBackup::State().FSO; }

    static QStringList Names(const FSOFolder& folder) {
        QStringList names;
        for (const FSOFile& f : folder.Files()) {
            names << f.Name();
        }
        names << "|";
        for (const FSOFolder& f : folder.SubFolders()) {
            names << QFileInfo(f.Path()).fileName();
        }
        return names;
    }
};

TEST_F(FileSystem, ExistenceTellsFilesFromFolders) {
    const QString file = MakeFile("a/file.txt");
    const QString folder = MakeFolder("a/sub");
    EXPECT_TRUE(fso().FileExists(file));
    EXPECT_FALSE(fso().FolderExists(file));
    EXPECT_TRUE(fso().FolderExists(folder));
    EXPECT_TRUE(fso().FolderExists(folder + "/"));
    EXPECT_FALSE(fso().FileExists(folder));
    EXPECT_FALSE(fso().FileExists(Root() + "/a/missing"));
    EXPECT_FALSE(fso().FileExists(""));
    EXPECT_FALSE(fso().FolderExists(""));
    ASSERT_EQ(::mkfifo(QFile::encodeName(Root() + "/a/fifo").constData(), 0600), 0);
    EXPECT_FALSE(fso().FileExists(Root() + "/a/fifo"));  // neither file nor folder
}

TEST_F(FileSystem, FoldersListByNameInByteOrder) {
    for (const char* name : {"b.txt", "B.txt", "a.txt", "_x", "Ä.txt", "z.txt", ".hidden"}) {
        MakeFile(QString("t/") + QString::fromUtf8(name));
    }
    MakeFolder("t/sub2");
    MakeFolder("t/Sub1");
    MakeFolder("t/sub1");
    const FSOFolder folder = fso().GetFolder(Root() + "/t/");
    EXPECT_EQ(folder.Path(), Root() + "/t");
    EXPECT_FALSE(folder.IsRootFolder());
    EXPECT_EQ(Names(folder), QStringList({".hidden", "B.txt", "_x", "a.txt", "b.txt", "z.txt",
                                          "Ä.txt", "|", "Sub1", "sub1", "sub2"}));
    EXPECT_EQ(folder.Files()[1].Path(), Root() + "/t/B.txt");
}

TEST_F(FileSystem, LinksToFilesAreFilesAndLinksToFoldersAreSkipped) {
    const QString target = MakeFile("t/real.txt", "12345");
    MakeFolder("t/dir");
    QFile::link(target, Root() + "/t/link.txt");
    QFile::link(Root() + "/t/dir", Root() + "/t/dirlink");
    QFile::link(Root() + "/t/nowhere", Root() + "/t/broken");
    const FSOFolder folder = fso().GetFolder(Root() + "/t");
    EXPECT_EQ(Names(folder), QStringList({"link.txt", "real.txt", "|", "dir"}));
    EXPECT_EQ(folder.Files()[0].Size(), 5);
    EXPECT_TRUE(fso().FileExists(Root() + "/t/link.txt"));
    EXPECT_TRUE(fso().FolderExists(Root() + "/t/dirlink"));
}

TEST_F(FileSystem, AFolderThatCannotBeListedHasNoEntries) {
    const FSOFolder missing = fso().GetFolder(Root() + "/nothing/here");
    EXPECT_TRUE(missing.Files().empty());
    EXPECT_TRUE(missing.SubFolders().empty());
    const FSOFolder file = fso().GetFolder(MakeFile("plain.txt"));
    EXPECT_TRUE(file.Files().empty());
}

TEST_F(FileSystem, RelativePathsBecomeFullPaths) {
    MakeFile("rel/x.txt");
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Root()));
    const FSOFolder folder = fso().GetFolder("rel/./");
    const FSOFile file = fso().GetFile("rel/x.txt");
    QDir::setCurrent(cwd);
    EXPECT_EQ(folder.Path(), Root() + "/rel");
    EXPECT_EQ(file.Path(), Root() + "/rel/x.txt");
    EXPECT_EQ(file.Name(), "x.txt");
    EXPECT_TRUE(fso().GetFolder("/").IsRootFolder());
    EXPECT_EQ(fso().GetFolder("//").Path(), "/");
}

TEST_F(FileSystem, SizeAndModificationTime) {
    const QString path = MakeFile("f.bin", QByteArray(3000, 'x'));
    const QDateTime when(QDate(2024, 3, 1), QTime(10, 20, 30));
    SetModified(path, when);
    const FSOFile file = fso().GetFile(path);
    EXPECT_EQ(file.Size(), 3000);
    EXPECT_EQ(file.DateLastModified(), when);
    QFile::remove(path);
    EXPECT_EQ(file.Size(), 0);
    EXPECT_FALSE(file.DateLastModified().isValid());
    EXPECT_EQ(file.Attributes(), 0);
}

TEST_F(FileSystem, HiddenAndReadOnlyBitsAreDerived) {
    const QString plain = MakeFile("p.txt");
    const QString hidden = MakeFile(".h.txt");
    const QString locked = MakeFile("ro.txt");
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0444), 0);
    EXPECT_EQ(fso().GetFile(plain).Attributes() & ~AttrArchive, 0);
    EXPECT_EQ(fso().GetFile(hidden).Attributes() & ~AttrArchive, AttrHidden);
    EXPECT_EQ(fso().GetFile(locked).Attributes() & ~AttrArchive, AttrReadOnly);
    // Writing any other bit changes nothing on disk.
    EXPECT_TRUE(fso().GetFile(plain).SetAttributes(AttrArchive | AttrReadOnly | AttrHidden));
    EXPECT_EQ(fso().GetFile(plain).Attributes() & ~AttrArchive, 0);
}

TEST_F(FileSystem, ArchiveMarkIsSetUntilClearedAndAgainAfterRewriting) {
    const QString path = MakeFile("doc.txt", "version 1");
    FSOFile file = fso().GetFile(path);
    EXPECT_EQ(file.Attributes() & AttrArchive, AttrArchive);  // new file
    EXPECT_FALSE(QFile::exists(MarksFile()));                 // asking created no store
    const int32_t attributes = file.Attributes();
    ASSERT_TRUE(file.SetAttributes(attributes - AttrArchive));
    EXPECT_EQ(file.Attributes() & AttrArchive, 0);
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT count(*) FROM archive_marks WHERE path='" + path + "'"),
              "1");

    // The mark survives a new program run.
    modBackup::ResetState();
    EXPECT_EQ(fso().GetFile(path).Attributes() & AttrArchive, 0);

    // Rewriting with the same size still sets it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    MakeFile("doc.txt", "version 2");
    EXPECT_EQ(fso().GetFile(path).Attributes() & AttrArchive, AttrArchive);

    // Setting the bit forgets the record.
    FSOFile again = fso().GetFile(path);
    again.SetAttributes(again.Attributes() & ~AttrArchive);
    EXPECT_EQ(again.Attributes() & AttrArchive, 0);
    again.SetAttributes(again.Attributes() | AttrArchive);
    EXPECT_EQ(again.Attributes() & AttrArchive, AttrArchive);
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT count(*) FROM archive_marks"), "0");
}

// Marks cleared in a batch reach the store together, at its end; inside it they already read as
// cleared for this program.
TEST_F(FileSystem, MarksClearedInABatchAreStoredAtItsEnd) {
    const QString first = MakeFile("a.txt", "eins");
    const QString second = MakeFile("b.txt", "zwei");
    ASSERT_TRUE(fso().Marks().BeginBatch());
    EXPECT_FALSE(fso().Marks().BeginBatch());
    for (const QString& path : {first, second}) {
        FSOFile file = fso().GetFile(path);
        ASSERT_TRUE(file.SetAttributes(file.Attributes() & ~AttrArchive));
        EXPECT_EQ(file.Attributes() & AttrArchive, 0);
    }
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT count(*) FROM archive_marks"), "0");
    fso().Marks().EndBatch();
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT count(*) FROM archive_marks"), "2");
    modBackup::ResetState();
    EXPECT_EQ(fso().GetFile(first).Attributes() & AttrArchive, 0);
    EXPECT_EQ(fso().GetFile(second).Attributes() & AttrArchive, 0);
}

// Old disks and sticks carry names in other encodings; such a file is listed, found and marked
// under its exact bytes.
TEST_F(FileSystem, AFileWhoseNameIsNotUtf8IsListedFoundAndMarked) {
    const QByteArray folder = NativePath(MakeFolder("latin1"));
    const int fd = ::open((folder + "/Gr\xfc\xdf"
                                    "e.txt")
                              .constData(),
                          O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const FSOFolder listed = fso().GetFolder(PathFromNative(folder));
    ASSERT_EQ(listed.Files().size(), 1u);
    const QString path = listed.Files()[0].Path();
    EXPECT_EQ(NativePath(path), folder +
                                    "/Gr\xfc\xdf"
                                    "e.txt");
    EXPECT_TRUE(fso().FileExists(path));
    FSOFile file = fso().GetFile(path);
    ASSERT_TRUE(file.SetAttributes(file.Attributes() & ~AttrArchive));
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT hex(path) FROM archive_marks"),
              QString::fromLatin1((folder + "/Gr\xfc\xdf"
                                            "e.txt")
                                      .toHex()
                                      .toUpper()));
    ::unlink(NativePath(path).constData());  // QTemporaryDir cannot name it
}

// Records of files that are gone go, once a day and all in one transaction.
TEST_F(FileSystem, MarksOfVanishedFilesAreDroppedOnceADay) {
    const QString kept = MakeFile("kept.txt");
    const QString gone = MakeFile("gone/gone.txt");
    for (const QString& path : {kept, gone}) {
        FSOFile file = fso().GetFile(path);
        ASSERT_TRUE(file.SetAttributes(0));
    }
    QFile::remove(gone);
    ArchiveMarkStore& marks = fso().Marks();
    const int64_t now = 1'800'000'000;
    EXPECT_EQ(marks.DropVanished(now), 1);
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT path FROM archive_marks"), kept);
    // Within a day nothing is looked at again.
    QFile::remove(kept);
    EXPECT_EQ(marks.DropVanished(now + ArchiveMarkStore::kDropIntervalSecs - 1), 0);
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT count(*) FROM archive_marks"), "1");
    ASSERT_TRUE(marks.BeginBatch());
    EXPECT_EQ(marks.DropVanished(now + ArchiveMarkStore::kDropIntervalSecs), 1);
    marks.EndBatch();
    EXPECT_EQ(SqlOn(MarksFile(), "SELECT count(*) FROM archive_marks"), "0");
}

TEST_F(FileSystem, ArchiveMarkFollowsReplacementAndRename) {
    const QString path = MakeFile("a.txt", "same");
    FSOFile file = fso().GetFile(path);
    file.SetAttributes(0);
    ASSERT_EQ(file.Attributes() & AttrArchive, 0);
    // Another file moved into its place (same size, other inode).
    const QString other = MakeFile("b.txt", "same");
    ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()),
              0);
    EXPECT_EQ(file.Attributes() & AttrArchive, AttrArchive);
    // A file renamed to a new path has no record there.
    FSOFile replaced = fso().GetFile(path);
    replaced.SetAttributes(0);
    QFile::rename(path, Root() + "/c.txt");
    EXPECT_EQ(fso().GetFile(Root() + "/c.txt").Attributes() & AttrArchive, AttrArchive);
}

TEST_F(FileSystem, ClearingTheMarkOfAMissingFileFails) {
    FSOFile file = fso().GetFile(Root() + "/nope.txt");
    EXPECT_FALSE(file.SetAttributes(0));
    EXPECT_FALSE(QFile::exists(MarksFile()));
}

TEST_F(FileSystem, ADamagedMarkStoreLeavesEveryMarkSet) {
    const QString path = MakeFile("a.txt");
    MakeFile("state/tarvello/archive-marks.sqlite3", "garbage, not a database");
    EXPECT_EQ(fso().GetFile(path).Attributes() & AttrArchive, AttrArchive);
    EXPECT_FALSE(fso().GetFile(path).SetAttributes(0));
    EXPECT_EQ(fso().GetFile(path).Attributes() & AttrArchive, AttrArchive);
}
