// The backup dialog, opened from the real main window's "&Backup starten!" and driven through its
// widgets; the archives it writes are read back with unzip, zipinfo and Python's zipfile.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "app/SingleInstance.h"
#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "tests/ui/support/FreshEnvironment.h"
#include "ui/StandardDialogs.h"
#include "ui/frmBackup.h"
#include "ui/frmMain.h"

using modBackup::State;

namespace {

constexpr int kSteps = frmBackup::kProgressStepsPerPercent;

struct ProcessResult {
    int exitCode = -1;
    QString out;
};

ProcessResult RunTool(const QString& program, const QStringList& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll())};
}

QString SevenZip() {
    return QStandardPaths::findExecutable("7z").isEmpty() ? "7zz" : "7z";
}

// Entry names, and how many of them are encrypted, as Python's zipfile sees the archive.
struct ZipContents {
    QStringList names;
    int encrypted = -1;
};
ZipContents ReadZip(const QString& archive) {
    const ProcessResult r =
        RunTool("python3", {"-c",
                            "import sys, zipfile\n"
                            "z = zipfile.ZipFile(sys.argv[1])\n"
                            "print(sum(i.flag_bits & 1 for i in z.infolist()))\n"
                            "for n in z.namelist(): print(n)\n",
                            archive});
    ZipContents contents;
    if (r.exitCode != 0) {
        qWarning("zipfile: %s", qPrintable(r.out));
        return contents;
    }
    QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    contents.encrypted = lines.takeFirst().toInt();
    contents.names = lines;
    return contents;
}

// The entry name of a path archived with the root "/".
QString EntryName(const QString& path) {
    return path.mid(1);
}

// The archive the dialog proposes for a minute, in the home folder.
QString ArchiveName(const QDateTime& minute) {
    return minute.toString("yyyyMMdd_HHmm") + " Backup.zip";
}

std::optional<QString> StoredLastBackupAt() {
    return modRegistry::RegTryReadText(modRegistry::HKEY_CURRENT_USER, modBackup::kMainKey,
                                       "LastBackupAt");
}

int StoredCount() {
    return modRegistry::RegReadText(modRegistry::HKEY_CURRENT_USER, modBackup::kMainKey, "Count")
        .toInt();
}

int32_t AttributesOf(const QString& path) {
    return State().FSO.GetFile(path).Attributes();
}

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteBytes(const QString& path, const QByteArray& data) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(data);
    }
}

// Flips the first data byte of an unencrypted entry, found by its local header, as a disk might.
void DamageEntry(const QString& archive, const QString& entry) {
    QByteArray bytes = ReadBytes(archive);
    const QByteArray name = entry.toUtf8();
    for (qsizetype at = bytes.indexOf("PK\x03\x04"); at >= 0;
         at = bytes.indexOf("PK\x03\x04", at + 4)) {
        const auto field = [&](qsizetype offset) {
            return static_cast<uchar>(bytes[at + offset]) |
                   static_cast<uchar>(bytes[at + offset + 1]) << 8;
        };
        if (bytes.mid(at + 30, field(26)) == name) {
            bytes[at + 30 + field(26) + field(28)] ^= 0x20;
            WriteBytes(archive, bytes);
            return;
        }
    }
    qWarning("no local header for %s", qPrintable(entry));
}

// An entry's content as Python's zipfile reads it.
QString EntryText(const QString& archive, const QString& entry) {
    return RunTool("python3", {"-c",
                               "import sys, zipfile\n"
                               "print(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]).decode(), "
                               "end='')\n",
                               archive, entry})
        .out;
}

}  // namespace

class TestFrmBackup : public QObject {
    Q_OBJECT

    std::unique_ptr<FreshEnvironment> env_;
    std::unique_ptr<frmMain> win_;
    QStringList messages_;
    QStringList captions_;

    QString Home() const { return env_->Home(); }

    QStringList MakeFiles(int count, const QString& folder = "files") {
        QStringList paths;
        for (int i = 0; i < count; ++i) {
            paths.append(env_->MakeFile(QString("%1/f%2.txt").arg(folder).arg(i, 5, 10, QChar('0')),
                                        QByteArray("Inhalt ") + QByteArray::number(i)));
        }
        return paths;
    }
    /// Stores the paths as the backup list and opens the main window over it.
    frmMain& OpenMain(const QStringList& paths) {
        QTest::qVerify(modBackup::LoadBackupList().Ok(), "modBackup::LoadBackupList()", "",
                       __FILE__, __LINE__);
        for (const QString& p : paths) {
            State().BackupFiles->Add(p);
        }
        QTest::qVerify(modBackup::SaveBackupList().Ok(), "modBackup::SaveBackupList()", "",
                       __FILE__, __LINE__);
        QTest::qVerify(modBackup::LoadBackupList().Ok(), "modBackup::LoadBackupList()", "",
                       __FILE__, __LINE__);
        win_ = std::make_unique<frmMain>();
        win_->show();
        if (!QTest::qWaitForWindowExposed(win_.get())) {
            qWarning("window not exposed");
        }
        return *win_;
    }
    /// Opens the backup dialog through the menu; onOpen runs while it is open and must end it
    /// (start, Escape). True when the dialog appeared.
    bool WithDialog(const std::function<void(frmBackup&)>& onOpen) {
        bool bSeen = false;
        WhenModalAppears([&](QWidget* modal) {
            auto* dialog = qobject_cast<frmBackup*>(modal);
            if (dialog == nullptr) {
                modal->close();
                return;
            }
            bSeen = true;
            onOpen(*dialog);
        });
        win_->findChild<QAction*>("mnuBackupNow")->trigger();
        return bSeen;
    }
    static QPushButton* Button(frmBackup& d, int index) {
        return d.findChild<QPushButton*>(QString("cmdAction_%1").arg(index));
    }
    static QLineEdit* Password(frmBackup& d, int index) {
        return d.findChild<QLineEdit*>(QString("txtPassword_%1").arg(index));
    }
    static QCheckBox* Check(frmBackup& d, const char* name) {
        return d.findChild<QCheckBox*>(name);
    }
    static QString ArchivePath(frmBackup& d) {
        return d.findChild<QLabel*>("lblArchivePath")->text();
    }
    static void SetChecked(frmBackup& d, const char* name, bool bChecked) {
        QCheckBox* box = Check(d, name);
        if (box->isChecked() != bChecked) {
            box->click();
        }
    }
    static void Start(frmBackup& d) { QTest::mouseClick(Button(d, 1), Qt::LeftButton); }
    int ListedCount() const { return State().BackupFiles ? State().BackupFiles->Count() : -1; }
    int ShownCount() const { return win_->findChild<QListView*>("lbFiles")->model()->rowCount(); }

private Q_SLOTS:
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        State().Extensions = std::make_unique<CListString>();
        State().ExcludeFolders = std::make_unique<CListString>();
        messages_.clear();
        captions_.clear();
        StandardDialogs::SetMessageHook(
            [this](const QString& caption, const QString& text, QMessageBox::Icon) {
                captions_.append(caption);
                messages_.append(text);
            });
    }
    void cleanup() {
        StandardDialogs::SetMessageHook(nullptr);
        StandardDialogs::SetFileDialogHook(nullptr);
        StandardDialogs::SetNextAnswers({});
        BackupRun::SetTestHooks({});
        win_.reset();
        env_.reset();
    }

    void opensWithDefaults_data() {
        QTest::addColumn<bool>("flag");
        QTest::addColumn<bool>("storedFolder");
        QTest::newRow("nothing stored") << false << false;
        QTest::newRow("flag and folder stored") << true << true;
    }
    void opensWithDefaults() {
        QFETCH(bool, flag);
        QFETCH(bool, storedFolder);
        // A new user's archives go to a folder of their own, made at the first backup.
        const QString folder = storedFolder ? env_->MakeFolder("archive") : Home() + "/Sicherungen";
        if (storedFolder) {
            QVERIFY(modBackup::WriteOption("DefaultPath", folder));
        }
        if (flag) {
            QVERIFY(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
        }
        OpenMain(MakeFiles(2));
        const QDateTime before = QDateTime::currentDateTime();
        QString path;
        QString comment;
        const bool bSeen = WithDialog([&](frmBackup& d) {
            path = ArchivePath(d);
            comment = d.findChild<QLineEdit*>("txtComment")->text();
            QCOMPARE(d.windowTitle(), QString("Backup durchführen"));
            QCOMPARE(d.parentWidget(), win_.get());
            QVERIFY(d.isModal());
            QCOMPARE(d.findChild<QGroupBox*>("frameOptions")->title(), QString(" Optionen: "));
            QCOMPARE(d.findChild<QLabel*>("lblBeschriftung_0")->text(), QString("Backup-Archiv:"));
            QCOMPARE(d.findChild<QLabel*>("lblBeschriftung_1")->text(), QString("ZIP-Passwort:"));
            QCOMPARE(d.findChild<QLabel*>("lblBeschriftung_2")->text(),
                     QString("Passwort wiederholen:"));
            QCOMPARE(d.findChild<QLabel*>("lblBeschriftung_3")->text(), QString("ZIP-Kommentar:"));
            QCOMPARE(Button(d, 0)->text(), QString("»"));
            QCOMPARE(Button(d, 0)->toolTip(), QString("Verzeichnis wählen"));
            QCOMPARE(Button(d, 1)->text(), QString("Backup starten"));
            QCOMPARE(Check(d, "chkArchiveFlag")->text(),
                     QString("Archiv-Flag gesicherter Dateien löschen"));
            QCOMPARE(Check(d, "chkArchiveFlag")->isChecked(), flag);
            QVERIFY(Check(d, "chkClearListAfterBackup")->isChecked());
            QVERIFY(Check(d, "chkAdjustLastBackupDate")->isChecked());
            QVERIFY(Check(d, "chkExitAfterBackup")->isChecked());
            QCOMPARE(Check(d, "chkExitAfterBackup")->text(),
                     QString("Programm nach erfolgreichem Backup beenden"));
            for (int i = 0; i < 2; ++i) {
                QVERIFY(Password(d, i)->text().isEmpty());
                QCOMPARE(Password(d, i)->maxLength(), 20);
            }
            QVERIFY(!d.findChild<QProgressBar*>("pbZIPProgress")->isVisible());
            QVERIFY(!d.findChild<QLabel*>("lblFileAdded")->isVisible());
            QVERIFY(Button(d, 1)->isVisible());
            // The start button lies below the frame, at its right.
            const QRect frame = d.findChild<QGroupBox*>("frameOptions")->geometry();
            QVERIFY(Button(d, 1)->geometry().top() > frame.bottom());
            QCOMPARE(Button(d, 1)->geometry().right(), frame.right());
            QTest::keyClick(&d, Qt::Key_Escape);
        });
        QVERIFY(bSeen);
        const QDateTime after = QDateTime::currentDateTime();

        const QRegularExpression name(QRegularExpression::anchoredPattern(
            QRegularExpression::escape(folder) + "/(\\d{8}_\\d{4}) Backup\\.zip"));
        const QRegularExpressionMatch m = name.match(path);
        QVERIFY2(m.hasMatch(), qPrintable(path));
        const QStringList minutes = {before.toString("yyyyMMdd_HHmm"),
                                     after.toString("yyyyMMdd_HHmm")};
        QVERIFY(minutes.contains(m.captured(1)));
        QVERIFY(comment == "tägliches Backup von " + before.toString("dd.MM.yyyy HH:mm") ||
                comment == "tägliches Backup von " + after.toString("dd.MM.yyyy HH:mm"));

        // Escape before a run: nothing written, nothing changed, the program goes on.
        QVERIFY(!QFile::exists(path));
        QVERIFY(!StoredLastBackupAt());
        QVERIFY(win_->isVisible());
        QCOMPARE(ListedCount(), 2);
        QVERIFY(messages_.isEmpty());
    }

    void passwordFieldsShowStarsAndRedWhileDifferent() {
        OpenMain(MakeFiles(1));
        QVERIFY(WithDialog([](frmBackup& d) {
            QLineEdit* first = Password(d, 0);
            QLineEdit* second = Password(d, 1);
            const QColor normal = QApplication::palette(first).color(QPalette::Text);
            QVERIFY(normal != QColor(255, 0, 0));
            QCOMPARE(first->palette().color(QPalette::Text), normal);

            QTest::keyClicks(first, "a");
            QCOMPARE(first->palette().color(QPalette::Text), QColor(255, 0, 0));
            QCOMPARE(second->palette().color(QPalette::Text), QColor(255, 0, 0));
            QCOMPARE(first->displayText(), QString("*"));

            QTest::keyClicks(second, "a");
            QCOMPARE(first->palette().color(QPalette::Text), normal);
            QCOMPARE(second->palette().color(QPalette::Text), normal);

            QTest::keyClicks(second, "b");
            QCOMPARE(first->palette().color(QPalette::Text), QColor(255, 0, 0));
            QTest::keyClick(second, Qt::Key_Backspace);
            QCOMPARE(second->palette().color(QPalette::Text), normal);

            QTest::keyClicks(first, "0123456789012345678901234");
            QCOMPARE(first->text().size(), 20);
            QCOMPARE(first->displayText(), QString(20, '*'));
            // Differing passwords leave the start button available.
            QVERIFY(Button(d, 1)->isEnabled() && Button(d, 1)->isVisible());
            QTest::keyClick(&d, Qt::Key_Escape);
        }));
    }

    void archiveChoice() {
        OpenMain(MakeFiles(1));
        const QString chosen = env_->MakeFolder("elsewhere") + "/gewählt.zip";
        QList<StandardDialogs::FileDialogRequest> requests;
        QList<StandardDialogs::FileDialogResult> answers = {
            StandardDialogs::FileDialogResult::Cancelled, StandardDialogs::FileDialogResult::Failed,
            StandardDialogs::FileDialogResult::Accepted};
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest& request, QString* path) {
                requests.append(request);
                *path = chosen;
                return answers.takeFirst();
            });
        QString proposed;
        QStringList seen;
        QVERIFY(WithDialog([&](frmBackup& d) {
            proposed = ArchivePath(d);
            for (int i = 0; i < 3; ++i) {
                QTest::mouseClick(Button(d, 0), Qt::LeftButton);
                seen.append(ArchivePath(d));
            }
            QTest::keyClick(&d, Qt::Key_Escape);
        }));
        QCOMPARE(seen, QStringList({proposed, proposed, chosen}));
        QCOMPARE(requests.size(), 3);
        const StandardDialogs::FileDialogRequest& r = requests.first();
        QCOMPARE(r.title, QString("Backup Archiv-Datei speichern unter"));
        QCOMPARE(r.initialFolder, Home() + "/Sicherungen");
        QCOMPARE(r.fileName, proposed);
        QCOMPARE(r.filter, QString("ZIP-Dateien (*.zip);;Alle Dateien (*)"));
        QCOMPARE(r.defaultSuffix, QString("zip"));
        QVERIFY(!r.confirmOverwrite);
        QVERIFY(messages_.isEmpty());
    }

    // Calmly, beside the start button: the archive would be lost with the disk of its files.
    void aHintTellsWhenTheArchiveSharesTheDiskOfTheFiles() {
        struct stat home {};
        struct stat shm {};
        if (::stat("/dev/shm", &shm) != 0 || ::stat(QFile::encodeName(Home()), &home) != 0 ||
            home.st_dev == shm.st_dev) {
            QSKIP("no second file system at /dev/shm");
        }
        OpenMain(MakeFiles(1));
        QStringList answers = {"/dev/shm/sondrel-nicht-angelegt/a.zip", Home() + "/b.zip"};
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest&, QString* path) {
                *path = answers.takeFirst();
                return StandardDialogs::FileDialogResult::Accepted;
            });
        QList<bool> shown;
        QVERIFY(WithDialog([&](frmBackup& d) {
            auto* hint = d.findChild<QLabel*>("lblDiskHint");
            QCOMPARE(hint->text(), BackupRun::kSameDiskHint);
            shown << hint->isVisible();
            for (int i = 0; i < 2; ++i) {
                QTest::mouseClick(Button(d, 0), Qt::LeftButton);
                shown << hint->isVisible();
            }
            Start(d);
            shown << !hint->isHidden();
        }));
        QCOMPARE(shown, QList<bool>({true, false, true, false}));
        QVERIFY(messages_.isEmpty());
    }

    void passwordAndComment_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<bool>("zip20");  // ZIP 2.0 chosen in the options
        QTest::newRow("same") << "geheim"
                              << "geheim" << true << false;
        QTest::newRow("same, ZIP 2.0") << "geheim"
                                       << "geheim" << true << true;
        QTest::newRow("different") << "geheim"
                                   << "anders" << false << false;
        QTest::newRow("only first") << "geheim"
                                    << "" << false << false;
    }
    // The line below the password fields names the method; it is grey unless the run encrypts.
    // The fields' text is overwritten after the run, in every copy that shares it.
    void passwordAndComment() {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, encrypted);
        QFETCH(bool, zip20);
        if (zip20) {
            QVERIFY(modBackup::WriteEncryptionMethod(modBackup::EncryptionMethod::ZIP20));
        }
        const QStringList files = MakeFiles(3);
        OpenMain(files);
        QString archive;
        QString copy;
        const QString comment = "Wochenende, Größe ändert sich";
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            auto* method = d.findChild<QLabel*>("lblEncryption");
            QCOMPARE(method->text(), zip20 ? QString("Verschlüsselung: ZIP 2.0 (leicht zu knacken)")
                                           : QString("Verschlüsselung: AES-256"));
            QVERIFY(!method->isEnabled());
            QTest::keyClicks(Password(d, 0), first);
            QTest::keyClicks(Password(d, 1), second);
            QCOMPARE(method->isEnabled(), encrypted);
            QLineEdit* txtComment = d.findChild<QLineEdit*>("txtComment");
            // Key clicks carry Latin-1 only; the umlauts go in as typed text.
            txtComment->clear();
            txtComment->insert(comment);
            SetChecked(d, "chkExitAfterBackup", false);
            copy = Password(d, 0)->text();
            Start(d);
            QVERIFY(Password(d, 0)->text().isEmpty() && Password(d, 1)->text().isEmpty());
        }));
        QCOMPARE(copy, QString(first.size(), QChar(0)));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        const ZipContents zip = ReadZip(archive);
        QStringList expected;
        for (const QString& f : files) {
            expected.append(EntryName(f));
        }
        QCOMPARE(zip.names, expected);
        QCOMPARE(zip.encrypted, encrypted ? 3 : 0);
        if (encrypted && zip20) {
            const ProcessResult ok = RunTool("unzip", {"-P", first, "-t", archive});
            QVERIFY2(ok.exitCode == 0, qPrintable(ok.out));
            const ProcessResult extracted =
                RunTool("unzip", {"-P", first, "-p", archive, EntryName(files[1])});
            QCOMPARE(extracted.out, QString("Inhalt 1"));
        } else if (encrypted) {
            const ProcessResult listed = RunTool(SevenZip(), {"l", "-slt", archive});
            QCOMPARE(listed.out.count("Method = AES-256 Store"), 3);
            const ProcessResult extracted =
                RunTool(SevenZip(), {"e", "-so", "-p" + first, archive, EntryName(files[1])});
            QCOMPARE(extracted.out, QString("Inhalt 1"));
        }
        const ProcessResult info = RunTool("zipinfo", {"-z", archive});
        QVERIFY2(info.out.contains(comment), qPrintable(info.out));
    }

    void progressAcrossFourFiles() {
        const QStringList files = MakeFiles(4);
        OpenMain(files);
        QList<int> values;
        QStringList names;
        bool bRunShown = false;
        QVERIFY(WithDialog([&](frmBackup& d) {
            auto* bar = d.findChild<QProgressBar*>("pbZIPProgress");
            auto* label = d.findChild<QLabel*>("lblFileAdded");
            connect(bar, &QProgressBar::valueChanged, this, [&, bar, label](int value) {
                values.append(value);
                names.append(label->text());
                bRunShown = bar->isVisible() && label->isVisible() && !Button(d, 1)->isVisible() &&
                            !d.findChild<QGroupBox*>("frameOptions")->isEnabled();
            });
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        // The bar starts at 0, before any file name is shown; then the archive is checked.
        QCOMPARE(values, QList<int>({0, 25 * kSteps, 50 * kSteps, 75 * kSteps, 100 * kSteps, 0,
                                     25 * kSteps, 50 * kSteps, 75 * kSteps, 100 * kSteps}));
        QCOMPARE(names.takeFirst(), QString());
        QStringList sortedNames = names.mid(0, 4);
        sortedNames.sort();
        QCOMPARE(sortedNames, files);
        QCOMPARE(names.mid(4), QStringList(5, "Archiv wird geprüft ..."));
        QVERIFY(bRunShown);
        QVERIFY(messages_.isEmpty());
    }

    void pathsWithMarkupShowAsTyped() {
        const QString folder = env_->MakeFolder("x<b>fett</b>");
        QVERIFY(modBackup::WriteOption("DefaultPath", folder));
        OpenMain(MakeFiles(1, "x<b>fett</b>"));
        QString archivePath;
        bool bArchiveAsTyped = false;
        QStringList shown;
        QVERIFY(WithDialog([&](frmBackup& d) {
            auto* archive = d.findChild<QLabel*>("lblArchivePath");
            archivePath = archive->text();
            bArchiveAsTyped = ShowsAsTyped(archive);
            auto* current = d.findChild<QLabel*>("lblFileAdded");
            connect(d.findChild<QProgressBar*>("pbZIPProgress"), &QProgressBar::valueChanged, this,
                    [&shown, current] {
                        if (!current->text().isEmpty() && ShowsAsTyped(current)) {
                            shown << current->text();
                        }
                    });
            Start(d);
        }));
        QVERIFY2(archivePath.startsWith(folder + "/"), qPrintable(archivePath));
        QVERIFY(bArchiveAsTyped);
        // The check that follows the writing shows its own line.
        QVERIFY(shown.removeAll("Archiv wird geprüft ...") > 0);
        QCOMPARE(shown, QStringList{Home() + "/x<b>fett</b>/f00000.txt"});
    }

    void afterEffects_data() {
        QTest::addColumn<bool>("adjustDate");
        QTest::addColumn<bool>("clearFlag");
        QTest::addColumn<bool>("clearList");
        QTest::addColumn<bool>("exitProgram");
        QTest::newRow("all") << true << true << true << true;
        QTest::newRow("none") << false << false << false << false;
        QTest::newRow("only date") << true << false << false << false;
        QTest::newRow("only archive flag") << false << true << false << false;
        QTest::newRow("only list") << false << false << true << false;
        QTest::newRow("only exit") << false << false << false << true;
    }
    void afterEffects() {
        QFETCH(bool, adjustDate);
        QFETCH(bool, clearFlag);
        QFETCH(bool, clearList);
        QFETCH(bool, exitProgram);
        const QStringList files = MakeFiles(3);
        OpenMain(files);
        for (const QString& f : files) {
            QCOMPARE(AttributesOf(f), 32);
        }
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QString archive;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            SetChecked(d, "chkAdjustLastBackupDate", adjustDate);
            SetChecked(d, "chkArchiveFlag", clearFlag);
            SetChecked(d, "chkClearListAfterBackup", clearList);
            SetChecked(d, "chkExitAfterBackup", exitProgram);
            Start(d);
        }));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        QCOMPARE(ReadZip(archive).names.size(), 3);

        const std::optional<QString> stored = StoredLastBackupAt();
        QCOMPARE(stored.has_value(), adjustDate);
        if (adjustDate) {
            const QDateTime at = QDateTime::fromString(*stored, "dd.MM.yyyy HH:mm:ss");
            QVERIFY(at >= before && at <= QDateTime::currentDateTime());
        }
        for (const QString& f : files) {
            QCOMPARE(AttributesOf(f), clearFlag ? 0 : 32);
        }
        // Ending the program closes the main window, which stores the list.
        QCOMPARE(win_->isVisible(), !exitProgram);
        if (exitProgram) {
            QCOMPARE(StoredCount(), clearList ? 0 : 3);
        } else {
            QCOMPARE(ListedCount(), clearList ? 0 : 3);
            QCOMPARE(ShownCount(), clearList ? 0 : 3);
            QCOMPARE(win_->findChild<QLabel*>("StatusBarPanel2")->text(),
                     QString(clearList ? "0 Datei(en)" : "3 Datei(en)"));
        }
    }

    // The stored backup moment is the run's start, not its end: a file changed while the run was
    // going is newer than it.
    void lastBackupIsTheStartMoment() {
        OpenMain(MakeFiles(2));
        QDateTime firstFileAt;
        QVERIFY(WithDialog([&](frmBackup& d) {
            auto* bar = d.findChild<QProgressBar*>("pbZIPProgress");
            connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
                if (value > 0 && !firstFileAt.isValid()) {
                    firstFileAt = QDateTime::currentDateTime();
                    QThread::msleep(1500);
                }
            });
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        QVERIFY(messages_.isEmpty());
        QVERIFY(firstFileAt.isValid());
        const QDateTime at = QDateTime::fromString(*StoredLastBackupAt(), "dd.MM.yyyy HH:mm:ss");
        QVERIFY2(at <= firstFileAt, qPrintable(at.toString() + " > " + firstFileAt.toString()));
    }

    void archiveMarks() {
        QVERIFY(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
        const QString plain = env_->MakeFile("m/plain.txt", "a");
        const QString notMarked = env_->MakeFile("m/saved-before.txt", "b");
        const QString readOnly = env_->MakeFile("m/read-only.txt", "c");
        const QString changed = env_->MakeFile("m/changed.txt", "d");
        const QString vanished = env_->MakeFile("m/vanished.txt", "e");
        QVERIFY(::chmod(QFile::encodeName(readOnly).constData(), 0444) == 0);
        QVERIFY(State().FSO.GetFile(notMarked).SetAttributes(0));
        QCOMPARE(AttributesOf(readOnly), 33);
        QCOMPARE(AttributesOf(notMarked), 0);
        OpenMain({plain, notMarked, readOnly, changed, vanished});

        QVERIFY(WithDialog([&](frmBackup& d) {
            QVERIFY(Check(d, "chkArchiveFlag")->isChecked());
            auto* bar = d.findChild<QProgressBar*>("pbZIPProgress");
            auto* label = d.findChild<QLabel*>("lblFileAdded");
            connect(bar, &QProgressBar::valueChanged, this, [&, label] {
                // Both files are in the archive already when they change or go.
                if (label->text() == changed) {
                    QFile file(changed);
                    QVERIFY(file.open(QIODevice::Append));
                    file.write("geändert");
                } else if (label->text() == vanished) {
                    QVERIFY(QFile::remove(vanished));
                }
            });
            SetChecked(d, "chkClearListAfterBackup", false);
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        QCOMPARE(AttributesOf(plain), 0);
        QCOMPARE(AttributesOf(notMarked), 0);
        QCOMPARE(AttributesOf(readOnly), 1);
        QCOMPARE(AttributesOf(changed), 32);
        QVERIFY(!QFile::exists(vanished));
        QCOMPARE(
            RunTool("sqlite3", {Home() + "/../state/tarvello/archive-marks.sqlite3",
                                "SELECT count(*) FROM archive_marks WHERE path LIKE '%/old/%'"})
                .out.trimmed(),
            QString("0"));
        // The list check after the dialog drops the vanished file.
        QCOMPARE(ListedCount(), 4);
        QCOMPARE(win_->findChild<QLabel*>("StatusBarPanel2")->text(), QString("4 Datei(en)"));
    }

    // A name from an old disk reaches the archive with its exact bytes, flagged as not UTF-8; an
    // archive folder named so shows its byte as "\xE9" and holds the archive.
    void aNameThatIsNotUtf8ReachesTheArchiveExactly() {
        const QByteArray raw = NativePath(env_->MakeFolder("alt")) +
                               "/Gr\xfc\xdf"
                               "e.txt";
        QVERIFY(::close(::open(raw.constData(), O_CREAT | O_WRONLY, 0644)) == 0);
        QVERIFY(::truncate(raw.constData(), 5) == 0);
        const QByteArray folder = NativePath(Home()) + "/caf\xe9";
        QVERIFY(::mkdir(folder.constData(), 0700) == 0);
        QVERIFY(modBackup::WriteOption("DefaultPath", PathFromNative(folder)));
        OpenMain({PathFromNative(raw)});
        QString shown;
        QVERIFY(WithDialog([&](frmBackup& d) {
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
            shown = ArchivePath(d);
        }));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        QVERIFY2(shown.startsWith(Home() + "/caf\\xE9/"), qPrintable(shown));
        const QByteArray archive = folder + "/" + shown.section('/', -1).toUtf8();
        const ProcessResult r =
            RunTool("python3",
                    {"-c",
                     "import os, sys, zipfile\n"
                     "path = os.fsdecode(bytes.fromhex(sys.argv[1]))\n"
                     "i = zipfile.ZipFile(path).infolist()[0]\n"
                     "print(i.flag_bits & 0x800, i.file_size, i.filename.encode('cp437').hex())\n",
                     QString::fromLatin1(archive.toHex())});
        QCOMPARE(r.out.trimmed(), "0 5 " + QString::fromLatin1(raw.mid(1).toHex()));
        // QTemporaryDir cannot name them.
        ::unlink(raw.constData());
        ::unlink(archive.constData());
        ::rmdir(folder.constData());
    }

    // Paths another start hands over while a backup runs wait for its after-effects: emptying the
    // list afterwards must not take a path the run did not archive.
    void pathsOfOtherStartsWaitForTheBackup() {
        const QStringList files = MakeFiles(3);
        SingleInstance::Lock lock;
        QVERIFY(lock.TryAcquire().ValueOr(false));
        OpenMain(files);
        QVERIFY(win_->ListenForOtherStarts());
        const QString late = env_->MakeFile("late.txt");
        QProcess intake;
        QString archive;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            SetChecked(d, "chkClearListAfterBackup", true);
            SetChecked(d, "chkExitAfterBackup", false);
            intake.start(SONDREL_PROGRAM, {late});
            QVERIFY(intake.waitForStarted());
            QTest::qWait(1500);  // the window has the request by now
            QCOMPARE(intake.state(), QProcess::Running);
            QCOMPARE(ListedCount(), 3);
            Start(d);
        }));
        QTRY_VERIFY_WITH_TIMEOUT(intake.state() == QProcess::NotRunning, 60000);
        QCOMPARE(intake.exitCode(), 0);
        QCOMPARE(ReadZip(archive).names.size(), 3);
        QCOMPARE(ListedCount(), 1);
        State().BackupFiles->MoveFirst();
        QCOMPARE(State().BackupFiles->Data(), late);
        QCOMPARE(StoredCount(), 1);
        QCOMPARE(win_->findChild<QLabel*>("StatusBarPanel2")->text(), QString("1 Datei(en)"));
    }

    void failedRunAppliesNothing_data() {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder is a file") << "file"
                                          << "ein Teil des Pfads ist kein Ordner";
        QTest::newRow("missing folder") << "missing"
                                        << "Datei oder Ordner nicht gefunden";
    }
    void failedRunAppliesNothing() {
        QFETCH(QString, where);
        QFETCH(QString, reason);
        const QString plainFile = env_->MakeFile("plain.txt");
        const QString archive =
            where == "file" ? plainFile + "/backup.zip" : Home() + "/fehlt/backup.zip";
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest&, QString* path) {
                *path = archive;
                return StandardDialogs::FileDialogResult::Accepted;
            });
        QVERIFY(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
        const QStringList files = MakeFiles(3);
        OpenMain(files);
        QVERIFY(WithDialog([&](frmBackup& d) {
            QTest::mouseClick(Button(d, 0), Qt::LeftButton);
            QCOMPARE(ArchivePath(d), archive);
            Start(d);
        }));
        QCOMPARE(captions_, QStringList({"Sondrel"}));
        const QString text = messages_.value(0);
        QVERIFY2(text.startsWith("Das Backup ist fehlgeschlagen."), qPrintable(text));
        QVERIFY2(text.contains(archive) && text.contains(reason), qPrintable(text));
        QVERIFY2(text.contains("Fehler 3"), qPrintable(text));
        QVERIFY(!QFile::exists(archive));
        QVERIFY(!StoredLastBackupAt());
        for (const QString& f : files) {
            QCOMPARE(AttributesOf(f), 32);
        }
        QVERIFY(win_->isVisible());
        QCOMPARE(ListedCount(), 3);
        QCOMPARE(ShownCount(), 3);
    }

    void unreadableFileFailsTheRun() {
        const QStringList files = MakeFiles(2);
        const QString folder = env_->MakeFolder("ein-ordner");
        OpenMain(files);
        // A folder on the list cannot be read as a file; the list check keeps only files, so it
        // is added behind the window's back.
        State().BackupFiles->Add(folder);
        QString archive;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            Start(d);
        }));
        const QString text = messages_.value(0);
        QVERIFY2(text.startsWith("Das Backup ist fehlgeschlagen."), qPrintable(text));
        QVERIFY2(text.contains("Diese Dateien konnten nicht gelesen werden:\n" + folder),
                 qPrintable(text));
        QVERIFY2(text.contains("Fehler 2"), qPrintable(text));
        QVERIFY(!StoredLastBackupAt());
        QVERIFY(win_->isVisible());
        QCOMPARE(ListedCount(), 3);
    }

    void emptyList() {
        OpenMain({});
        QString archive;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            Start(d);
        }));
        QCOMPARE(captions_, QStringList({"Sondrel"}));
        QCOMPARE(messages_.value(0),
                 QString("Das Backup ist fehlgeschlagen.\n\nDie Backup-Liste ist leer."));
        QVERIFY(!QFile::exists(archive));
        QVERIFY(!StoredLastBackupAt());
        QVERIFY(win_->isVisible());
    }

    // Events run while the run goes on, but neither Escape nor the close box end the dialog.
    void cannotBeClosedWhileRunning() {
        OpenMain(MakeFiles(50));
        bool bTried = false;
        bool bStillOpen = false;
        QString archive;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            // Only an event loop inside the run can deliver this before the run has ended.
            QTimer::singleShot(0, &d, [&] {
                bTried = true;
                QTest::keyClick(&d, Qt::Key_Escape);
                const bool bClosed = d.close();
                bStillOpen = !bClosed && d.isVisible() &&
                             d.findChild<QProgressBar*>("pbZIPProgress")->isVisible();
            });
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        QVERIFY(bTried);
        QVERIFY(bStillOpen);
        QVERIFY(messages_.isEmpty());
        QCOMPARE(ReadZip(archive).names.size(), 50);
        QCOMPARE(ListedCount(), 0);
    }

    // Beyond the archiver's 4096 files the same archive grows, password and comment included, and
    // the program ends afterwards.
    void largeListIsArchivedWhole() {
        const QStringList files = MakeFiles(5000, "viele");
        OpenMain(files);
        QString archive;
        QList<int> values;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            auto* bar = d.findChild<QProgressBar*>("pbZIPProgress");
            connect(bar, &QProgressBar::valueChanged, this, [&](int v) { values.append(v); });
            QTest::keyClicks(Password(d, 0), "pw");
            QTest::keyClicks(Password(d, 1), "pw");
            Start(d);
        }));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n').left(2000)));
        const ZipContents zip = ReadZip(archive);
        QCOMPARE(zip.names.size(), 5000);
        QCOMPARE(QSet<QString>(zip.names.begin(), zip.names.end()).size(), 5000);
        QCOMPARE(zip.encrypted, 5000);
        const ProcessResult info = RunTool("zipinfo", {"-z", archive});
        QVERIFY(info.out.contains("tägliches Backup von "));
        // The bar runs once while the files are archived, a step per file, and once while the
        // archive is checked (by several threads, so not every step is shown).
        const QList<int> archiving = values.mid(0, values.indexOf(100 * kSteps) + 1);
        const QList<int> checking = values.mid(archiving.size());
        QCOMPARE(archiving.size(), 5001);
        for (const QList<int>& run : {archiving, checking}) {
            QCOMPARE(run.first(), 0);
            QVERIFY(std::adjacent_find(run.begin(), run.end(), std::greater_equal<>()) ==
                    run.end());
            QCOMPARE(run.last(), 100 * kSteps);
        }
        QCOMPARE(archiving.value(4096), 4096 * 100 * kSteps / 5000);
        QVERIFY(!win_->isVisible());
        QCOMPARE(StoredCount(), 0);
    }

    // The second backup of a minute never replaces the first: the dialog proposes the first free
    // name, looks again when the run starts, and the run once more as it names the archive, since
    // another run may have taken the name meanwhile; the dialog shows the name used.
    void twoBackupsInOneMinuteNeverReplaceEachOther() {
        const QStringList files = MakeFiles(2);
        OpenMain(files);
        QString first;
        QVERIFY(WithDialog([&](frmBackup& d) {
            first = ArchivePath(d);
            SetChecked(d, "chkClearListAfterBackup", false);
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        // The first backup made the new user's archive folder, for the user alone.
        QCOMPARE(QFileInfo(first).path(), Home() + "/Sicherungen");
        QCOMPARE(QFile::permissions(Home() + "/Sicherungen") & 0x0077, QFileDevice::Permissions());
        // Should the minute turn meanwhile, the next minute's name is taken too.
        env_->MakeFile("Sicherungen/" + ArchiveName(QDateTime::currentDateTime().addSecs(60)),
                       "nächste Minute");
        const QByteArray firstBytes = ReadBytes(first);

        QString proposed;
        QString started;
        QString used;
        QByteArray meanwhile("von einem anderen Lauf");
        // The name the run started with is taken while it writes: it ends under the next one.
        BackupRun::TestHooks hooks;
        hooks.beforeVerify = [&](const QString&) { WriteBytes(started, meanwhile); };
        BackupRun::SetTestHooks(hooks);
        QVERIFY(WithDialog([&](frmBackup& d) {
            proposed = ArchivePath(d);
            WriteBytes(proposed, meanwhile);
            auto* bar = d.findChild<QProgressBar*>("pbZIPProgress");
            connect(bar, &QProgressBar::valueChanged, this, [&] { started = ArchivePath(d); });
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
            used = ArchivePath(d);
        }));
        QVERIFY2(messages_.isEmpty(), qPrintable(messages_.join('\n')));
        QVERIFY2(proposed.endsWith(" Backup (2).zip"), qPrintable(proposed));
        const QString stem = proposed.chopped(QString(" (2).zip").size());
        QCOMPARE(started, stem + " (3).zip");
        QCOMPARE(used, stem + " (3) (2).zip");
        QCOMPARE(ReadBytes(first), firstBytes);
        QCOMPARE(ReadBytes(proposed), meanwhile);
        QCOMPARE(ReadBytes(started), meanwhile);
        QCOMPARE(ReadZip(used).names, QStringList({EntryName(files[0]), EntryName(files[1])}));
    }

    // An existing file chosen with "»" is grown ("Ergänzen"), its entries kept and a same-named
    // one replaced by the newer file, or the choice is dropped ("Abbrechen").
    void existingArchiveChosenIsGrownOrLeft() {
        const QStringList files = MakeFiles(2);
        const QString existing = Home() + "/vorhanden.zip";
        const ProcessResult made =
            RunTool("python3", {"-c",
                                "import sys, zipfile\n"
                                "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                "    z.writestr('alt.txt', 'alt')\n"
                                "    z.writestr(sys.argv[2], 'veraltet')\n",
                                existing, EntryName(files[0])});
        QVERIFY2(made.exitCode == 0, qPrintable(made.out));
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest&, QString* path) {
                *path = existing;
                return StandardDialogs::FileDialogResult::Accepted;
            });
        StandardDialogs::SetNextAnswers({1, 0});
        OpenMain(files);
        QStringList seen;
        QVERIFY(WithDialog([&](frmBackup& d) {
            const QString proposed = ArchivePath(d);
            QTest::mouseClick(Button(d, 0), Qt::LeftButton);
            seen.append(ArchivePath(d) == proposed ? "unverändert" : ArchivePath(d));
            QTest::mouseClick(Button(d, 0), Qt::LeftButton);
            seen.append(ArchivePath(d));
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        QCOMPARE(seen, QStringList({"unverändert", existing}));
        QCOMPARE(captions_, QStringList({"Sondrel", "Sondrel"}));
        QVERIFY2(messages_.value(0).startsWith("Die Datei „" + existing + "“ gibt es schon."),
                 qPrintable(messages_.value(0)));
        QCOMPARE(messages_.size(), 2);
        QCOMPARE(ReadZip(existing).names,
                 QStringList({"alt.txt", EntryName(files[0]), EntryName(files[1])}));
        QCOMPARE(EntryText(existing, EntryName(files[0])), QString("Inhalt 0"));
        QCOMPARE(EntryText(existing, "alt.txt"), QString("alt"));
        QCOMPARE(ListedCount(), 0);
    }

    // An archive under ZIP 2.0, grown while AES-256 is chosen, keeps its method: unzip still reads
    // it whole, and the message after the run says why.
    void grownArchiveKeepsItsMethodAndSaysSo() {
        const QStringList files = MakeFiles(2);
        const QString existing = Home() + "/alt.zip";
        const QString old = env_->MakeFile("alt.txt", "alt");
        const ProcessResult made =
            RunTool(SevenZip(), {"a", "-tzip", "-mem=ZipCrypto", "-pgeheim", existing, old});
        QVERIFY2(made.exitCode == 0, qPrintable(made.out));
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest&, QString* path) {
                *path = existing;
                return StandardDialogs::FileDialogResult::Accepted;
            });
        StandardDialogs::SetNextAnswers({0});
        OpenMain(files);
        QVERIFY(WithDialog([&](frmBackup& d) {
            QTest::mouseClick(Button(d, 0), Qt::LeftButton);
            QTest::keyClicks(Password(d, 0), "geheim");
            QTest::keyClicks(Password(d, 1), "geheim");
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        QCOMPARE(messages_.size(), 2);
        QCOMPARE(messages_[1],
                 "Das Archiv „" + existing +
                     "“ ist geschrieben und geprüft.\n\nHinweis: Die Einträge des "
                     "Archivs " +
                     existing +
                     " sind mit ZIP 2.0 verschlüsselt; die neuen werden es ebenso, "
                     "nicht mit AES-256, damit das Archiv bei einem Verfahren bleibt.");
        const ProcessResult tested = RunTool("unzip", {"-P", "geheim", "-t", existing});
        QVERIFY2(tested.exitCode == 0, qPrintable(tested.out));
        QCOMPARE(ReadZip(existing).encrypted, 3);
    }

    // A file there that is no ZIP archive fails the run with the reason and stays as it was.
    void chosenFileThatIsNoArchiveStaysUntouched() {
        const QString notes = env_->MakeFile("notizen.zip", "Einkaufsliste: Milch, Brot\n");
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest&, QString* path) {
                *path = notes;
                return StandardDialogs::FileDialogResult::Accepted;
            });
        StandardDialogs::SetNextAnswers({0});
        OpenMain(MakeFiles(2));
        QVERIFY(WithDialog([&](frmBackup& d) {
            QTest::mouseClick(Button(d, 0), Qt::LeftButton);
            Start(d);
        }));
        const QString text = messages_.value(1);
        QVERIFY2(text.startsWith("Das Backup ist fehlgeschlagen."), qPrintable(text));
        QVERIFY2(text.contains(notes + " kann nicht gelesen werden: keine ZIP-Datei"),
                 qPrintable(text));
        QCOMPARE(ReadBytes(notes), QByteArray("Einkaufsliste: Milch, Brot\n"));
        QVERIFY(!StoredLastBackupAt());
        QVERIFY(win_->isVisible());
        QCOMPARE(ListedCount(), 2);
    }

    // An after-effect that cannot be stored is told, not swallowed: the archive is there and
    // checked, the moment of the backup is not stored.
    void afterEffectsThatCannotBeStoredAreTold() {
        const QStringList files = MakeFiles(2);
        sqlite3* other = nullptr;
        BackupRun::TestHooks hooks;
        hooks.beforeVerify = [&](const QString&) {
            const QByteArray store =
                modRegistry::StorePath(modRegistry::HKEY_CURRENT_USER).toUtf8();
            if (sqlite3_open(store.constData(), &other) != SQLITE_OK ||
                sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
                qWarning("the store could not be locked");
            }
        };
        BackupRun::SetTestHooks(hooks);
        OpenMain(files);
        QString archive;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            SetChecked(d, "chkExitAfterBackup", false);
            Start(d);
        }));
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        QCOMPARE(messages_.size(), 1);
        QVERIFY2(messages_[0].startsWith("Das Archiv „" + archive +
                                         "“ ist geschrieben und geprüft.\n\nDas Datum des letzten "
                                         "Backups konnte nicht gespeichert werden: „"),
                 qPrintable(messages_[0]));
        QVERIFY(!StoredLastBackupAt());
        QCOMPARE(ReadZip(archive).names.size(), 2);
    }

    // The archive is read back before anything is forgotten: one wrong byte between writing and
    // checking fails the backup, names the entry, and leaves the list, the marks and the time.
    void archiveDamagedBeforeTheCheckFailsTheBackup() {
        QVERIFY(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
        const QStringList files = MakeFiles(3);
        BackupRun::TestHooks hooks;
        hooks.beforeVerify = [&](const QString& archive) {
            DamageEntry(archive, EntryName(files[1]));
        };
        BackupRun::SetTestHooks(hooks);
        OpenMain(files);
        QString archive;
        QVERIFY(WithDialog([&](frmBackup& d) {
            archive = ArchivePath(d);
            Start(d);
        }));
        // Kept for a look under a name that says so; nothing under the archive's own name.
        const QString damaged = archive.chopped(4) + " (fehlerhaft).zip";
        QCOMPARE(messages_, QStringList({"Das Backup ist fehlgeschlagen.\n\nDas Archiv ist "
                                         "fehlerhaft: " +
                                         EntryName(files[1]) +
                                         ": Prüfsumme (CRC) stimmt nicht\n\nDas fehlerhafte "
                                         "Archiv liegt zur Ansicht unter „" +
                                         damaged + "“."}));
        QVERIFY(!QFile::exists(archive));
        QCOMPARE(ReadZip(damaged).names.size(), 3);
        QVERIFY(!StoredLastBackupAt());
        for (const QString& f : files) {
            QCOMPARE(AttributesOf(f), 32);
        }
        QVERIFY(win_->isVisible());
        QCOMPARE(ListedCount(), 3);
    }
};

QTEST_MAIN(TestFrmBackup)
#include "test_frmBackup.moc"
