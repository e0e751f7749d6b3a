#pragma once
// frmOptions: edits every stored setting but the backup list. The controls hold the values while
// the user edits; only "OK" and "Übernehmen" store them (SaveSettings), and the save also rebuilds
// the shared Extensions and ExcludeFolders so that drops and searches use the new lists at once.

#include <QDialog>
#include <array>

class LevelField;
class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTimeEdit;
class QTreeWidget;
class CListString;

class frmOptions : public QDialog {
    Q_OBJECT

public:
    explicit frmOptions(QWidget* parent = nullptr);

    /// The small pictures of the "Neu" and "Löschen" buttons, 16 x 16 on grey.
    static QPixmap NewPagePicture();
    static QPixmap CrossPicture();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    /// Stores every control's value. False when a write failed.
    bool SaveSettings();
    /// SaveSettings, or why nothing could be saved, told to the user. True when saved.
    bool SaveOrTell();
    void cmdAction_Click(int index);
    void chkLimitRecursion_Click();
    void ChooseFolder(int index);
    void RemoveSelectedRow(QTreeWidget* list);
    void FillList(QTreeWidget* list, CListString& values);
    void RebuildFromRows(CListString& values, const QTreeWidget* list);
    void SetChanged();

    QGroupBox* framePath = nullptr;
    QGroupBox* frameExtensions = nullptr;
    QGroupBox* frameSuche = nullptr;
    QGroupBox* Frame1 = nullptr;
    std::array<QLabel*, 6> lblBeschriftung{};
    std::array<QPushButton*, 8> cmdAction{};
    QLabel* lblPath = nullptr;
    QCheckBox* chkArchiveFlag = nullptr;
    QLabel* lblEncryption = nullptr;
    QRadioButton* optEncryptionAes = nullptr;
    QRadioButton* optEncryptionZip20 = nullptr;
    QTreeWidget* lvExtensions = nullptr;
    QCheckBox* chkUseExtFilterForSearch = nullptr;
    QCheckBox* chkUseExtFilterForScan = nullptr;
    QDateEdit* dtpLastBackupDate = nullptr;
    QTimeEdit* dtpLastBackupTime = nullptr;
    QCheckBox* chkLimitRecursion = nullptr;
    LevelField* txtLimit = nullptr;
    /// What sondrel-backup --search (the daily timer) takes: files by archive mark, or by date.
    QCheckBox* chkDailyByArchiveMark = nullptr;
    QTreeWidget* lvExcludeFolders = nullptr;
    /// Why the stored options could not be read when the dialog opened: the dialog then shows
    /// defaults, and saving them would replace what is stored, so nothing is saved.
    QString sUnreadProblem_;
};
