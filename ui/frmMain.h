#pragma once
// frmMain: the main window in window mode. It shows the backup list (lbFiles, kept in step with
// modBackup's BackupFiles), totals it in the status bar, takes dropped files and folders, and is
// the hub from which every dialog opens. Closing it stores the backup list.
//
// The window is ScanFolder's window outlet while it exists: a scan with AddToWindow appends the
// paths it takes to lbFiles.

#include <QMainWindow>
#include <QStringList>
#include <cstdint>
#include <thread>
#include <vector>

#include "app/ScanFolder.h"

class FileListModel;
class WindowIntake;
class QAction;
class QDropEvent;
class QLabel;
class QListView;
class QMenu;
class QStatusBar;
class QTimer;

class frmMain : public QMainWindow, public modBackup::IWindowOutlet {
    Q_OBJECT

public:
    /// Loads the window: fills lbFiles from BackupFiles and runs the list check.
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    /// Appends one path to lbFiles alone (BackupFiles is the caller's business).
    void AddToFileList(const QString& sPath) override;
    /// Empties lbFiles alone.
    void ClearFileList();
    /// The list check: drops vanished files from lbFiles and BackupFiles and updates the status
    /// bar.
    void CheckFiles();

    /// The stored list could not be read (sProblem says why): until it can, the window keeps
    /// what it gets apart and never saves over the stored list. Each later attempt to store
    /// (an intake, "Liste neu laden", closing) reads it first and merges the two.
    void SetStoredListUnread(const QString& sProblem);
    /// Tells the user what that means.
    void TellStoredListUnread();
    bool StoredListUnread() const { return bListUnread_; }

    /// Makes this the window that other starts of the program reach (SingleInstance.h): they
    /// raise it, or hand it the paths of their command line. The caller holds the instance lock.
    /// When that is impossible the user is told why, and the result is false.
    bool ListenForOtherStarts();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateMenus();
    void CreateStatusBar();
    void SetProgramIcon();
    void PlaceInitially();

    void Form_Load();
    void Form_Resize();
    /// False when the user chose to stay after the list could not be stored.
    bool Form_Unload();
    bool lbFiles_KeyDown(int keyCode);
    void lbFiles_MouseUp(Qt::MouseButton button);
    void tmrMenu_Timer();
    void lbFiles_OLEDragOver(QDropEvent* event);
    void lbFiles_OLEDragDrop(const QStringList& paths);

    void mnuBackupNow_Click();
    void mnuRestore_Click();
    void mnuExit_Click();
    void mnuCheckFiles_Click();
    void mnuReload_Click();
    void mnuDelete_Click();
    void mnuSearch_Click();
    void mnuOptions_Click();
    void mnuAbout_Click();

    // Each opens its dialog modally over this window and releases it after it closes.
    /// Returns the dialog's bExitProgram.
    bool ShowBackupDialog();
    void ShowSearchDialog();
    void ShowRestoreDialog();
    void ShowOptionsDialog();
    void ShowAboutDialog();

    void FillFromBackupFiles();
    /// Reads the stored list once more and takes its paths in beside the window's own; false (and
    /// the reason kept) when it still cannot be read.
    bool MergeStoredList();
    /// Takes paths read from the store in beside the window's own, and ends the unread state.
    void TakeStoredList(const QStringList& stored);
    /// Removes the entries at the given display positions from lbFiles and their paths from
    /// BackupFiles.
    void RemoveEntries(const std::vector<int>& rows);
    void UpdateStatusBar();
    /// The empty list says how files get there (in grey, in its viewport, and to assistive
    /// technology through its description); any row makes it go.
    void EmptyListChanged();
    void PaintEmptyListHint();
    /// Brings the window (or the dialog open over it) to the front.
    void RaiseForOtherStart();

    QListView* lbFiles = nullptr;
    FileListModel* lbFilesModel = nullptr;
    QWidget* client_ = nullptr;
    QStatusBar* StatusBar = nullptr;
    QLabel* statusPanel1_ = nullptr;
    QLabel* statusPanel2_ = nullptr;
    QLabel* statusPanel3_ = nullptr;
    QTimer* tmrMenu = nullptr;
    WindowIntake* intake_ = nullptr;
    /// Drops stale archive-mark records while the window is up; joined when it goes.
    std::thread marksCleanup_;

    QMenu* mnuDatei = nullptr;
    QAction* mnuBackupNow = nullptr;
    QAction* mnuRestore = nullptr;
    QAction* mnuTrenner1 = nullptr;
    QAction* mnuExit = nullptr;
    QMenu* mnuEdit = nullptr;
    QAction* mnuCheckFiles = nullptr;
    QAction* mnuReload = nullptr;
    QAction* mnuTrenner2 = nullptr;
    QAction* mnuDelete = nullptr;
    QMenu* mnuExtras = nullptr;
    QAction* mnuSearch = nullptr;
    QAction* mnuTrenner3 = nullptr;
    QAction* mnuOptions = nullptr;
    QAction* mnuAbout = nullptr;

    /// Bytes of the listed files as the last list check found them; 64-bit so it cannot overflow.
    int64_t lTotalSize = 0;
    bool bUnloaded_ = false;
    bool bListUnread_ = false;
    QString sUnreadProblem_;
    bool bListening_ = false;
};
