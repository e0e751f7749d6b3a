// sondrel-backup's command line and password file, without a run.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "app/BackupOptions.h"
#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "tests/app/AppTestSupport.h"

using namespace BackupCommand;

// Every good form of the options is used by the runs below.
TEST(BackupCommandLine, BadUsageIsNamed) {
    const std::pair<QStringList, QString> bad[] = {
        {{"--serch"}, "Unbekannte Option „--serch“."},
        {{"-x"}, "Unbekannte Option „-x“."},
        {{"/home/anna"}, "Unerwartetes Argument „/home/anna“."},
        {{"--comment"}, "Der Option „--comment“ fehlt ihr Wert."},
        {{"--folder="}, "Der Option „--folder“ fehlt ihr Wert."},
        {{"--dry-run=ja"}, "Die Option „--dry-run“ nimmt keinen Wert."},
        {{"--search=neu"}, "Die Option „--search“ nimmt „archivmarke“ oder „datum“, nicht „neu“."},
        {{"--search="}, "Die Option „--search“ nimmt „archivmarke“ oder „datum“, nicht „“."},
        {{"--encryption", "aes"},
         "Die Option „--encryption“ nimmt „aes256“ oder „zip20“, nicht "
         "„aes“."},
        {{"--encryption"}, "Der Option „--encryption“ fehlt ihr Wert."},
    };
    for (const auto& [args, text] : bad) {
        const Result<Options> options = ParseOptions(args);
        EXPECT_FALSE(options) << args.join(' ').toStdString();
        EXPECT_EQ(options.Reason(), text);
    }
}

// A plain --search leaves the rule to the options; the last rule given counts.
TEST(BackupCommandLine, TheSearchRuleIsTheOptionsUnlessGiven) {
    const Result<Options> plain = ParseOptions({"--search"});
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->bSearch);
    EXPECT_FALSE(plain->searchRule.has_value());
    const Result<Options> byDate = ParseOptions({"--search=archivmarke", "--search=Datum"});
    ASSERT_TRUE(byDate);
    EXPECT_TRUE(byDate->bSearch);
    EXPECT_EQ(byDate->searchRule, DailySearch::Rule::Date);
    const Result<Options> byMark = ParseOptions({"--search=ARCHIVMARKE"});
    ASSERT_TRUE(byMark);
    EXPECT_EQ(byMark->searchRule, DailySearch::Rule::ArchiveMark);
}

// The method of the command line wins over the stored one, which counts when it is not given.
TEST(BackupCommandLine, EncryptionIsTakenWhenGiven) {
    using modBackup::EncryptionMethod;
    EXPECT_FALSE(ParseOptions({})->encryption.has_value());
    EXPECT_EQ(ParseOptions({"--encryption", "zip20"})->encryption, EncryptionMethod::ZIP20);
    EXPECT_EQ(ParseOptions({"--encryption=zip20", "--encryption=aes256"})->encryption,
              EncryptionMethod::AES256);
    EXPECT_TRUE(HelpText().contains("--encryption VERFAHREN aes256"));
}

class PasswordFile : public CoreTest {};

// A pipe named by mistake is refused at once: nothing writes into it, and reading it would wait
// for ever.
TEST_F(PasswordFile, APipeAsPasswordFileIsRefusedAtOnce) {
    const QString pipe = Root() + "/pw-pipe";
    ASSERT_EQ(::mkfifo(NativePath(pipe).constData(), 0600), 0);
    std::future<QString> read = std::async(std::launch::async, [&] {
        const Result<QString> password = ReadPasswordFile(pipe, BackupRun::kMaxPasswordBytes);
        return password ? *password : password.Reason();
    });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the password file's pipe holds the run";
        // A writer that comes and goes lets a waiting open and read end.
        ::close(::open(NativePath(pipe).constData(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_EQ(read.get(), "Die Passwortdatei „" + pipe + "“ ist keine gewöhnliche Datei.");
}

TEST_F(PasswordFile, APasswordFileCountsOnlyWhenItsOwnerAloneMayReadIt) {
    const auto ReadPasswordFile = [](const QString& sPath) {
        return BackupCommand::ReadPasswordFile(sPath, BackupRun::kMaxPasswordBytes);
    };
    EXPECT_EQ(ReadPasswordFile(MakePrivateFile("pw", "geheim\r\nzweite Zeile\n", 0600)).ValueOr(""),
              QString("geheim"));
    EXPECT_EQ(ReadPasswordFile(MakePrivateFile("nur-eine", "Kennwort ä", 0400)).ValueOr(""),
              QString("Kennwort ä"));
    // The engine's limit itself is taken whole; under AES 7-Zip's is the limit.
    const QString limit = MakePrivateFile("limit", QByteArray(255, 'x') + "\n", 0600);
    EXPECT_EQ(ReadPasswordFile(limit).ValueOr(""), QString(255, 'x'));
    const QString aes = MakePrivateFile("aes", QByteArray(99, 'x'), 0600);
    EXPECT_EQ(BackupCommand::ReadPasswordFile(aes, BackupRun::kMaxAesPasswordBytes).ValueOr(""),
              QString(99, 'x'));
    EXPECT_EQ(BackupCommand::ReadPasswordFile(limit, BackupRun::kMaxAesPasswordBytes).Reason(),
              "Die Passwortdatei „" + limit + "“ enthält ein Passwort von mehr als 99 Byte.");

    const QString group = MakePrivateFile("group", "geheim\n", 0640);
    const std::pair<QString, QString> refused[] = {
        {group, "ist auch für andere Benutzer lesbar"},
        {MakePrivateFile("others", "geheim\n", 0604), "ist auch für andere Benutzer lesbar"},
        {MakePrivateFile("empty", "", 0600), "ist leer"},
        {MakePrivateFile("empty-line", "\nzweite\n", 0600), "ist leer"},
        {MakePrivateFile("long", QByteArray(256, 'x'), 0600), "mehr als 255 Byte"},
        {MakePrivateFile("long-umlaut", QByteArray(254, 'x') + "ä", 0600), "mehr als 255 Byte"},
        {MakePrivateFile("latin1", "gr\xfc\xdf", 0600), "keinen UTF-8-Text"},
        {Root() + "/fehlt", "kann nicht gelesen werden: Datei oder Ordner nicht gefunden"},
        {MakeFolder("ordner"), "ist keine gewöhnliche Datei"},
    };
    for (const auto& [path, why] : refused) {
        const Result<QString> password = ReadPasswordFile(path);
        EXPECT_FALSE(password) << path.toStdString();
        const QString& problem = password.Reason();
        EXPECT_TRUE(problem.startsWith("Die Passwortdatei „" + path + "“ ") &&
                    problem.contains(why))
            << problem.toStdString();
    }
}
