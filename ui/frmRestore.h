#pragma once
// frmRestore: the restore dialog. It reads the catalog of an archive folder, shows what comes back
// at the chosen moment as a tree with check boxes (deleted files only when asked for), and
// restores the checked files to their original places or below a chosen folder.
//
// The restore runs on a thread of its own; the dialog shows its progress from a timer and stays
// usable. "Abbrechen" stops it after the file in work; closing the dialog meanwhile asks first.
// A password is asked for at most once while the dialog is open (again only after a record
// or an archive found it wrong), and wiped when the dialog goes.

#include <QDialog>
#include <QStringList>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "app/Restore.h"

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimeEdit;
class QTimer;
class QTreeView;
class RestoreTreeModel;

class frmRestore : public QDialog {
    Q_OBJECT

public:
    explicit frmRestore(QWidget* parent = nullptr);
    ~frmRestore() override;

    bool bRunning() const { return bRunning_; }
    /// The moment the tree shows.
    QDateTime Moment() const;
    /// The whole line below the tree (shown shortened in the middle when it does not fit).
    const QString& StatusText() const { return sStatus_; }

public Q_SLOTS:
    void reject() override;

private:
    void Form_Load();
    void ChooseFolder();
    void ChooseTarget();
    /// Reads the catalog of the folder field, then the plan.
    void ReadCatalog();
    /// The plan at the moment of the date and time fields, shown in the tree.
    void ComputePlan();
    /// The count of checked files, and whether "Wiederherstellen" can start.
    void ShowSelection();
    void StartRestore();
    void CancelRun();
    void ShowProgress();
    void RunFinished(const Restore::Summary& summary);
    /// Shows lines in the report box below the progress (hidden when there are none).
    void ShowReport(const QStringList& lines);
    void SetStatus(const QString& sText);
    void SetInputsEnabled(bool bEnabled);
    /// The password of this dialog: asked for the first time it is needed.
    std::optional<QByteArray> Password();
    void ForgetPassword();

    QLabel* lblFolder = nullptr;
    QLineEdit* txtFolder = nullptr;
    QPushButton* cmdChooseFolder = nullptr;
    QLabel* lblMoment = nullptr;
    QDateEdit* dtpDate = nullptr;
    QLabel* lblTime = nullptr;
    QTimeEdit* dtpTime = nullptr;
    QCheckBox* chkDeleted = nullptr;
    QLabel* lblFiles = nullptr;
    QTreeView* tvFiles = nullptr;
    RestoreTreeModel* model_ = nullptr;
    QGroupBox* frameTarget = nullptr;
    QRadioButton* optOriginal = nullptr;
    QRadioButton* optFolder = nullptr;
    QLineEdit* txtTarget = nullptr;
    QPushButton* cmdChooseTarget = nullptr;
    QProgressBar* pbProgress = nullptr;
    QLabel* lblStatus = nullptr;
    QPlainTextEdit* txtReport = nullptr;
    QPushButton* cmdRestore = nullptr;
    QPushButton* cmdClose = nullptr;
    QTimer* tmrPlan = nullptr;
    QTimer* tmrProgress = nullptr;

    QDateTime dtShown_;  // the moment of the tree
    std::unique_ptr<Restore::Catalog> catalog_;
    QString sCatalogFolder_;  // the folder catalog_ was read from
    QStringList skipped_;
    QString sStatus_;
    QString sPlanProblem_;  // why the tree is empty, when it is
    std::optional<QByteArray> password_;

    std::thread worker_;
    std::atomic<bool> cancel_{false};
    std::mutex progressMutex_;
    Restore::Progress progress_;  // the worker's latest, under progressMutex_
    bool bRunning_ = false;
    bool bCloseAfterRun_ = false;
};
