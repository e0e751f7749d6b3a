#pragma once
// frmSearch: the change search "Dateien suchen ...". It chooses the start folder, turns its boxes
// into the scan parameters (SearchSettings), runs ScanFolder with both outlets on and reports each
// file found in its status panel; "Abbrechen" stops the scan through bStopped.
//
// The scan runs inside tmrStartSearch's handler and lets the event loop in after each report, so
// this dialog's handlers can run in the middle of it. While the scan is on the stack, a close
// request (Escape, close box) only asks the scan to stop and closes once it has returned, and
// "Suchen" starts nothing.

#include <QDialog>
#include <array>
#include <cstdint>

#include "app/ScanFolder.h"

class LevelField;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QStatusBar;
class QTimer;

class frmSearch : public QDialog, public modBackup::ISearchOutlet {
    Q_OBJECT

public:
    /// windowOutlet receives the found paths; without one, the outlet the shared state holds
    /// (the main window's) does.
    explicit frmSearch(QWidget* parent = nullptr, modBackup::IWindowOutlet* windowOutlet = nullptr);
    ~frmSearch() override;

    /// Called by the scan for each file it has added: counts it and shows the count.
    void FileFound(const QString& sFile) override;
    /// True while no search runs and from a stop request on.
    bool bStopped() const override { return bStopped_; }

public Q_SLOTS:
    /// Escape and the close box end here; a running scan is stopped first.
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();

    void Form_Load();
    /// True when the key was consumed.
    bool Form_KeyPress(QKeyEvent* event);
    void cmdAction_Click(int index);
    void tmrStartSearch_Timer();
    void chkLimitRecursion_Click();

    void ChooseFolder();
    void StartSearch();
    void StopSearch();
    void EndSearch();
    void SetStatus(const QString& sText);

    QGroupBox* frameOptions = nullptr;
    std::array<QLabel*, 2> lblBeschriftung{};
    std::array<QPushButton*, 2> cmdAction{};
    QLabel* lblPath = nullptr;
    QCheckBox* chkUseArchiveFlag = nullptr;
    QCheckBox* chkNotUseExtFilter = nullptr;
    QCheckBox* chkNoLastBackupDate = nullptr;
    QCheckBox* chkLimitRecursion = nullptr;
    LevelField* txtLimit = nullptr;
    QStatusBar* StatusBar = nullptr;
    QLabel* statusPanel_ = nullptr;
    QTimer* tmrStartSearch = nullptr;

    modBackup::IWindowOutlet* windowOutlet_ = nullptr;
    bool bStopped_ = true;
    int32_t lFound = 0;
    bool bScanOnStack_ = false;
    bool bCloseAfterScan_ = false;
    bool bPlaced_ = false;
};
