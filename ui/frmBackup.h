#pragma once
// frmBackup: the backup dialog. It proposes an archive path and a comment, takes a password and
// the after-effects, and runs one backup of the whole list (BackupRun) while showing each archived
// file and the progress, then the check of the archive. It closes itself after the run,
// successful or not; a failure is shown in a message first. While the run is in progress it
// cannot be closed.
//
// Below the password fields a line tells the method of encryption the options chose; it is grey
// while the run would not encrypt. The password fields are overwritten when the run ends.
//
// An existing archive is never replaced: the proposed name is the first free one, looked for when
// the dialog opens and again when the run starts (and once more by the run as it gives the
// archive its name, which the dialog then shows); an existing file chosen with "»" is grown
// ("Ergänzen") or the choice is dropped ("Abbrechen").

#include <QDialog>
#include <QElapsedTimer>
#include <array>
#include <cstdint>
#include <functional>

#include "app/modBackup.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class frmBackup : public QDialog {
    Q_OBJECT

public:
    explicit frmBackup(QWidget* parent = nullptr);
    ~frmBackup() override;

    /// True when a successful run found "Programm nach erfolgreichem Backup beenden" checked.
    bool bExitProgram() const { return bExitProgram_; }
    /// Empties the owner's list when the list is emptied after a backup.
    void SetClearWindowList(std::function<void()> clearWindowList);

    /// The progress bar's steps per percent, so that it advances in fractions of a percent.
    static constexpr int kProgressStepsPerPercent = 100;

public Q_SLOTS:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void cmdAction_Click(int index);
    void txtPassword_Change();
    void ChooseArchive();
    /// Holds sPath as the archive's path and shows it in lblArchivePath.
    void ShowArchivePath(const QString& sPath);
    /// Shows lblDiskHint when the archive's folder lies on the disk of a listed file.
    void ShowDiskHint();
    void StartBackup();
    void ZIP_FileAdded(const QString& sFilename, float fPercent);
    void ZIP_VerifyProgress(int32_t lDone, int32_t lTotal);
    /// Shows text and the bar at fPercent; redrawn at most every kRedrawIntervalMs.
    void ShowProgress(const QString& sText, float fPercent);
    /// Overwrites what the password fields hold and empties them.
    void WipePasswords();

    QGroupBox* frameOptions = nullptr;
    std::array<QLabel*, 4> lblBeschriftung{};
    std::array<QPushButton*, 2> cmdAction{};
    QLabel* lblArchivePath = nullptr;
    QCheckBox* chkArchiveFlag = nullptr;
    QCheckBox* chkClearListAfterBackup = nullptr;
    QCheckBox* chkAdjustLastBackupDate = nullptr;
    std::array<QLineEdit*, 2> txtPassword{};
    QLabel* lblEncryption = nullptr;
    QLineEdit* txtComment = nullptr;
    QCheckBox* chkExitAfterBackup = nullptr;
    QProgressBar* pbZIPProgress = nullptr;
    QLabel* lblFileAdded = nullptr;
    QLabel* lblDiskHint = nullptr;

    std::function<void()> clearWindowList_;
    QString sArchivePath_;        // the path lblArchivePath shows (where bytes show as "\xNN")
    QString sArchiveName_;        // the archive's name before a number was added to make it free
    bool bGrowExisting_ = false;  // "Ergänzen" was chosen for the archive shown
    modBackup::EncryptionMethod eEncryption_ = modBackup::EncryptionMethod::AES256;
    QElapsedTimer redrawClock_;
    bool bExitProgram_ = false;
    bool bRunning_ = false;
};
