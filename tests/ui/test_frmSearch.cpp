// The change search dialog driven through its real controls, over temporary trees and stores.

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "tests/ui/support/FreshEnvironment.h"
#include "ui/LevelField.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"
#include "ui/frmMain.h"
#include "ui/frmSearch.h"

using modBackup::State;

namespace {

// Stands in for the main window: its list receives what the scan adds.
class FakeMainWindow : public QWidget, public modBackup::IWindowOutlet {
public:
    void AddToFileList(const QString& sPath) override {
        paths << sPath;
        if (onAdd) {
            onAdd(static_cast<int>(paths.size()));
        }
    }
    QStringList paths;
    std::function<void(int)> onAdd;
};

std::optional<QString> Stored(const QString& sName) {
    return modRegistry::RegTryReadText(modRegistry::HKEY_CURRENT_USER, modBackup::kOptionsKey,
                                       sName);
}

void SetModified(const QString& sPath, const QDateTime& when) {
    QFile file(sPath);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
}

QStringList BackupList() {
    QStringList list;
    CListString& files = *State().BackupFiles;
    for (files.MoveFirst(); !files.EOL(); files.MoveNext()) {
        list << files.Data();
    }
    list.sort();
    return list;
}

QString Found(int n) {
    return QStringLiteral("Suche abgeschlossen. %1 Datei(en) gefunden.").arg(n);
}

}  // namespace

class TestFrmSearch : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FreshEnvironment> env_;
    std::unique_ptr<FakeMainWindow> main_;
    std::unique_ptr<frmSearch> dlg_;
    QDateTime lastBackup_;

    template <typename T>
    T* Child(const char* name) const {
        T* child = dlg_->findChild<T*>(QString::fromLatin1(name));
        if (child == nullptr) {
            qFatal("control %s missing", name);
        }
        return child;
    }
    QPushButton* Button(int i) const {
        return Child<QPushButton>(i == 0 ? "cmdAction0" : "cmdAction1");
    }
    QCheckBox* Box(const char* name) const { return Child<QCheckBox>(name); }
    LevelField* Limit() const { return Child<LevelField>("txtLimit"); }
    QString Status() const { return Child<QLabel>("StatusBarPanel1")->text(); }
    QString PathShown() const { return Child<QLabel>("lblPath")->text(); }

    void OpenDialog() {
        dlg_ = std::make_unique<frmSearch>(main_.get(), main_.get());
        dlg_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    }
    void SetCheck(const char* name, bool on) {
        QCheckBox* box = Box(name);
        if (box->isChecked() != on) {
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
        }
        QCOMPARE(box->isChecked(), on);
    }
    // Clicks "Suchen" and waits until the search has ended.
    void RunSearch() {
        QCOMPARE(Button(1)->text(), QStringLiteral("Suchen"));
        QTest::mouseClick(Button(1), Qt::LeftButton);
        QCOMPARE(Button(1)->text(), QStringLiteral("Abbrechen"));
        QCOMPARE(Status(), QStringLiteral("Suche läuft ..."));
        QVERIFY(!dlg_->bStopped());
        QTRY_VERIFY_WITH_TIMEOUT(dlg_->bStopped(), 20000);
        QCOMPARE(Button(1)->text(), QStringLiteral("Suchen"));
    }
    // A search over the whole tree below the home, regardless of dates and filters.
    void PrepareUnconditionalSearch() {
        SetCheck("chkNoLastBackupDate", true);
        SetCheck("chkNotUseExtFilter", true);
        SetCheck("chkUseArchiveFlag", false);
        SetCheck("chkLimitRecursion", false);
    }

private Q_SLOTS:
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        State().BackupFiles = std::make_unique<CListString>();
        State().Extensions = std::make_unique<CListString>();
        State().ExcludeFolders = std::make_unique<CListString>();
        lastBackup_ = QDateTime::currentDateTime().addDays(-1);
        lastBackup_.setTime(QTime(12, 0, 0));
        main_ = std::make_unique<FakeMainWindow>();
        main_->setGeometry(100, 80, 900, 600);
        main_->show();
        QVERIFY(QTest::qWaitForWindowExposed(main_.get()));
    }
    void cleanup() {
        StandardDialogs::SetFileDialogHook(nullptr);
        StandardDialogs::SetMessageHook(nullptr);
        dlg_.reset();
        main_.reset();
        env_.reset();
    }

    void defaultsWithEmptyStore() {
        OpenDialog();
        QCOMPARE(dlg_->windowTitle(), QStringLiteral("Dateien suchen ..."));
        QCOMPARE(PathShown(), env_->Home());
        QVERIFY(!Box("chkUseArchiveFlag")->isChecked());
        QVERIFY(Box("chkNotUseExtFilter")->isChecked());
        QVERIFY(!Box("chkNoLastBackupDate")->isChecked());
        QVERIFY(!Box("chkLimitRecursion")->isChecked());
        QCOMPARE(Limit()->text(), QStringLiteral("5"));
        QVERIFY(!Limit()->isEnabled());
        QCOMPARE(Button(1)->text(), QStringLiteral("Suchen"));
        QVERIFY(Status().isEmpty());
        QVERIFY(dlg_->bStopped());
        // Opening stores nothing.
        QVERIFY(!Stored(QStringLiteral("SearchPath")).has_value());
        QVERIFY(!Stored(QStringLiteral("DeleteArchiveFlag")).has_value());
    }

    void textsAndLayout() {
        OpenDialog();
        auto* frame = Child<QGroupBox>("frameOptions");
        QCOMPARE(frame->title(), QStringLiteral(" Optionen für die Suche: "));
        QCOMPARE(Child<QLabel>("lblBeschriftung0")->text(),
                 QStringLiteral("Verzeichnis, ab dem gesucht werden soll:"));
        QCOMPARE(Child<QLabel>("lblBeschriftung1")->text(), QStringLiteral("Verzeichnisebenen"));
        QCOMPARE(Button(0)->text(), QStringLiteral("»"));
        QVERIFY(Button(0)->font().bold());
        QCOMPARE(Button(0)->toolTip(), QStringLiteral("Verzeichnis wählen"));
        QCOMPARE(Box("chkUseArchiveFlag")->text(),
                 QStringLiteral("nur Dateien mit gesetztem Archiv-Bit"));
        QCOMPARE(Box("chkNotUseExtFilter")->text(),
                 QStringLiteral("Filter für Dateierweiterungen NICHT verwenden"));
        QCOMPARE(Box("chkNoLastBackupDate")->text(),
                 QStringLiteral("auch Dateien, die vor dem letzten Backup geändert wurden"));
        QCOMPARE(Box("chkLimitRecursion")->text(), QStringLiteral("Suche begrenzen auf"));
        QVERIFY(Button(1)->isDefault());
        QCOMPARE(Limit()->maxLength(), 2);

        // The twips layout scaled to the desktop's font: the controls in their rows inside the
        // frame, "Suchen" at the frame's right; the client size fixed, at least the twips size.
        const QWidget* w = dlg_.get();
        const QRect inside = frame->rect();
        for (QWidget* control : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            QVERIFY2(inside.contains(control->geometry()), qPrintable(control->objectName()));
        }
        QVERIFY(Button(0)->geometry().bottom() < Box("chkUseArchiveFlag")->geometry().top());
        QVERIFY(Box("chkNoLastBackupDate")->geometry().bottom() <
                Box("chkLimitRecursion")->geometry().top());
        QVERIFY(Box("chkLimitRecursion")->geometry().right() < Limit()->geometry().left());
        QVERIFY(Limit()->geometry().right() < Child<QLabel>("lblBeschriftung1")->geometry().left());
        QVERIFY(qAbs(Limit()->geometry().center().y() -
                     Box("chkLimitRecursion")->geometry().center().y()) <= 2);
        QVERIFY(inside.right() - Button(1)->geometry().right() < Button(1)->width() / 4);
        const QSize client = dlg_->size();
        QVERIFY(client.width() >= Twips::ToPixelsX(7455, w) &&
                client.height() >= Twips::ToPixelsY(2925, w));
        QVERIFY(qAbs(client.width() * 2925.0 / (client.height() * 7455.0) - 1.0) < 0.02);
        QCOMPARE(dlg_->minimumSize(), client);
        QCOMPARE(dlg_->maximumSize(), client);
        QVERIFY(!dlg_->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!dlg_->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        auto* status = Child<QStatusBar>("StatusBar");
        QCOMPARE(status->geometry().bottom(), dlg_->rect().bottom());
        QCOMPARE(status->width(), dlg_->width());
        QVERIFY(frame->geometry().bottom() < status->geometry().top());
        // Its one panel spans the whole width (less the bar's own margins).
        const QRect panel = Child<QLabel>("StatusBarPanel1")->geometry();
        QVERIFY(panel.left() <= 4 && panel.right() >= status->width() - 5);

        // Centred over the main window.
        const QPoint delta = dlg_->frameGeometry().center() - main_->frameGeometry().center();
        QVERIFY2(delta.manhattanLength() <= 2,
                 qPrintable(QStringLiteral("off by %1,%2").arg(delta.x()).arg(delta.y())));
    }

    void tabOrder() {
        OpenDialog();
        SetCheck("chkLimitRecursion", true);  // so that the level field takes focus
        dlg_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dlg_.get()));
        Button(0)->setFocus();
        QStringList order{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, QStringList({"cmdAction0", "chkUseArchiveFlag", "chkNotUseExtFilter",
                                     "chkNoLastBackupDate", "chkLimitRecursion", "txtLimit",
                                     "cmdAction1", "cmdAction0"}));
    }

    void storedSettingsAreShown() {
        const QString folder = env_->MakeFolder(QStringLiteral("Briefe & Ärger"));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), folder));
        QVERIFY(modBackup::WriteFlagOption(modBackup::OptArchiveFlag, true));
        QVERIFY(modBackup::WriteFlagOption(modBackup::OptExtFilterSearch, true));
        QVERIFY(modBackup::WriteFlagOption(modBackup::OptLimitRecursion, true));
        QVERIFY(modBackup::WriteOption(QStringLiteral("RecursionLimit"), QStringLiteral("250")));
        OpenDialog();
        QCOMPARE(PathShown(), folder);
        QVERIFY(Box("chkUseArchiveFlag")->isChecked());
        QVERIFY(!Box("chkNotUseExtFilter")->isChecked());
        QVERIFY(!Box("chkNoLastBackupDate")->isChecked());
        QVERIFY(Box("chkLimitRecursion")->isChecked());
        QCOMPARE(Limit()->text(), QStringLiteral("99"));
        QVERIFY(Limit()->isEnabled());
        SetCheck("chkLimitRecursion", false);
        QVERIFY(!Limit()->isEnabled());
    }

    void dateConditionAndAlreadyListedFiles() {
        QVERIFY(modBackup::WriteLastBackupAt(lastBackup_));
        const QString oldFile = env_->MakeFile(QStringLiteral("tree/alt.txt"));
        const QString exact = env_->MakeFile(QStringLiteral("tree/genau.txt"));
        const QString newFile = env_->MakeFile(QStringLiteral("tree/sub/neu.txt"));
        const QString listed = env_->MakeFile(QStringLiteral("tree/sub/schon.txt"));
        SetModified(oldFile, lastBackup_.addSecs(-3600));
        SetModified(exact, lastBackup_);
        SetModified(newFile, lastBackup_.addSecs(3600));
        SetModified(listed, lastBackup_.addSecs(3600));
        State().BackupFiles->Add(listed);
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));

        OpenDialog();
        RunSearch();
        QCOMPARE(Status(), Found(2));
        QCOMPARE(BackupList(), QStringList({exact, newFile, listed}));
        QCOMPARE(main_->paths, QStringList({exact, newFile}));

        // With the date box ticked the older file qualifies too; the others are listed already.
        SetCheck("chkNoLastBackupDate", true);
        RunSearch();
        QCOMPARE(Status(), Found(1));
        QCOMPARE(main_->paths, QStringList({exact, newFile, oldFile}));
        QCOMPARE(State().BackupFiles->Count(), 4);
    }

    // Never backed up, every file is new to the backup, however old.
    void withoutStoredLastBackupEveryFileQualifies() {
        const QString file = env_->MakeFile(QStringLiteral("tree/a.txt"));
        SetModified(file, QDateTime::currentDateTime().addYears(-3));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        OpenDialog();
        RunSearch();
        QCOMPARE(Status(), Found(1));
        QCOMPARE(BackupList(), QStringList{file});
    }

    void settingsAreStoredAtStartEvenWhenNothingIsFound() {
        const QString folder = env_->MakeFolder(QStringLiteral("leer"));
        OpenDialog();
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest&, QString* chosen) {
                *chosen = folder + QStringLiteral("/Dateiname wird ignoriert!");
                return StandardDialogs::FileDialogResult::Accepted;
            });
        QTest::mouseClick(Button(0), Qt::LeftButton);
        QCOMPARE(PathShown(), folder);
        SetCheck("chkUseArchiveFlag", true);
        SetCheck("chkNotUseExtFilter", false);
        SetCheck("chkLimitRecursion", true);
        Limit()->SetLevelText(QStringLiteral("3"));
        RunSearch();
        QCOMPARE(Status(), Found(0));
        QCOMPARE(Stored(QStringLiteral("SearchPath")), folder);
        QCOMPARE(Stored(QStringLiteral("DeleteArchiveFlag")), QStringLiteral("1"));
        QCOMPARE(Stored(QStringLiteral("UseExtensionFilterInSearch")), QStringLiteral("1"));
        QCOMPARE(Stored(QStringLiteral("LimitRecursionInFolders")), QStringLiteral("1"));
        QCOMPARE(Stored(QStringLiteral("RecursionLimit")), QStringLiteral("3"));

        // The other way round; the level text is not written without the limit.
        SetCheck("chkUseArchiveFlag", false);
        SetCheck("chkNotUseExtFilter", true);
        SetCheck("chkLimitRecursion", false);
        Limit()->SetLevelText(QStringLiteral("7"));
        RunSearch();
        QCOMPARE(Stored(QStringLiteral("DeleteArchiveFlag")), QStringLiteral("0"));
        QCOMPARE(Stored(QStringLiteral("UseExtensionFilterInSearch")), QStringLiteral("0"));
        QCOMPARE(Stored(QStringLiteral("LimitRecursionInFolders")), QStringLiteral("0"));
        QCOMPARE(Stored(QStringLiteral("RecursionLimit")), QStringLiteral("3"));

        // A reopened dialog shows what the last start stored.
        dlg_.reset();
        OpenDialog();
        QCOMPARE(PathShown(), folder);
        QVERIFY(Box("chkNotUseExtFilter")->isChecked());
        QVERIFY(!Box("chkUseArchiveFlag")->isChecked());
        QCOMPARE(Limit()->text(), QStringLiteral("3"));
    }

    void archiveMarks() {
        const QString saved = env_->MakeFile(QStringLiteral("tree/gesichert.txt"));
        const QString changed = env_->MakeFile(QStringLiteral("tree/geaendert.txt"));
        FSOFile file = State().FSO.GetFile(saved);
        QVERIFY(file.SetAttributes(file.Attributes() & ~AttrArchive));
        QCOMPARE(State().FSO.GetFile(saved).Attributes() & AttrArchive, 0);
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        OpenDialog();
        PrepareUnconditionalSearch();
        SetCheck("chkUseArchiveFlag", true);
        RunSearch();
        QCOMPARE(main_->paths, QStringList({changed}));
        QCOMPARE(Stored(QStringLiteral("DeleteArchiveFlag")), QStringLiteral("1"));

        SetCheck("chkUseArchiveFlag", false);
        RunSearch();
        QCOMPARE(main_->paths, QStringList({changed, saved}));
    }

    void extensionFilter() {
        CListString patterns;
        patterns.Add(QStringLiteral("TMP"));
        patterns.Add(QStringLiteral("b?k"));
        QVERIFY(modBackup::SaveOptionList(patterns, QStringLiteral("Extension")));
        const QString tmp = env_->MakeFile(QStringLiteral("tree/a.tmp"));
        const QString bak = env_->MakeFile(QStringLiteral("tree/b.BAK"));
        const QString txt = env_->MakeFile(QStringLiteral("tree/c.txt"));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        OpenDialog();
        PrepareUnconditionalSearch();
        SetCheck("chkNotUseExtFilter", false);
        RunSearch();
        QCOMPARE(main_->paths, QStringList({txt}));
        QCOMPARE(State().Extensions->Count(), 2);

        SetCheck("chkNotUseExtFilter", true);
        RunSearch();
        QCOMPARE(main_->paths, QStringList({txt, tmp, bak}));
        QCOMPARE(State().Extensions->Count(), 0);
    }

    void levelLimit() {
        const QString f0 = env_->MakeFile(QStringLiteral("tree/0.txt"));
        const QString f1 = env_->MakeFile(QStringLiteral("tree/a/1.txt"));
        const QString f2 = env_->MakeFile(QStringLiteral("tree/a/b/2.txt"));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        OpenDialog();
        PrepareUnconditionalSearch();
        SetCheck("chkLimitRecursion", true);
        Limit()->SetLevelText(QStringLiteral("1"));
        RunSearch();
        QCOMPARE(main_->paths, QStringList({f0}));
        // What the limit left out is counted, and named in the tooltip.
        QCOMPARE(Status(), Found(1) + " 1 Ordner nicht durchsucht (Grenze: 1 Ebene).");
        QCOMPARE(Child<QLabel>("StatusBarPanel1")->toolTip(),
                 "„" + env_->Home() + "/tree“ wurde nur 1 Ebene tief durchsucht; der Ordner „" +
                     env_->Home() + "/tree/a“ darunter wurde mit seinem Inhalt ausgelassen.");
        Limit()->SetLevelText(QStringLiteral("2"));
        RunSearch();
        QCOMPARE(main_->paths, QStringList({f0, f1}));
        QCOMPARE(Status(), Found(1) + " 1 Ordner nicht durchsucht (Grenze: 2 Ebenen).");
        SetCheck("chkLimitRecursion", false);
        RunSearch();
        QCOMPARE(main_->paths, QStringList({f0, f1, f2}));
        QCOMPARE(Status(), Found(1));
        QCOMPARE(Child<QLabel>("StatusBarPanel1")->toolTip(), QString());
    }

    // The excluded folders of the options (a new user's: the cache and the trash) and the
    // program's own archives stay out of the search; the folder of the archives is searched.
    void excludedFoldersAndArchivesAreLeftOut() {
        env_->MakeFile(QStringLiteral(".cache/thumbnails/t.png"));
        env_->MakeFile(QStringLiteral(".local/share/Trash/files/weg.txt"));
        env_->MakeFile(QStringLiteral("Sicherungen/20260101_1200 Backup.zip"));
        const QString note = env_->MakeFile(QStringLiteral("Sicherungen/Notiz.txt"));
        const QString letter = env_->MakeFile(QStringLiteral("Briefe/Brief.odt"));
        OpenDialog();
        PrepareUnconditionalSearch();
        RunSearch();
        QCOMPARE(main_->paths, QStringList({letter, note}));
    }

    void stopInTheMiddleKeepsWhatWasFound() {
        for (int i = 0; i < 20; ++i) {
            env_->MakeFile(QStringLiteral("tree/d%1/f.txt").arg(i % 4) + QString::number(i));
        }
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        OpenDialog();
        PrepareUnconditionalSearch();
        QStringList seen;
        main_->onAdd = [&](int n) {
            seen << Status();
            if (n == 7) {
                QTimer::singleShot(0, this, [this] {
                    QCOMPARE(Button(1)->text(), QStringLiteral("Abbrechen"));
                    QTest::mouseClick(Button(1), Qt::LeftButton);
                });
            }
        };
        RunSearch();
        QCOMPARE(Status(), Found(7));
        // The count so far, as each further file arrives.
        QCOMPARE(seen.first(), QStringLiteral("Suche läuft ..."));
        QCOMPARE(seen.last(), QStringLiteral("Suche läuft ... (6 Datei(en) gefunden)"));
        QCOMPARE(main_->paths.size(), 7);
        QCOMPARE(State().BackupFiles->Count(), 7);
        // The next search goes on from there.
        main_->onAdd = nullptr;
        RunSearch();
        QCOMPARE(Status(), Found(13));
        QCOMPARE(State().BackupFiles->Count(), 20);
    }

    void noSecondSearchWhileTheScanIsOnTheStack() {
        for (int i = 0; i < 20; ++i) {
            env_->MakeFile(QStringLiteral("tree/f%1.txt").arg(i, 2, 10, QChar(u'0')));
        }
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        OpenDialog();
        PrepareUnconditionalSearch();
        main_->onAdd = [this](int n) {
            if (n == 3) {
                // "Abbrechen" and "Suchen" within one processing of pending events.
                QTimer::singleShot(0, this, [this] {
                    QTest::mouseClick(Button(1), Qt::LeftButton);
                    QCOMPARE(Button(1)->text(), QStringLiteral("Suchen"));
                    QTest::mouseClick(Button(1), Qt::LeftButton);
                });
            }
        };
        RunSearch();
        QTest::qWait(400);  // a second search would have started by now
        QVERIFY(dlg_->bStopped());
        QVERIFY(!Child<QTimer>("tmrStartSearch")->isActive());
        QCOMPARE(Button(1)->text(), QStringLiteral("Suchen"));
        QCOMPARE(Status(), Found(3));
        QCOMPARE(State().BackupFiles->Count(), 3);
    }

    void stopBeforeTheScanBegins() {
        env_->MakeFile(QStringLiteral("tree/a.txt"));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        OpenDialog();
        PrepareUnconditionalSearch();
        QTest::mouseClick(Button(1), Qt::LeftButton);
        QTest::mouseClick(Button(1), Qt::LeftButton);
        QVERIFY(dlg_->bStopped());
        QTest::qWait(400);
        QCOMPARE(Status(), Found(0));
        QCOMPARE(State().BackupFiles->Count(), 0);
        QVERIFY(!Stored(QStringLiteral("DeleteArchiveFlag")).has_value());
    }

    void closingWhileRunningStopsTheSearchFirst_data() {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("Escape") << true;
        QTest::newRow("close box") << false;
    }
    void closingWhileRunningStopsTheSearchFirst() {
        QFETCH(bool, byEscape);
        for (int i = 0; i < 20; ++i) {
            env_->MakeFile(QStringLiteral("tree/f%1.txt").arg(i, 2, 10, QChar(u'0')));
        }
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        dlg_ = std::make_unique<frmSearch>(main_.get(), main_.get());
        PrepareUnconditionalSearch();
        bool visibleAfterRequest = false;
        main_->onAdd = [&](int n) {
            if (n == 5) {
                QTimer::singleShot(0, this, [&] {
                    if (byEscape) {
                        QTest::keyClick(Box("chkUseArchiveFlag"), Qt::Key_Escape);
                    } else {
                        dlg_->close();
                    }
                    // The dialog waits for the scan to return.
                    visibleAfterRequest = dlg_->isVisible();
                });
            }
        };
        QTimer::singleShot(0, this, [this] { QTest::mouseClick(Button(1), Qt::LeftButton); });
        const int result = dlg_->exec();
        QCOMPARE(result, int(QDialog::Rejected));
        QVERIFY(visibleAfterRequest);
        QVERIFY(!dlg_->isVisible());
        QCOMPARE(State().BackupFiles->Count(), 5);
        QVERIFY(State().SearchOutlet == nullptr);
        QVERIFY(State().WindowOutlet == nullptr);
        dlg_.reset();
        QTest::qWait(300);  // nothing of the search is left to run
        QCOMPARE(State().BackupFiles->Count(), 5);
    }

    void escapeClosesTheIdleDialog() {
        OpenDialog();
        QSignalSpy finished(dlg_.get(), &QDialog::finished);
        QTest::keyClick(Box("chkNoLastBackupDate"), Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!dlg_->isVisible());
        QVERIFY(!Stored(QStringLiteral("SearchPath")).has_value());
    }

    void missingStartFolderEndsAtOnce() {
        const QString gone = env_->MakeFolder(QStringLiteral("weg"));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), gone));
        OpenDialog();
        QVERIFY(QDir(gone).removeRecursively());
        QTest::mouseClick(Button(1), Qt::LeftButton);
        QTRY_VERIFY(dlg_->bStopped());
        QCOMPARE(Status(), QStringLiteral("Startverzeichnis nicht gefunden: ") + gone);
        QCOMPARE(Button(1)->text(), QStringLiteral("Suchen"));
        QVERIFY(!Stored(QStringLiteral("DeleteArchiveFlag")).has_value());
        QVERIFY(!Stored(QStringLiteral("LimitRecursionInFolders")).has_value());
    }

    void folderChoice() {
        const QString start = env_->MakeFolder(QStringLiteral("start"));
        const QString other = env_->MakeFolder(QStringLiteral("anders"));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), start));
        OpenDialog();
        int messages = 0;
        QString messageText;
        QString messageCaption;
        QMessageBox::Icon messageIcon = QMessageBox::NoIcon;
        StandardDialogs::SetMessageHook(
            [&](const QString& caption, const QString& text, QMessageBox::Icon icon) {
                ++messages;
                messageCaption = caption;
                messageText = text;
                messageIcon = icon;
            });
        StandardDialogs::FileDialogRequest asked;
        StandardDialogs::FileDialogResult answer = StandardDialogs::FileDialogResult::Cancelled;
        QString answerPath;
        StandardDialogs::SetFileDialogHook(
            [&](const StandardDialogs::FileDialogRequest& request, QString* chosen) {
                asked = request;
                *chosen = answerPath;
                return answer;
            });

        QTest::mouseClick(Button(0), Qt::LeftButton);
        QCOMPARE(asked.title, QStringLiteral("Startpfad für Suche"));
        QCOMPARE(asked.initialFolder, start);
        QCOMPARE(asked.fileName, QStringLiteral("Dateiname wird ignoriert!"));
        QCOMPARE(PathShown(), start);
        QCOMPARE(messages, 0);

        answer = StandardDialogs::FileDialogResult::Failed;
        QTest::mouseClick(Button(0), Qt::LeftButton);
        QCOMPARE(PathShown(), start);
        QCOMPARE(messages, 1);
        QCOMPARE(messageText, QStringLiteral("Fehler im Standard-Dialog!"));
        QCOMPARE(messageCaption, QStringLiteral("Sondrel"));
        QCOMPARE(messageIcon, QMessageBox::Warning);

        answer = StandardDialogs::FileDialogResult::Accepted;
        answerPath = other + QStringLiteral("/Dateiname wird ignoriert!");
        QTest::mouseClick(Button(0), Qt::LeftButton);
        QCOMPARE(PathShown(), other);
        answerPath = QStringLiteral("/irgendwas");
        QTest::mouseClick(Button(0), Qt::LeftButton);
        QCOMPARE(PathShown(), QStringLiteral("/"));
        QCOMPARE(messages, 1);

        // A folder chosen without a search is forgotten.
        dlg_.reset();
        OpenDialog();
        QCOMPARE(PathShown(), start);
    }

    void levelFieldInTheDialog() {
        OpenDialog();
        SetCheck("chkLimitRecursion", true);
        LevelField* field = Limit();
        field->home(false);
        QTest::keyClick(field, Qt::Key_A);
        QCOMPARE(field->text(), QStringLiteral("5"));
        QTest::keyClick(field, Qt::Key_Up, Qt::ShiftModifier);
        QCOMPARE(field->text(), QStringLiteral("99"));
        // Enter in the field presses the default button.
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home()));
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(Button(1)->text(), QStringLiteral("Abbrechen"));
        QTRY_VERIFY(dlg_->bStopped());
        QCOMPARE(Stored(QStringLiteral("RecursionLimit")), QStringLiteral("99"));
    }

    void mainWindowOpensTheSearchAndChecksTheListAfterwards() {
        QVERIFY(modBackup::WriteLastBackupAt(lastBackup_));
        const QString found = env_->MakeFile(QStringLiteral("tree/neu.txt"), "12345");
        SetModified(found, lastBackup_.addSecs(60));
        QVERIFY(modBackup::WriteOption(QStringLiteral("SearchPath"), env_->Home() + "/tree"));
        main_.reset();
        frmMain window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* files = window.findChild<QLabel*>(QStringLiteral("StatusBarPanel2"));
        QVERIFY(files != nullptr);
        QCOMPARE(files->text(), QStringLiteral("0 Datei(en)"));

        bool opened = false;
        QString title;
        QWidget* owner = nullptr;
        bool modal = false;
        QString status;
        QString filesWhileOpen;
        WhenModalAppears(
            [&](QWidget* widget) {
                auto* dialog = qobject_cast<frmSearch*>(widget);
                if (dialog == nullptr) {
                    return;
                }
                opened = true;
                title = dialog->windowTitle();
                owner = dialog->parentWidget();
                modal = dialog->isModal();
                dialog->findChild<QPushButton*>(QStringLiteral("cmdAction1"))->click();
                QElapsedTimer waited;
                waited.start();
                while (!dialog->bStopped() && waited.elapsed() < 10000) {
                    QTest::qWait(10);
                }
                status = dialog->findChild<QLabel*>(QStringLiteral("StatusBarPanel1"))->text();
                filesWhileOpen = files->text();
                QTest::keyClick(dialog, Qt::Key_Escape);
            },
            &window);
        window.findChild<QAction*>(QStringLiteral("mnuSearch"))->trigger();
        QVERIFY(opened);
        QCOMPARE(title, QStringLiteral("Dateien suchen ..."));
        QCOMPARE(owner, &window);
        QVERIFY(modal);
        QCOMPARE(status, Found(1));
        // The status bar is brought up to date only once the dialog has closed.
        QCOMPARE(filesWhileOpen, QStringLiteral("0 Datei(en)"));
        QCOMPARE(files->text(), QStringLiteral("1 Datei(en)"));
        QCOMPARE(BackupList(), QStringList({found}));
        QVERIFY(State().SearchOutlet == nullptr);
    }
};

QTEST_MAIN(TestFrmSearch)
#include "test_frmSearch.moc"
