// The options dialog driven through its real controls: what it shows for a given store, what
// "OK" and "Übernehmen" store, what "Abbrechen" and Escape leave alone, and when "Übernehmen" is
// enabled.

#include <sqlite3.h>
#include <ctime>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <vector>

#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "tests/ui/support/FreshEnvironment.h"
#include "ui/LevelField.h"
#include "ui/StandardDialogs.h"
#include "ui/frmMain.h"
#include "ui/frmOptions.h"

using modRegistry::HKEY_CURRENT_USER;

namespace {

struct ShownMessage {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
};

QString StoredOption(const QString& sName) {
    return modRegistry::RegReadText(HKEY_CURRENT_USER, modBackup::kOptionsKey, sName);
}

QStringList StoredList(const QString& sPrefix) {
    QStringList values;
    const int count = StoredOption(sPrefix + QStringLiteral("Count")).toInt();
    for (int i = 0; i < count; ++i) {
        values << StoredOption(sPrefix + QString::number(i));
    }
    return values;
}

void StoreList(const QString& sPrefix, const QStringList& values) {
    CListString list;
    for (const QString& value : values) {
        list.Add(value);
    }
    QVERIFY(modBackup::SaveOptionList(list, sPrefix));
}

QStringList Values(CListString* list) {
    QStringList values;
    if (list == nullptr) {
        return values;
    }
    list->MoveFirst();
    while (!list->EOL()) {
        values << list->Data();
        list->MoveNext();
    }
    return values;
}

QStringList Rows(const QTreeWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        rows << list->topLevelItem(i)->text(0);
    }
    return rows;
}

// Everything the dialog may write, to compare a store before and after.
QStringList StoreSnapshot() {
    QStringList snapshot;
    for (const char* name :
         {"DefaultPath", "DeleteArchiveFlag", "UseExtensionFilterInSearch",
          "UseExtensionFilterInFolderScan", "LimitRecursionInFolders", "RecursionLimit"}) {
        snapshot << QString::fromLatin1(name) + u'=' + StoredOption(QString::fromLatin1(name));
    }
    snapshot << StoredList(QStringLiteral("Extension")).join(u'|')
             << StoredList(QStringLiteral("ExcludeFolder")).join(u'|')
             << modRegistry::RegReadText(HKEY_CURRENT_USER, modBackup::kMainKey,
                                         QStringLiteral("LastBackupAt"));
    return snapshot;
}

}  // namespace

class TestFrmOptions : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FreshEnvironment> env_;
    std::unique_ptr<frmOptions> dlg_;
    std::vector<ShownMessage> messages_;
    std::vector<StandardDialogs::FileDialogRequest> fileRequests_;

    template <typename T>
    T* Child(const QString& name) {
        T* widget = dlg_->findChild<T*>(name);
        if (widget == nullptr) {
            qFatal("no control %s", qPrintable(name));
        }
        return widget;
    }
    QPushButton* Button(int index) {
        return Child<QPushButton>(QStringLiteral("cmdAction_%1").arg(index));
    }
    QTreeWidget* Extensions() { return Child<QTreeWidget>(QStringLiteral("lvExtensions")); }
    QTreeWidget* ExcludeFolders() { return Child<QTreeWidget>(QStringLiteral("lvExcludeFolders")); }
    QCheckBox* Check(const char* name) { return Child<QCheckBox>(QString::fromLatin1(name)); }
    LevelField* Limit() { return Child<LevelField>(QStringLiteral("txtLimit")); }
    QDateEdit* DatePicker() { return Child<QDateEdit>(QStringLiteral("dtpLastBackupDate")); }
    QTimeEdit* TimePicker() { return Child<QTimeEdit>(QStringLiteral("dtpLastBackupTime")); }
    bool ApplyEnabled() { return Button(6)->isEnabled(); }
    // The cache and the trash of this test's home.
    QStringList DefaultExcluded() const {
        return {env_->Home() + QStringLiteral("/.cache"),
                env_->Home() + QStringLiteral("/.local/share/Trash")};
    }

    bool Open() {
        dlg_ = std::make_unique<frmOptions>();
        dlg_->show();
        dlg_->activateWindow();
        return QTest::qWaitForWindowActive(dlg_.get());
    }
    void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    // The answer the next folder dialog gives.
    void AnswerFolderDialog(StandardDialogs::FileDialogResult result, const QString& sPath) {
        StandardDialogs::SetFileDialogHook(
            [this, result, sPath](const StandardDialogs::FileDialogRequest& request,
                                  QString* chosen) {
                fileRequests_.push_back(request);
                if (result == StandardDialogs::FileDialogResult::Accepted) {
                    *chosen = sPath;
                }
                return result;
            });
    }

    // "Neu" at the extension list, then sText typed into the row (nothing typed when empty) and
    // Enter. Returns false when no in-place editor opened.
    bool AddExtension(const QString& sText) {
        Click(Button(1));
        QLineEdit* editor = Extensions()->findChild<QLineEdit*>();
        if (editor == nullptr || QApplication::focusWidget() != editor) {
            return false;
        }
        if (!sText.isEmpty()) {
            QTest::keyClicks(editor, sText);
        }
        QTest::keyClick(editor, Qt::Key_Return);
        QTest::qWait(20);
        return Extensions()->findChild<QLineEdit*>() == nullptr ||
               !Extensions()->findChild<QLineEdit*>()->isVisible();
    }

    void SelectRow(QTreeWidget* list, int row) {
        QTreeWidgetItem* item = list->topLevelItem(row);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                          list->visualItemRect(item).center());
    }

    void SeedStore() {
        using namespace modBackup;
        QVERIFY(WriteOption(QStringLiteral("DefaultPath"), QStringLiteral("/daten/archiv")));
        for (int32_t index = 1; index <= 4; ++index) {
            QVERIFY(WriteFlagOption(index, true));
        }
        QVERIFY(WriteOption(QStringLiteral("RecursionLimit"), QStringLiteral("12")));
        QVERIFY(WriteOption(QStringLiteral("DailySearchByArchiveMark"), QStringLiteral("0")));
        QVERIFY(WriteLastBackupAt(QDateTime(QDate(2026, 12, 6), QTime(14, 5, 9))));
        StoreList(QStringLiteral("Extension"), {QStringLiteral("tmp"), QStringLiteral("bak")});
        StoreList(QStringLiteral("ExcludeFolder"), {QStringLiteral("/daten/cache")});
    }

private Q_SLOTS:
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        messages_.clear();
        fileRequests_.clear();
        StandardDialogs::SetMessageHook(
            [this](const QString& caption, const QString& text, QMessageBox::Icon icon) {
                messages_.push_back({caption, text, icon});
            });
        StandardDialogs::SetFileDialogHook(
            [this](const StandardDialogs::FileDialogRequest& r, QString*) {
                fileRequests_.push_back(r);
                return StandardDialogs::FileDialogResult::Cancelled;
            });
    }
    void cleanup() {
        dlg_.reset();
        StandardDialogs::SetMessageHook(nullptr);
        StandardDialogs::SetFileDialogHook(nullptr);
        env_.reset();
    }

    void opensWithDefaultsOnAnEmptyStore() {
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(Open());
        const QDateTime shown(DatePicker()->date(), TimePicker()->time());
        QVERIFY2(shown >= before && shown <= QDateTime::currentDateTime(),
                 qPrintable(shown.toString()));
        QCOMPARE(dlg_->windowTitle(), QStringLiteral("Tv-Backup Options"));
        QCOMPARE(Child<QLabel>(QStringLiteral("lblPath"))->text(),
                 env_->Home() + QStringLiteral("/Sicherungen"));
        for (const char* name : {"chkArchiveFlag", "chkUseExtFilterForSearch",
                                 "chkUseExtFilterForScan", "chkLimitRecursion"}) {
            QVERIFY2(!Check(name)->isChecked(), name);
        }
        QCOMPARE(Limit()->text(), QStringLiteral("5"));
        QVERIFY(!Limit()->isEnabled());
        // The daily backup goes by archive mark unless the user chooses the date.
        QVERIFY(Check("chkDailyByArchiveMark")->isChecked());
        QCOMPARE(Extensions()->topLevelItemCount(), 0);
        QCOMPARE(Rows(ExcludeFolders()), DefaultExcluded());
        QVERIFY(!ApplyEnabled());
        for (QTreeWidget* list : {Extensions(), ExcludeFolders()}) {
            QVERIFY(list->columnWidth(0) > 0 && list->columnWidth(0) <= list->viewport()->width());
        }
    }

    void showsTheStoredSettingsAndReplacesTheSharedLists() {
        SeedStore();
        auto& state = modBackup::State();
        state.Extensions = std::make_unique<CListString>();
        state.Extensions->Add(QStringLiteral("alt"));
        QVERIFY(Open());
        QCOMPARE(Child<QLabel>(QStringLiteral("lblPath"))->text(), QStringLiteral("/daten/archiv"));
        for (const char* name : {"chkArchiveFlag", "chkUseExtFilterForSearch",
                                 "chkUseExtFilterForScan", "chkLimitRecursion"}) {
            QVERIFY2(Check(name)->isChecked(), name);
        }
        QCOMPARE(Limit()->text(), QStringLiteral("12"));
        QVERIFY(Limit()->isEnabled());
        QVERIFY(!Check("chkDailyByArchiveMark")->isChecked());
        QCOMPARE(Rows(Extensions()), (QStringList{QStringLiteral("tmp"), QStringLiteral("bak")}));
        QCOMPARE(Rows(ExcludeFolders()), QStringList{QStringLiteral("/daten/cache")});
        QCOMPARE(DatePicker()->text(), QStringLiteral("06.12.2026"));
        QCOMPARE(TimePicker()->time(), QTime(14, 5, 9));
        QVERIFY(!ApplyEnabled());
        // Leaving without saving keeps the stored lists in the shared ones.
        Click(Button(7));
        QCOMPARE(Values(state.Extensions.get()),
                 (QStringList{QStringLiteral("tmp"), QStringLiteral("bak")}));
        QCOMPARE(Values(state.ExcludeFolders.get()), QStringList{QStringLiteral("/daten/cache")});
    }

    void storedLimitShowsClamped_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("zero") << QStringLiteral("0") << QStringLiteral("1");
        QTest::newRow("too big") << QStringLiteral("250") << QStringLiteral("99");
        QTest::newRow("not a number") << QStringLiteral("abc") << QStringLiteral("1");
        QTest::newRow("fraction") << QStringLiteral("7.5") << QStringLiteral("8");
    }
    void storedLimitShowsClamped() {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        QVERIFY(modBackup::WriteOption(QStringLiteral("RecursionLimit"), stored));
        QVERIFY(Open());
        QCOMPARE(Limit()->text(), shown);
        QVERIFY(!ApplyEnabled());
        Click(Button(5));
        QCOMPARE(StoredOption(QStringLiteral("RecursionLimit")), shown);
    }

    void newExtensionWithEnterStoresNew() {
        QVERIFY(Open());
        QVERIFY(AddExtension(QString()));
        // Enter ends the edit; it does not close the dialog.
        QVERIFY(dlg_->isVisible());
        QVERIFY(ApplyEnabled());
        QCOMPARE(Rows(Extensions()), QStringList{QStringLiteral("new")});
        QVERIFY(Extensions()->topLevelItem(0)->isSelected());
        Click(Button(5));
        QVERIFY(!dlg_->isVisible());
        QCOMPARE(dlg_->result(), int(QDialog::Accepted));
        QCOMPARE(StoredList(QStringLiteral("Extension")), QStringList{QStringLiteral("new")});
    }

    void typedExtensionsAreStoredOnceEach() {
        QVERIFY(Open());
        for (const char* text : {"tmp", "TMP", "bak", "tmp"}) {
            QVERIFY2(AddExtension(QString::fromLatin1(text)), text);
        }
        QCOMPARE(Rows(Extensions()), (QStringList{QStringLiteral("tmp"), QStringLiteral("TMP"),
                                                  QStringLiteral("bak"), QStringLiteral("tmp")}));
        Click(Button(5));
        const QStringList expected{QStringLiteral("tmp"), QStringLiteral("TMP"),
                                   QStringLiteral("bak")};
        QCOMPARE(StoredList(QStringLiteral("Extension")), expected);
        QCOMPARE(Values(modBackup::State().Extensions.get()), expected);
    }

    // A new user's cache and trash are shown as excluded; removed and saved, they stay away.
    void theDefaultExcludedFoldersCanBeRemovedForGood() {
        QVERIFY(Open());
        Click(Button(5));
        QCOMPARE(StoredList(QStringLiteral("ExcludeFolder")), DefaultExcluded());
        QVERIFY(Open());
        for (int i = 0; i < 2; ++i) {
            SelectRow(ExcludeFolders(), 0);
            Click(Button(4));
        }
        Click(Button(5));
        QVERIFY(Open());
        QCOMPARE(ExcludeFolders()->topLevelItemCount(), 0);
        QCOMPARE(StoredOption(QStringLiteral("ExcludeFolderCount")), QStringLiteral("0"));
    }

    void sameFolderTwiceIsStoredOnce() {
        const QString folder = env_->MakeFolder(QStringLiteral("cache"));
        StoreList(QStringLiteral("ExcludeFolder"), {});
        QVERIFY(Open());
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted,
                           folder + QStringLiteral("/Dateiname wird ignoriert!"));
        Click(Button(3));
        Click(Button(3));
        QCOMPARE(Rows(ExcludeFolders()), (QStringList{folder, folder}));
        Click(Button(5));
        QCOMPARE(StoredList(QStringLiteral("ExcludeFolder")), QStringList{folder});
        QCOMPARE(Values(modBackup::State().ExcludeFolders.get()), QStringList{folder});
    }

    void archiveFolderChoiceTakesTheFolderOnly() {
        const QString folder = env_->MakeFolder(QStringLiteral("Archive"));
        QVERIFY(Open());
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted,
                           folder + QStringLiteral("/irgendwas.zip"));
        Click(Button(0));
        QCOMPARE(fileRequests_.size(), size_t(1));
        QCOMPARE(fileRequests_[0].title, QStringLiteral("Standard-Pfad für Archive"));
        QCOMPARE(fileRequests_[0].fileName, QStringLiteral("Dateiname wird ignoriert!"));
        QCOMPARE(fileRequests_[0].initialFolder, env_->Home() + QStringLiteral("/Sicherungen"));
        QCOMPARE(Child<QLabel>(QStringLiteral("lblPath"))->text(), folder);
        QVERIFY(ApplyEnabled());
        // The next choice starts in the folder shown.
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted,
                           QStringLiteral("/Dateiname wird ignoriert!"));
        Click(Button(0));
        QCOMPARE(fileRequests_.back().initialFolder, folder);
        QCOMPARE(Child<QLabel>(QStringLiteral("lblPath"))->text(), QStringLiteral("/"));
        Click(Button(5));
        QCOMPARE(StoredOption(QStringLiteral("DefaultPath")), QStringLiteral("/"));
    }

    void folderWithMarkupShowsAsTyped() {
        const QString folder = env_->MakeFolder(QStringLiteral("x<b>fett</b>"));
        QVERIFY(Open());
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted,
                           folder + QStringLiteral("/Dateiname wird ignoriert!"));
        Click(Button(0));
        auto* path = Child<QLabel>(QStringLiteral("lblPath"));
        QCOMPARE(path->text(), folder);
        QVERIFY2(ShowsAsTyped(path), qPrintable(path->text()));
        Click(Button(5));
        QCOMPARE(StoredOption(QStringLiteral("DefaultPath")), folder);
    }

    void excludedFolderChoiceStartsInTheProgramsFolder() {
        StoreList(QStringLiteral("ExcludeFolder"), {});
        QVERIFY(Open());
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted,
                           QStringLiteral("/Dateiname wird ignoriert!"));
        Click(Button(3));
        QCOMPARE(fileRequests_.size(), size_t(1));
        QCOMPARE(fileRequests_[0].title,
                 QStringLiteral("von der Suche auszuschließendes Verzeichnis wählen"));
        QCOMPARE(fileRequests_[0].fileName, QStringLiteral("Dateiname wird ignoriert!"));
        QCOMPARE(fileRequests_[0].initialFolder, QCoreApplication::applicationDirPath());
        QCOMPARE(Rows(ExcludeFolders()), QStringList{QStringLiteral("/")});
        QVERIFY(ApplyEnabled());
    }

    void cancelledOrFailedFolderChoiceChangesNothing() {
        SeedStore();
        QVERIFY(Open());
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Cancelled, QString());
        Click(Button(0));
        Click(Button(3));
        QVERIFY(messages_.empty());
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Failed, QString());
        Click(Button(0));
        Click(Button(3));
        QCOMPARE(fileRequests_.size(), size_t(4));
        QCOMPARE(messages_.size(), size_t(2));
        for (const ShownMessage& message : messages_) {
            QCOMPARE(message.caption, QStringLiteral("Sondrel"));
            QCOMPARE(message.text, QStringLiteral("Fehler im Standard-Dialog!"));
            QCOMPARE(message.icon, QMessageBox::Warning);
        }
        QCOMPARE(Child<QLabel>(QStringLiteral("lblPath"))->text(), QStringLiteral("/daten/archiv"));
        QCOMPARE(Rows(ExcludeFolders()), QStringList{QStringLiteral("/daten/cache")});
        QVERIFY(!ApplyEnabled());
    }

    void deleteRemovesTheSelectedRowOnly() {
        SeedStore();
        QVERIFY(Open());
        // Nothing selected: nothing happens.
        Extensions()->clearSelection();
        ExcludeFolders()->clearSelection();
        Click(Button(2));
        Click(Button(4));
        QCOMPARE(Extensions()->topLevelItemCount(), 2);
        QCOMPARE(ExcludeFolders()->topLevelItemCount(), 1);
        QVERIFY(!ApplyEnabled());

        SelectRow(Extensions(), 0);
        Click(Button(2));
        QCOMPARE(Rows(Extensions()), QStringList{QStringLiteral("bak")});
        QVERIFY(ApplyEnabled());
        SelectRow(ExcludeFolders(), 0);
        Click(Button(4));
        QCOMPARE(ExcludeFolders()->topLevelItemCount(), 0);
        Click(Button(5));
        QCOMPARE(StoredList(QStringLiteral("Extension")), QStringList{QStringLiteral("bak")});
        QCOMPARE(StoredList(QStringLiteral("ExcludeFolder")), QStringList());
        // The surplus entries are gone from the store.
        QCOMPARE(StoredOption(QStringLiteral("Extension1")), QString());
        QCOMPARE(StoredOption(QStringLiteral("ExcludeFolder0")), QString());
    }

    void okStoresEveryControl() {
        QVERIFY(Open());
        Click(Check("chkArchiveFlag"));
        Click(Check("chkUseExtFilterForScan"));
        Click(Check("chkLimitRecursion"));
        Click(Check("chkDailyByArchiveMark"));
        QVERIFY(Limit()->isEnabled());
        Limit()->setFocus();
        Limit()->selectAll();
        QTest::keyClicks(Limit(), QStringLiteral("42"));
        Click(Button(5));
        QCOMPARE(StoredOption(QStringLiteral("DailySearchByArchiveMark")), QStringLiteral("0"));
        QCOMPARE(StoredOption(QStringLiteral("DefaultPath")),
                 env_->Home() + QStringLiteral("/Sicherungen"));
        QCOMPARE(StoredOption(QStringLiteral("DeleteArchiveFlag")), QStringLiteral("1"));
        QCOMPARE(StoredOption(QStringLiteral("UseExtensionFilterInSearch")), QStringLiteral("0"));
        QCOMPARE(StoredOption(QStringLiteral("UseExtensionFilterInFolderScan")),
                 QStringLiteral("1"));
        QCOMPARE(StoredOption(QStringLiteral("LimitRecursionInFolders")), QStringLiteral("1"));
        QCOMPARE(StoredOption(QStringLiteral("RecursionLimit")), QStringLiteral("42"));
        QCOMPARE(StoredOption(QStringLiteral("ExtensionCount")), QStringLiteral("0"));
    }

    // "Verschlüsselung:" shows the stored method, AES-256 when none is stored; choosing the other
    // by its access letter or a click enables "Übernehmen", and "OK" stores it.
    void encryptionChoiceIsShownAndStored() {
        QVERIFY(Open());
        auto* aes = Child<QRadioButton>(QStringLiteral("optEncryptionAes"));
        auto* zip20 = Child<QRadioButton>(QStringLiteral("optEncryptionZip20"));
        QCOMPARE(Child<QLabel>(QStringLiteral("lblEncryption"))->text(),
                 QStringLiteral("Verschlüsselung:"));
        QCOMPARE(aes->text(), QStringLiteral("&AES-256 (empfohlen)"));
        QCOMPARE(zip20->text(),
                 QStringLiteral("&ZIP 2.0 (von jedem Programm lesbar, aber leicht zu knacken)"));
        QVERIFY(aes->isChecked() && !zip20->isChecked());
        QVERIFY(!ApplyEnabled());
        QTest::keyClick(dlg_.get(), Qt::Key_Z, Qt::AltModifier);
        QTRY_VERIFY(zip20->isChecked());
        QVERIFY(!aes->isChecked());
        QTRY_VERIFY(ApplyEnabled());
        Click(Button(5));
        QCOMPARE(StoredOption(QStringLiteral("EncryptionMethod")), QStringLiteral("ZIP20"));

        QVERIFY(Open());
        aes = Child<QRadioButton>(QStringLiteral("optEncryptionAes"));
        QVERIFY(Child<QRadioButton>(QStringLiteral("optEncryptionZip20"))->isChecked());
        Click(aes);
        QVERIFY(aes->isChecked());
        QVERIFY(ApplyEnabled());
        Click(Button(5));
        QCOMPARE(StoredOption(QStringLiteral("EncryptionMethod")), QStringLiteral("AES256"));
    }

    void leavingWithoutOkStoresNothing_data() {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("Abbrechen") << false;
        QTest::newRow("Escape") << true;
    }
    void leavingWithoutOkStoresNothing() {
        QFETCH(bool, byEscape);
        SeedStore();
        const QStringList before = StoreSnapshot();
        QVERIFY(Open());
        Click(Check("chkArchiveFlag"));
        Click(Check("chkLimitRecursion"));
        QVERIFY(AddExtension(QStringLiteral("log")));
        SelectRow(ExcludeFolders(), 0);
        Click(Button(4));
        TimePicker()->setTime(QTime(1, 2, 3));
        if (byEscape) {
            QTest::keyClick(dlg_.get(), Qt::Key_Escape);
        } else {
            Click(Button(7));
        }
        QVERIFY(!dlg_->isVisible());
        QCOMPARE(dlg_->result(), int(QDialog::Rejected));
        QCOMPARE(StoreSnapshot(), before);
    }

    void applyThenCancelKeepsTheFirstSave() {
        QVERIFY(Open());
        Click(Check("chkArchiveFlag"));
        QVERIFY(ApplyEnabled());
        Click(Button(6));
        QVERIFY(dlg_->isVisible());
        QVERIFY(!ApplyEnabled());
        QCOMPARE(QApplication::focusWidget(), Button(5));
        QCOMPARE(StoredOption(QStringLiteral("DeleteArchiveFlag")), QStringLiteral("1"));
        Click(Check("chkArchiveFlag"));
        QVERIFY(AddExtension(QStringLiteral("log")));
        Click(Button(7));
        QCOMPARE(StoredOption(QStringLiteral("DeleteArchiveFlag")), QStringLiteral("1"));
        QCOMPARE(StoredList(QStringLiteral("Extension")), QStringList());
    }

    void lastBackupJoinsPickerDateAndPickerTime() {
        QVERIFY(Open());
        // Each picker also holds the other half; that half must play no part.
        DatePicker()->setDateTime(QDateTime(QDate(2026, 1, 1), QTime(3, 4, 5)));
        TimePicker()->setDateTime(QDateTime(QDate(2000, 6, 15), QTime(9, 9, 9)));
        DatePicker()->setFocus();
        DatePicker()->setSelectedSection(QDateTimeEdit::DaySection);
        QTest::keyClicks(DatePicker(), QStringLiteral("24"));
        DatePicker()->setSelectedSection(QDateTimeEdit::MonthSection);
        QTest::keyClicks(DatePicker(), QStringLiteral("12"));
        TimePicker()->setFocus();
        for (auto [section, text] : {std::pair{QDateTimeEdit::HourSection, "13"},
                                     std::pair{QDateTimeEdit::MinuteSection, "45"},
                                     std::pair{QDateTimeEdit::SecondSection, "10"}}) {
            TimePicker()->setSelectedSection(section);
            QTest::keyClicks(TimePicker(), QString::fromLatin1(text));
        }
        QCOMPARE(DatePicker()->text(), QStringLiteral("24.12.2026"));
        QCOMPARE(TimePicker()->text(), QStringLiteral("13:45:10"));
        Click(Button(5));
        QCOMPARE(modRegistry::RegReadText(HKEY_CURRENT_USER, modBackup::kMainKey,
                                          QStringLiteral("LastBackupAt")),
                 QStringLiteral("24.12.2026 13:45:10"));
        QCOMPARE(modBackup::ReadLastBackupAt(), QDateTime(QDate(2026, 12, 24), QTime(13, 45, 10)));
    }

    // QTimeEdit shows a local time shifted by the zone's offset; the stored moment must stay where
    // it was in every zone, in winter and in summer and on the days the clocks change.
    void lastBackupStaysWhereItWasInEveryZone_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("kept");
        const auto row = [](const char* zone, const char* stored, const char* kept = nullptr) {
            QTest::addRow("%s %s", zone, stored)
                << QByteArray(zone) << QString(stored) << QString(kept ? kept : stored);
        };
        for (const char* zone : {"Europe/Berlin", "America/New_York", "UTC"}) {
            row(zone, "15.01.2025 13:45:10");
            row(zone, "15.07.2025 13:45:10");
            row(zone, "15.01.2025 23:30:00");
            row(zone, "15.07.2025 00:30:00");
        }
        row("Europe/Berlin", "30.03.2025 01:59:59");
        row("Europe/Berlin", "30.03.2025 03:00:00");
        row("Europe/Berlin", "26.10.2025 02:30:00");
        row("Europe/Berlin", "26.10.2025 03:30:00");
        row("America/New_York", "09.03.2025 01:30:00");
        row("America/New_York", "02.11.2025 01:30:00");
        // A time the clocks skip is the same moment an hour later.
        row("Europe/Berlin", "30.03.2025 02:30:00", "30.03.2025 03:30:00");
    }
    void lastBackupStaysWhereItWasInEveryZone() {
        QFETCH(QByteArray, zone);
        QFETCH(QString, stored);
        QFETCH(QString, kept);
        const QByteArray before = qgetenv("TZ");
        qputenv("TZ", zone);
        ::tzset();
        const auto restore = qScopeGuard([before] {
            qputenv("TZ", before);
            ::tzset();
        });
        modRegistry::RegWriteText(HKEY_CURRENT_USER, modBackup::kMainKey,
                                  QStringLiteral("LastBackupAt"), stored);
        QVERIFY(Open());
        QCOMPARE(DatePicker()->text() + u' ' + TimePicker()->text(), kept);
        Click(Button(5));
        QVERIFY(!dlg_->isVisible());
        QCOMPARE(modRegistry::RegReadText(HKEY_CURRENT_USER, modBackup::kMainKey,
                                          QStringLiteral("LastBackupAt")),
                 kept);
    }

    void applyStateFollowsEachKindOfChange() {
        const QString folder = env_->MakeFolder(QStringLiteral("x"));
        struct Change {
            const char* name;
            std::function<void()> act;
            bool enables;
        };
        const std::vector<Change> changes{
            {"archive flag", [&] { Click(Check("chkArchiveFlag")); }, true},
            {"filter for search", [&] { Click(Check("chkUseExtFilterForSearch")); }, true},
            {"filter for scan", [&] { Click(Check("chkUseExtFilterForScan")); }, true},
            {"daily search rule", [&] { Click(Check("chkDailyByArchiveMark")); }, true},
            {"date picker", [&] { DatePicker()->setDate(QDate(2020, 2, 2)); }, true},
            {"time picker", [&] { TimePicker()->setTime(QTime(2, 2, 2)); }, true},
            {"archive folder",
             [&] {
                 AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted, folder + "/n");
                 Click(Button(0));
             },
             true},
            {"excluded folder",
             [&] {
                 AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted, folder + "/n");
                 Click(Button(3));
             },
             true},
            {"new extension", [&] { Click(Button(1)); }, true},
            {"delete extension",
             [&] {
                 SelectRow(Extensions(), 1);
                 Click(Button(2));
             },
             true},
            {"delete folder",
             [&] {
                 SelectRow(ExcludeFolders(), 0);
                 Click(Button(4));
             },
             true},
            {"limit switch", [&] { Click(Check("chkLimitRecursion")); }, false},
            {"limit text",
             [&] {
                 Limit()->setFocus();
                 QTest::keyClick(Limit(), Qt::Key_Backspace);
                 QTest::keyClicks(Limit(), QStringLiteral("3"));
                 QTest::keyClick(Limit(), Qt::Key_Up);
             },
             false},
            {"edit a row in place",
             [&] {
                 SelectRow(Extensions(), 0);
                 QTest::keyClick(Extensions(), Qt::Key_F2);
                 QLineEdit* editor = Extensions()->findChild<QLineEdit*>();
                 QVERIFY(editor != nullptr);
                 QTest::keyClicks(editor, QStringLiteral("log"));
                 QTest::keyClick(editor, Qt::Key_Return);
                 QTest::qWait(20);
                 QCOMPARE(Extensions()->topLevelItem(0)->text(0), QStringLiteral("log"));
             },
             false},
            {"delete with nothing selected",
             [&] {
                 Extensions()->clearSelection();
                 Click(Button(2));
             },
             false},
            {"cancelled folder choice",
             [&] {
                 AnswerFolderDialog(StandardDialogs::FileDialogResult::Cancelled, QString());
                 Click(Button(0));
             },
             false},
        };
        SeedStore();
        for (const Change& change : changes) {
            QVERIFY2(Open(), change.name);
            QVERIFY2(!ApplyEnabled(), change.name);
            change.act();
            QVERIFY2(ApplyEnabled() == change.enables, change.name);
            Click(Button(7));
        }
    }

    void newListsTakeEffectForTheNextScan() {
        env_->MakeFile(QStringLiteral("src/a.txt"));
        env_->MakeFile(QStringLiteral("src/b.tmp"));
        env_->MakeFile(QStringLiteral("src/skip/c.txt"));
        const QString src = env_->Home() + QStringLiteral("/src");
        QVERIFY(modBackup::LoadBackupList());
        QVERIFY(Open());
        QVERIFY(AddExtension(QStringLiteral("tmp")));
        AnswerFolderDialog(StandardDialogs::FileDialogResult::Accepted,
                           src + QStringLiteral("/skip/Dateiname wird ignoriert!"));
        Click(Button(3));
        Click(Button(5));

        auto& state = modBackup::State();
        state.ScanRecursionLimit = 5;
        state.ScanArchiveOnly = false;
        state.ScanChangedOnly = false;
        modBackup::ScanFolder(state.FSO.GetFolder(src), false, false);
        QCOMPARE(Values(state.BackupFiles.get()), QStringList{src + QStringLiteral("/a.txt")});
    }

    void failedSaveKeepsTheDialogOpen() {
        // A config "folder" that is a file: nothing can be written.
        const QString blocker = env_->MakeFile(QStringLiteral("blocker"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker));
        modRegistry::CloseStores();
        QVERIFY(Open());
        Click(Check("chkArchiveFlag"));
        Click(Button(6));
        QVERIFY(dlg_->isVisible());
        QVERIFY(ApplyEnabled());
        Click(Button(5));
        QVERIFY(dlg_->isVisible());
        QCOMPARE(messages_.size(), size_t(2));
        QCOMPARE(messages_[0].text, QStringLiteral("Optionen können nicht gespeichert werden!"));
        QCOMPARE(messages_[0].caption, QStringLiteral("Sondrel"));
        QCOMPARE(messages_[0].icon, QMessageBox::Warning);
    }

    // A list that could not be stored is a failed save like any single value.
    void aFailedListSaveIsAFailedSave() {
        QVERIFY(modBackup::WriteOption(QStringLiteral("DefaultPath"), QStringLiteral("/daten")));
        const QString store = modRegistry::StorePath(HKEY_CURRENT_USER);
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"),
                     {store, QStringLiteral("CREATE TRIGGER full BEFORE INSERT ON reg_values"
                                            " WHEN NEW.name LIKE 'ExcludeFolder%'"
                                            " BEGIN SELECT RAISE(ABORT, 'voll'); END;")});
        QVERIFY(sqlite.waitForFinished() && sqlite.exitCode() == 0);
        QVERIFY(Open());
        Click(Button(5));
        QVERIFY(dlg_->isVisible());
        QCOMPARE(messages_.size(), size_t(1));
        QCOMPARE(messages_[0].text, QStringLiteral("Optionen können nicht gespeichert werden!"));
    }

    // Options that could not be read (another program held the store) are never saved over with
    // the defaults the dialog shows instead; the wait for the store is paid once.
    void unreadOptionsAreNeverSavedOver() {
        SeedStore();
        modRegistry::CloseStores();
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(modRegistry::StorePath(HKEY_CURRENT_USER)), &other),
                 SQLITE_OK);
        QCOMPARE(sqlite3_exec(other,
                              "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                              " UPDATE reg_values SET data = data",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(Open());
        QVERIFY(clock.elapsed() < 9000);
        QTRY_COMPARE(messages_.size(), size_t(1));
        QVERIFY(messages_[0].text.startsWith(
            QStringLiteral("Die gespeicherten Optionen konnten nicht gelesen werden")));
        Click(Button(5));
        QVERIFY(dlg_->isVisible());
        QCOMPARE(messages_.size(), size_t(2));
        QVERIFY(
            messages_[1].text.startsWith(QStringLiteral("Die Optionen werden nicht gespeichert")));
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        dlg_.reset();
        QCOMPARE(modBackup::ReadOption(QStringLiteral("DefaultPath"), QString()),
                 QStringLiteral("/daten/archiv"));
    }

    void tabOrderFollowsTheForm() {
        QVERIFY(modBackup::WriteFlagOption(modBackup::OptLimitRecursion, true));
        StoreList(QStringLiteral("Extension"), {QStringLiteral("tmp")});
        QVERIFY(Open());
        Click(Check("chkArchiveFlag"));  // so that "Übernehmen" takes part
        Button(0)->setFocus();
        QStringList visited;
        for (int i = 0; i < 19; ++i) {
            QWidget* w = QApplication::focusWidget();
            while (w != nullptr && w->objectName().isEmpty()) {
                w = w->parentWidget();
            }
            visited << (w != nullptr ? w->objectName() : QStringLiteral("?"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        // Of the two methods only the chosen one takes the focus; the arrow keys move to the other.
        const QStringList expected{"cmdAction_0",
                                   "chkArchiveFlag",
                                   "optEncryptionAes",
                                   "lvExtensions",
                                   "cmdAction_1",
                                   "cmdAction_2",
                                   "chkUseExtFilterForSearch",
                                   "chkUseExtFilterForScan",
                                   "dtpLastBackupDate",
                                   "dtpLastBackupTime",
                                   "chkLimitRecursion",
                                   "txtLimit",
                                   "chkDailyByArchiveMark",
                                   "lvExcludeFolders",
                                   "cmdAction_3",
                                   "cmdAction_4",
                                   "cmdAction_5",
                                   "cmdAction_6",
                                   "cmdAction_7"};
        QCOMPARE(visited, expected);
    }

    void pictureButtons() {
        QVERIFY(Open());
        for (int index : {1, 2, 3, 4}) {
            QCOMPARE(Button(index)->toolTip(),
                     index % 2 == 1 ? QStringLiteral("Neu") : QStringLiteral("Löschen"));
        }
        const QImage page = frmOptions::NewPagePicture().toImage();
        const QImage cross = frmOptions::CrossPicture().toImage();
        QCOMPARE(page.size(), QSize(16, 16));
        QCOMPARE(cross.size(), QSize(16, 16));
        const QColor grey(192, 192, 192);
        QCOMPARE(page.pixelColor(6, 8), QColor(Qt::white));
        QCOMPARE(page.pixelColor(3, 8), QColor(Qt::black));
        QCOMPARE(page.pixelColor(13, 1), grey);  // cut off by the folded corner
        QCOMPARE(cross.pixelColor(0, 15), grey);
        QVERIFY(cross.pixelColor(8, 8).value() < 80);
    }

    void mainWindowMenuOpensItModally() {
        QVERIFY(modBackup::LoadBackupList());
        frmMain main;
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        bool opened = false;
        WhenModalAppears([&](QWidget* modal) {
            opened = qobject_cast<frmOptions*>(modal) != nullptr && modal->parentWidget() == &main;
            QTest::keyClick(modal, Qt::Key_Escape);
        });
        main.findChild<QAction*>(QStringLiteral("mnuOptions"))->trigger();
        QVERIFY(opened);
        QVERIFY(main.findChild<frmOptions*>() == nullptr);
    }
};

QTEST_MAIN(TestFrmOptions)
#include "test_frmOptions.moc"
