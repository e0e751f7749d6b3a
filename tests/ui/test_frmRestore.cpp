// The restore dialog over archives written by the real daily run (sondrel-backup --search), each
// renamed to the minute of a simulated day; driven through its widgets, the restored files
// compared byte for byte with what was backed up.

#include <fcntl.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTimeEdit>
#include <QTreeView>
#include <QtTest>
#include <memory>

#include "app/NativePath.h"
#include "app/modBackup.h"
#include "tests/ui/support/FreshEnvironment.h"
#include "ui/RestoreTreeModel.h"
#include "ui/StandardDialogs.h"
#include "ui/frmMain.h"
#include "ui/frmRestore.h"

using modBackup::State;

namespace {

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<fehlt>");
}

// For names that are no UTF-8, which QFile cannot open.
QByteArray ReadNative(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0) {
        return "<fehlt>";
    }
    QByteArray data(4096, '\0');
    const ssize_t got = ::read(fd, data.data(), static_cast<size_t>(data.size()));
    ::close(fd);
    return data.left(got < 0 ? 0 : got);
}

// Every file below folder, relative to it, hidden ones included.
QStringList FilesBelow(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << QDir(folder).relativeFilePath(it.next());
    }
    found.sort();
    return found;
}

}  // namespace

class TestFrmRestore : public QObject {
    Q_OBJECT

    std::unique_ptr<FreshEnvironment> env_;
    QStringList named_;  // archives already given their day's name
    QString sPasswordFile_;
    QList<QByteArray> oddNames_;  // removed by hand: QDir cannot name them

    QString Data() const { return env_->Home() + "/daten"; }
    QString Archives() const { return env_->Home() + "/Sicherungen"; }

    // One scheduled run; its archive and record then carry the minute of the simulated day.
    void Day(const QString& sMinute) {
        modBackup::ResetState();
        QStringList args{"--search", "--folder", Archives()};
        if (!sPasswordFile_.isEmpty()) {
            args << "--password-file" << sPasswordFile_;
        }
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
            env.remove(name);
        }
        process.setProcessEnvironment(env);
        process.start(SONDREL_BACKUP_PROGRAM, args);
        QVERIFY(process.waitForFinished(300000));
        QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
        const QStringList zips = QDir(Archives()).entryList({"*.zip"}, QDir::Files);
        int renamed = 0;
        for (const QString& zip : zips) {
            if (named_.contains(zip)) {
                continue;
            }
            const QString base = zip.chopped(4);
            const QString newBase = sMinute + " Backup";
            QVERIFY(QFile::rename(Archives() + "/" + zip, Archives() + "/" + newBase + ".zip"));
            QVERIFY(QFile::rename(Archives() + "/" + base + ".zustand",
                                  Archives() + "/" + newBase + ".zustand"));
            named_ << newBase + ".zip";
            ++renamed;
        }
        QCOMPARE(renamed, 1);
    }

    // Day 1: a, b and sub/c; day 2: a changed, b deleted.
    void TwoDays() {
        env_->MakeFile("daten/a.txt", "eins");
        env_->MakeFile("daten/b.txt", "bleibt nicht");
        env_->MakeFile("daten/sub/c.txt", "drei");
        Day("20250101_1000");
        QTest::qWait(1100);  // a new modification time, whatever the file system's resolution
        env_->MakeFile("daten/a.txt", "zwei, länger");
        QVERIFY(QFile::remove(Data() + "/b.txt"));
        Day("20250102_1000");
    }

    static RestoreTreeModel* Model(frmRestore& dialog) {
        return qobject_cast<RestoreTreeModel*>(dialog.findChild<QTreeView*>("tvFiles")->model());
    }
    static void SetMoment(frmRestore& dialog, const QDate& date, const QTime& time) {
        dialog.findChild<QDateEdit*>("dtpDate")->setDate(date);
        dialog.findChild<QTimeEdit*>("dtpTime")->setTime(time);
        QTRY_COMPARE(dialog.Moment(), QDateTime(date, QTime(time.hour(), time.minute(), 59)));
    }
    // The moment column of path's row; empty when the tree does not show it.
    static QString MomentOf(frmRestore& dialog, const QString& path) {
        RestoreTreeModel* model = Model(dialog);
        const QModelIndex at = model->IndexOf(NativePath(path));
        return at.isValid() ? model->index(at.row(), RestoreTreeModel::ColMoment, at.parent())
                                  .data()
                                  .toString()
                            : QString();
    }
    // What the dialog said at the end of a run, for the messages of failed checks.
    static QByteArray Told(frmRestore& dialog) {
        return (dialog.StatusText() + "\n" +
                dialog.findChild<QPlainTextEdit*>("txtReport")->toPlainText())
            .toUtf8();
    }
    static void RestoreInto(frmRestore& dialog, const QString& target) {
        dialog.findChild<QRadioButton*>("optFolder")->click();
        dialog.findChild<QLineEdit*>("txtTarget")->setText(target);
        auto* start = dialog.findChild<QPushButton*>("cmdRestore");
        QVERIFY(start->isEnabled());
        start->click();
    }

private Q_SLOTS:
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        QVERIFY(modBackup::WriteOption("SearchPath", Data()));
        QVERIFY(modBackup::WriteOption("DefaultPath", Archives()));
        env_->MakeFolder("Sicherungen");
        env_->MakeFolder("ziel");
        named_.clear();
        sPasswordFile_.clear();
    }
    void cleanup() {
        for (const QByteArray& name : oddNames_) {
            ::unlink(name.constData());
        }
        oddNames_.clear();
        StandardDialogs::SetPasswordHook(nullptr);
        StandardDialogs::SetMessageHook(nullptr);
        StandardDialogs::SetNextAnswers({});
        env_.reset();
    }

    // The main window's "Datei" menu opens the dialog.
    void menuOpensTheDialog() {
        QVERIFY(modBackup::LoadBackupList());
        frmMain main;
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        QAction* item = main.findChild<QAction*>("mnuRestore");
        QVERIFY(item != nullptr);
        QCOMPARE(item->text(), QStringLiteral("&Wiederherstellen ..."));
        QVERIFY(main.findChild<QMenu*>("mnuDatei")->actions().contains(item));
        QString sSeen;
        WhenModalAppears([&](QWidget* modal) {
            sSeen = modal->metaObject()->className();
            modal->close();
        });
        item->trigger();
        QCOMPARE(sSeen, QStringLiteral("frmRestore"));
    }

    // The tree holds each path as it was at the chosen moment; a deleted file only when asked.
    void treeFollowsTheMomentAndHidesDeletedFiles() {
        TwoDays();
        frmRestore dialog;
        dialog.show();
        RestoreTreeModel* model = Model(dialog);
        QCOMPARE(dialog.findChild<QLineEdit*>("txtFolder")->text(), Archives());
        // Default now: the newest, without the deleted file.
        QTRY_COMPARE(model->FileCount(), 2);
        QCOMPARE(MomentOf(dialog, Data() + "/a.txt"), QStringLiteral("02.01.2025 10:00"));
        QCOMPARE(MomentOf(dialog, Data() + "/sub/c.txt"), QStringLiteral("01.01.2025 10:00"));
        QVERIFY(!model->IndexOf(NativePath(Data() + "/b.txt")).isValid());
        // The single chain of folders down to the files is open.
        QVERIFY(dialog.findChild<QTreeView*>("tvFiles")->isExpanded(
            model->IndexOf(NativePath(Data()))));

        SetMoment(dialog, QDate(2025, 1, 1), QTime(23, 59));
        QTRY_COMPARE(model->FileCount(), 3);
        QCOMPARE(MomentOf(dialog, Data() + "/a.txt"), QStringLiteral("01.01.2025 10:00"));
        QVERIFY(model->IndexOf(NativePath(Data() + "/b.txt")).isValid());

        SetMoment(dialog, QDate(2025, 1, 2), QTime(10, 0));  // the archive's own minute counts
        QTRY_COMPARE(model->FileCount(), 2);
        QCOMPARE(MomentOf(dialog, Data() + "/a.txt"), QStringLiteral("02.01.2025 10:00"));
        dialog.findChild<QCheckBox*>("chkDeleted")->click();
        QCOMPARE(model->FileCount(), 3);
        QCOMPARE(MomentOf(dialog, Data() + "/b.txt"), QStringLiteral("01.01.2025 10:00"));
        dialog.findChild<QCheckBox*>("chkDeleted")->click();
        QCOMPARE(model->FileCount(), 2);

        SetMoment(dialog, QDate(2024, 12, 31), QTime(12, 0));
        QTRY_COMPARE(model->FileCount(), 0);
        QCOMPARE(dialog.StatusText(),
                 QStringLiteral("Zu diesem Zeitpunkt ist keine Datei gesichert."));
        QVERIFY(!dialog.findChild<QPushButton*>("cmdRestore")->isEnabled());
    }

    // Only the checked files come back, below the chosen folder, as they were at the moment;
    // a folder's box follows its files.
    void restoresTheCheckedFilesIntoAFolder() {
        TwoDays();
        // A name that is no UTF-8 comes back byte-exact.
        const QByteArray oddBytes = NativePath(Data()) + "/\x84rger.txt";
        const QString odd = PathFromNative(oddBytes);
        oddNames_ << oddBytes << NativePath(env_->Home() + "/ziel2") + oddBytes;
        const int fd = ::open(oddBytes.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "\xC3\x84rger", 6), ssize_t(6));
        ::close(fd);
        Day("20250103_1000");

        frmRestore dialog;
        dialog.show();
        RestoreTreeModel* model = Model(dialog);
        QTRY_COMPARE(model->FileCount(), 3);
        QCOMPARE(model->IndexOf(NativePath(odd)).data().toString(),
                 QStringLiteral("\\x84rger.txt"));
        SetMoment(dialog, QDate(2025, 1, 1), QTime(12, 0));
        QTRY_COMPARE(model->FileCount(), 3);

        const QModelIndex sub = model->IndexOf(NativePath(Data() + "/sub"));
        QVERIFY(model->setData(sub, Qt::Unchecked, Qt::CheckStateRole));
        QCOMPARE(model->IndexOf(NativePath(Data())).data(Qt::CheckStateRole).toInt(),
                 int(Qt::PartiallyChecked));
        QCOMPARE(model->CheckedCount(), 2);
        QVERIFY(
            model->setData(model->IndexOf(NativePath(Data())), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(model->IndexOf(NativePath(Data() + "/sub/c.txt")).data(Qt::CheckStateRole).toInt(),
                 int(Qt::Checked));
        QVERIFY(model->setData(model->IndexOf(NativePath(Data() + "/sub/c.txt")), Qt::Unchecked,
                               Qt::CheckStateRole));
        QCOMPARE(sub.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));

        const QString target = env_->Home() + "/ziel";
        RestoreInto(dialog, target);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.bRunning(), 60000);
        const QString below = target + Data();
        QVERIFY2(dialog.StatusText().startsWith("2 Dateien"), Told(dialog).constData());
        QCOMPARE(FilesBelow(target),
                 QStringList({QDir(target).relativeFilePath(below + "/a.txt"),
                              QDir(target).relativeFilePath(below + "/b.txt")}));
        QCOMPARE(ReadBytes(below + "/a.txt"), QByteArray("eins"));
        QCOMPARE(ReadBytes(below + "/b.txt"), QByteArray("bleibt nicht"));
        QCOMPARE(dialog.findChild<QPushButton*>("cmdClose")->text(), QStringLiteral("&Schließen"));

        // The newest moment, every file: the odd name too.
        SetMoment(dialog, QDate(2025, 1, 3), QTime(12, 0));
        QTRY_COMPARE(model->FileCount(), 3);
        // Into a folder that does not exist yet: made when the user agrees.
        const QString second = env_->Home() + "/ziel2";
        QStringList questions;
        StandardDialogs::SetMessageHook(
            [&](const QString&, const QString& text, QMessageBox::Icon) { questions << text; });
        StandardDialogs::SetNextAnswers({1});
        RestoreInto(dialog, second);
        QCOMPARE(questions, QStringList("Den Ordner „" + second +
                                        "“ gibt es nicht. Soll er angelegt werden?"));
        QVERIFY(!dialog.bRunning());
        QVERIFY(!QFileInfo::exists(second));
        StandardDialogs::SetNextAnswers({0});
        RestoreInto(dialog, second);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.bRunning(), 60000);
        QCOMPARE(ReadNative(NativePath(second) + oddBytes), QByteArray("\xC3\x84rger"));
        QCOMPARE(ReadBytes(second + Data() + "/a.txt"), QByteArray("zwei, länger"));
    }

    // An encrypted series: one question for the record and the archives together; a wrong
    // answer is asked again, not kept.
    void asksThePasswordOnceForAnEncryptedSeries() {
        sPasswordFile_ = env_->MakeFile("passwort.txt", "geheim\n");
        QVERIFY(QFile::setPermissions(sPasswordFile_, QFile::ReadOwner | QFile::WriteOwner));
        TwoDays();
        QStringList answers{"falsch", "geheim"};
        int asked = 0;
        StandardDialogs::SetPasswordHook([&](const QString&) -> std::optional<QString> {
            ++asked;
            return answers.isEmpty() ? QString() : answers.takeFirst();
        });
        frmRestore dialog;
        dialog.show();
        RestoreTreeModel* model = Model(dialog);
        QTRY_COMPARE(asked, 1);
        QTRY_VERIFY2(dialog.StatusText().contains("falsches Passwort"),
                     qPrintable(dialog.StatusText()));
        QCOMPARE(model->FileCount(), 0);

        SetMoment(dialog, QDate(2025, 1, 2), QTime(12, 0));
        QTRY_COMPARE(model->FileCount(), 2);
        QCOMPARE(asked, 2);
        RestoreInto(dialog, env_->Home() + "/ziel");
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.bRunning(), 60000);
        QVERIFY2(dialog.StatusText().startsWith("2 Dateien"), Told(dialog).constData());
        QCOMPARE(ReadBytes(env_->Home() + "/ziel" + Data() + "/a.txt"), QByteArray("zwei, länger"));
        QCOMPARE(ReadBytes(env_->Home() + "/ziel" + Data() + "/sub/c.txt"), QByteArray("drei"));

        // Another moment and another restore: no more questions.
        SetMoment(dialog, QDate(2025, 1, 1), QTime(12, 0));
        QTRY_COMPARE(model->FileCount(), 3);
        const QString second = env_->Home() + "/ziel2";
        QVERIFY(QDir().mkpath(second));
        RestoreInto(dialog, second);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.bRunning(), 60000);
        QCOMPARE(ReadBytes(second + Data() + "/a.txt"), QByteArray("eins"));
        QCOMPARE(asked, 2);
    }

    // "Abbrechen" while files are being written: what is there is whole, no work file is left,
    // and closing the dialog meanwhile asks before it stops anything.
    void cancelLeavesNoHalfFile() {
        constexpr int kFiles = 240;
        constexpr int kSize = 384 * 1024;
        QRandomGenerator random(7);
        for (int i = 0; i < kFiles; ++i) {
            QByteArray data(kSize, Qt::Uninitialized);
            random.fillRange(reinterpret_cast<quint32*>(data.data()), kSize / 4);
            env_->MakeFile(QString("daten/gross/%1.bin").arg(i, 3, 10, QChar('0')), data);
        }
        Day("20250101_1000");
        frmRestore dialog;
        dialog.show();
        RestoreTreeModel* model = Model(dialog);
        QTRY_COMPARE(model->FileCount(), kFiles);
        const QString target = env_->Home() + "/ziel";
        RestoreInto(dialog, target);
        auto* cancel = dialog.findChild<QPushButton*>("cmdClose");
        QCOMPARE(cancel->text(), QStringLiteral("A&bbrechen"));
        QVERIFY(dialog.findChild<QProgressBar*>("pbProgress")->isVisible());
        // Stopped as early as possible: the run takes about a second.
        QElapsedTimer waited;
        waited.start();
        while (FilesBelow(target).isEmpty() && !waited.hasExpired(60000)) {
            QTest::qWait(2);
        }
        QVERIFY(dialog.bRunning());

        // Asked whether to stop; "go on" keeps it running.
        QStringList questions;
        StandardDialogs::SetMessageHook(
            [&](const QString&, const QString& text, QMessageBox::Icon) { questions << text; });
        StandardDialogs::SetNextAnswers({1});
        dialog.reject();
        QCOMPARE(questions.size(), 1);
        QVERIFY(dialog.isVisible());

        cancel->click();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.bRunning(), 60000);
        QVERIFY2(dialog.StatusText().startsWith("Abgebrochen: "), qPrintable(dialog.StatusText()));
        const QStringList restored = FilesBelow(target);
        QVERIFY2(restored.size() < kFiles, qPrintable(QString::number(restored.size())));
        for (const QString& name : restored) {
            QVERIFY2(name.endsWith(".bin") && !QFileInfo(name).fileName().startsWith('.'),
                     qPrintable(name));
            const QString original = Data() + "/gross/" + QFileInfo(name).fileName();
            QVERIFY2(ReadBytes(target + "/" + name) == ReadBytes(original), qPrintable(name));
        }
        QCOMPARE(cancel->text(), QStringLiteral("&Schließen"));
    }
};

QTEST_MAIN(TestFrmRestore)
#include "test_frmRestore.moc"
