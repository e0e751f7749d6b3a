#include "ui/frmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDropEvent>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include "app/Intake.h"
#include "app/NativePath.h"
#include "app/modBackup.h"
#include "ui/FileListModel.h"
#include "ui/ProgramIcon.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"
#include "ui/WindowIntake.h"
#include "ui/frmAbout.h"
#include "ui/frmBackup.h"
#include "ui/frmOptions.h"
#include "ui/frmRestore.h"
#include "ui/frmSearch.h"

using modBackup::State;

namespace {

/// The local paths of a drag's data when it is a list of files (URLs that all name local files),
/// else nothing.
bool DroppedFiles(const QMimeData* mime, QStringList* paths) {
    if (mime == nullptr || !mime->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = mime->urls();
    if (urls.isEmpty()) {
        return false;
    }
    QStringList local;
    local.reserve(urls.size());
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) {
            return false;
        }
        // The encoded form keeps bytes of a name that are not UTF-8.
        local.append(PathFromNative(
            QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1())));
    }
    if (paths != nullptr) {
        *paths = std::move(local);
    }
    return true;
}

/// Kilobytes rounded to the nearest whole number, halves away from zero.
int64_t RoundedKiloBytes(int64_t bytes) {
    return bytes >= 0 ? (bytes + 512) / 1024 : -((-bytes + 512) / 1024);
}

// Shown in the empty list: how files get there.
const QString kEmptyListHint = QStringLiteral(
    "Die Liste ist leer. So kommen Dateien hinein:\n\n"
    "• Dateien und Ordner aus dem Dateimanager hierher ziehen\n"
    "• im Dateimanager „Zur Datensicherung hinzufügen“ im Kontextmenü oder "
    "„Öffnen mit → Tarvello-Backup“ wählen\n"
    "• „Extras → Dateien suchen“ findet geänderte Dateien");

CListString& BackupFiles() {
    std::unique_ptr<CListString>& list = State().BackupFiles;
    if (!list) {
        list = std::make_unique<CListString>();
    }
    return *list;
}

}  // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tarvello-Backup"));
    SetProgramIcon();

    // lbFiles sits in a plain client widget, not in a layout: the layout rule places it by hand.
    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("client"));
    setCentralWidget(client_);

    lbFilesModel = new FileListModel(this);
    lbFiles = new QListView(client_);
    lbFiles->setObjectName(QStringLiteral("lbFiles"));
    lbFiles->setModel(lbFilesModel);
    lbFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lbFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lbFiles->setUniformItemSizes(true);
    lbFiles->setDragEnabled(false);
    lbFiles->setAcceptDrops(true);
    lbFiles->viewport()->setAcceptDrops(true);
    // Right-button events must reach the list itself: they start tmrMenu.
    lbFiles->setContextMenuPolicy(Qt::PreventContextMenu);
    lbFiles->installEventFilter(this);
    lbFiles->viewport()->installEventFilter(this);
    client_->installEventFilter(this);

    tmrMenu = new QTimer(this);
    tmrMenu->setObjectName(QStringLiteral("tmrMenu"));
    tmrMenu->setInterval(100);
    tmrMenu->setSingleShot(true);
    connect(tmrMenu, &QTimer::timeout, this, &frmMain::tmrMenu_Timer);

    CreateMenus();
    CreateStatusBar();
    PlaceInitially();
    // The hint comes and goes with the rows; the view alone would repaint only where rows are.
    for (const auto signal :
         {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
        connect(lbFilesModel, signal, this, &frmMain::EmptyListChanged);
    }
    connect(lbFilesModel, &QAbstractItemModel::modelReset, this, &frmMain::EmptyListChanged);
    connect(lbFilesModel, &QAbstractItemModel::layoutChanged, this, &frmMain::EmptyListChanged);
    EmptyListChanged();

    intake_ = new WindowIntake(
        {[this] { RaiseForOtherStart(); },
         [this](const QStringList& files) { modBackup::TakeIntakeFiles(files, this); },
         [this] { mnuCheckFiles_Click(); }, [this] { return bListUnread_; },
         [this](const QStringList& stored) { TakeStoredList(stored); }},
        this);

    State().WindowOutlet = this;
    Form_Load();
    // Records of files that are gone would pile up for ever; this costs a backup nothing.
    marksCleanup_ = std::thread([] { DropVanishedMarks(); });
}

frmMain::~frmMain() {
    marksCleanup_.join();
    if (State().WindowOutlet == this) {
        State().WindowOutlet = nullptr;
    }
}

void frmMain::SetProgramIcon() {
    // The one place where the window's icon is set; dialogs opened over the window inherit it.
    setWindowIcon(ProgramIcon());
}

void frmMain::CreateMenus() {
    const auto item = [this](QMenu* menu, const QString& name, const QString& caption,
                             void (frmMain::*handler)()) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
        return action;
    };
    const auto separator = [](QMenu* menu, const QString& name) {
        QAction* action = menu->addSeparator();
        action->setObjectName(name);
        return action;
    };

    mnuDatei = menuBar()->addMenu(QStringLiteral("&Datei"));
    mnuDatei->setObjectName(QStringLiteral("mnuDatei"));
    mnuBackupNow = item(mnuDatei, QStringLiteral("mnuBackupNow"),
                        QStringLiteral("&Backup starten!"), &frmMain::mnuBackupNow_Click);
    mnuRestore = item(mnuDatei, QStringLiteral("mnuRestore"),
                      QStringLiteral("&Wiederherstellen ..."), &frmMain::mnuRestore_Click);
    mnuTrenner1 = separator(mnuDatei, QStringLiteral("mnuTrenner1"));
    mnuExit = item(mnuDatei, QStringLiteral("mnuExit"), QStringLiteral("B&eenden"),
                   &frmMain::mnuExit_Click);

    mnuEdit = menuBar()->addMenu(QStringLiteral("&Bearbeiten"));
    mnuEdit->setObjectName(QStringLiteral("mnuEdit"));
    mnuCheckFiles = item(mnuEdit, QStringLiteral("mnuCheckFiles"),
                         QStringLiteral("Dateiliste &prüfen"), &frmMain::mnuCheckFiles_Click);
    mnuReload = item(mnuEdit, QStringLiteral("mnuReload"), QStringLiteral("Liste &neu laden"),
                     &frmMain::mnuReload_Click);
    mnuTrenner2 = separator(mnuEdit, QStringLiteral("mnuTrenner2"));
    mnuDelete = item(mnuEdit, QStringLiteral("mnuDelete"), QStringLiteral("&Löschen"),
                     &frmMain::mnuDelete_Click);

    mnuExtras = menuBar()->addMenu(QStringLiteral("E&xtras"));
    mnuExtras->setObjectName(QStringLiteral("mnuExtras"));
    mnuSearch = item(mnuExtras, QStringLiteral("mnuSearch"), QStringLiteral("&Dateien suchen"),
                     &frmMain::mnuSearch_Click);
    mnuTrenner3 = separator(mnuExtras, QStringLiteral("mnuTrenner3"));
    mnuOptions = item(mnuExtras, QStringLiteral("mnuOptions"), QStringLiteral("&Optionen"),
                      &frmMain::mnuOptions_Click);

    mnuAbout = menuBar()->addAction(QStringLiteral("&Info"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    connect(mnuAbout, &QAction::triggered, this, [this] { mnuAbout_Click(); });
}

void frmMain::CreateStatusBar() {
    StatusBar = statusBar();
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setFixedHeight(Twips::ToPixelsY(315, this));

    const auto panel = [this](const QString& name, const QString& text) {
        auto* label = new QLabel(text, StatusBar);
        label->setObjectName(name);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setIndent(Twips::ToPixelsX(60, this));
        return label;
    };
    statusPanel1_ = panel(QStringLiteral("StatusBarPanel1"), QString());
    statusPanel2_ = panel(QStringLiteral("StatusBarPanel2"), QStringLiteral("0 Datei(en)"));
    statusPanel3_ = panel(QStringLiteral("StatusBarPanel3"), QStringLiteral("0 KB"));
    statusPanel2_->setFixedWidth(Twips::ToPixelsX(1440, this));
    statusPanel3_->setFixedWidth(Twips::ToPixelsX(1440, this));
    StatusBar->addWidget(statusPanel1_, 1);
    StatusBar->addPermanentWidget(statusPanel2_);
    StatusBar->addPermanentWidget(statusPanel3_);
}

void frmMain::PlaceInitially() {
    // The client area (menu bar excluded, status bar included) gets 9195 x 5295 twips.
    const int width = Twips::ToPixelsX(9195, this);
    const int height = Twips::ToPixelsY(5295, this) + menuBar()->sizeHint().height();
    resize(width, height);
    if (const QScreen* screen = this->screen()) {
        QRect frame(0, 0, width, height);
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

// ---- window events

void frmMain::Form_Load() {
    FillFromBackupFiles();
    mnuCheckFiles_Click();
}

void frmMain::Form_Resize() {
    const int clientHeight = client_->height() + StatusBar->height();
    if (clientHeight < Twips::ToPixelsY(1500, this)) {
        return;
    }
    lbFiles->setGeometry(0, 0, client_->width(), client_->height());
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (!Form_Unload()) {
        event->ignore();
        return;
    }
    event->accept();
}

bool frmMain::Form_Unload() {
    // A second close must not store the list again: it has been released by then.
    if (bUnloaded_) {
        return true;
    }
    tmrMenu->stop();
    // Other starts wait from here on, and do their work themselves once this window has gone; a
    // list being stored for one of them is stored before this save.
    intake_->Close();
    enum Choice { Retry, EndWithoutSaving, Stay };
    const auto stay = [this] {
        if (bListening_) {
            ListenForOtherStarts();
        }
        return false;
    };
    // The stored list is never replaced by a window that could not read it.
    while (bListUnread_ && !MergeStoredList()) {
        const int choice = StandardDialogs::AskChoice(
            this,
            QStringLiteral("Die gespeicherte Dateiliste kann noch immer nicht gelesen werden.\n\n"
                           "%1\n\nDie %2 Datei(en) im Fenster sind noch nicht gespeichert. "
                           "„Ohne Speichern beenden“ lässt die gespeicherte Liste, wie sie ist; "
                           "die Dateien im Fenster gehen dann verloren.")
                .arg(sUnreadProblem_)
                .arg(lbFilesModel->Count()),
            QMessageBox::Warning,
            {QStringLiteral("&Wiederholen"), QStringLiteral("&Ohne Speichern beenden"),
             QStringLiteral("&Zurück zum Fenster")});
        if (choice == EndWithoutSaving) {
            bUnloaded_ = true;
            State().BackupFiles.reset();
            return true;
        }
        if (choice == Stay) {
            return stay();
        }
    }
    for (Result<void> saved = modBackup::SaveBackupList(); !saved;
         saved = modBackup::SaveBackupList()) {
        const int choice = StandardDialogs::AskChoice(
            this,
            QStringLiteral("Die Dateiliste konnte nicht gespeichert werden.\n\n") + saved.Reason(),
            QMessageBox::Warning,
            {QStringLiteral("&Wiederholen"), QStringLiteral("&Ohne Speichern beenden"),
             QStringLiteral("&Zurück zum Fenster")});
        if (choice == EndWithoutSaving) {
            break;
        }
        if (choice == Stay) {
            return stay();
        }
    }
    bUnloaded_ = true;
    if (State().BackupFiles) {
        State().BackupFiles->RemoveAll();
        State().BackupFiles.reset();
    }
    return true;
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == client_) {
        if (event->type() == QEvent::Resize) {
            Form_Resize();
        }
        return false;
    }
    if (watched == lbFiles) {
        if (event->type() == QEvent::KeyPress) {
            return lbFiles_KeyDown(static_cast<QKeyEvent*>(event)->key());
        }
        return false;
    }
    if (watched != lbFiles->viewport()) {
        return QMainWindow::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            // The list never sees the right button, so right-clicking keeps the selection.
            return static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
        case QEvent::MouseButtonRelease: {
            const Qt::MouseButton button = static_cast<QMouseEvent*>(event)->button();
            lbFiles_MouseUp(button);
            return button == Qt::RightButton;
        }
        case QEvent::Paint:
            // The view paints no rows then; the hint goes under whatever it paints.
            if (lbFilesModel->rowCount() == 0) {
                PaintEmptyListHint();
            }
            return false;
        case QEvent::DragEnter:
        case QEvent::DragMove:
            lbFiles_OLEDragOver(static_cast<QDropEvent*>(event));
            return true;
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            QStringList paths;
            if (!DroppedFiles(drop->mimeData(), &paths) ||
                !(drop->possibleActions() & Qt::CopyAction)) {
                drop->ignore();
                return true;
            }
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            // Handled once the drag source has been told, so that a long scan does not keep the
            // file manager waiting.
            QTimer::singleShot(0, this, [this, paths] { lbFiles_OLEDragDrop(paths); });
            return true;
        }
        default:
            return false;
    }
}

bool frmMain::lbFiles_KeyDown(int keyCode) {
    if (keyCode == Qt::Key_Delete) {
        mnuDelete_Click();
        return true;
    }
    return false;
}

void frmMain::lbFiles_MouseUp(Qt::MouseButton button) {
    if (button == Qt::RightButton) {
        tmrMenu->start();
    }
}

void frmMain::tmrMenu_Timer() {
    tmrMenu->stop();
    mnuEdit->popup(QCursor::pos());
}

void frmMain::lbFiles_OLEDragOver(QDropEvent* event) {
    if (DroppedFiles(event->mimeData(), nullptr) && (event->possibleActions() & Qt::CopyAction)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
}

void frmMain::lbFiles_OLEDragDrop(const QStringList& paths) {
    modBackup::SharedState& state = State();
    QStringList notes;
    for (const QString& sPath : paths) {
        if (state.FSO.FolderExists(sPath)) {
            if (const Result<void> prepared = modBackup::PrepareFolderScan(state); !prepared) {
                StandardDialogs::ShowMessage(
                    this,
                    QStringLiteral("Der Ordner „%1“ wurde nicht aufgenommen.\n\n%2")
                        .arg(DisplayPath(sPath), prepared.Reason()),
                    QMessageBox::Warning);
                continue;
            }
            state.WindowOutlet = this;
            const modBackup::ScanResult result =
                modBackup::ScanFolder(state.FSO.GetFolder(sPath), true, false);
            if (const QString note =
                    modBackup::LevelLimitNote(sPath, modBackup::kFolderScanLevels, result);
                !note.isEmpty()) {
                notes.append(note);
            }
        } else if (state.FSO.FileExists(sPath)) {
            CListString& files = BackupFiles();
            if (!files.ValueExists(sPath)) {
                files.Add(sPath, QString());
                AddToFileList(sPath);
            }
        }
    }
    mnuCheckFiles_Click();
    if (!notes.isEmpty()) {
        // Told once the list shows what was taken.
        StandardDialogs::ShowMessage(this, notes.join(QStringLiteral("\n\n")),
                                     QMessageBox::Information);
    }
}

// ---- menu commands

void frmMain::mnuBackupNow_Click() {
    if (ShowBackupDialog()) {
        mnuExit_Click();
        return;
    }
    // The dialog may have emptied the list.
    mnuCheckFiles_Click();
}

void frmMain::mnuRestore_Click() {
    ShowRestoreDialog();
}

void frmMain::mnuExit_Click() {
    close();
}

void frmMain::mnuCheckFiles_Click() {
    lTotalSize = 0;
    modBackup::SharedState& state = State();
    const QStringList paths = lbFilesModel->Paths();
    std::vector<int> vanished;
    for (int i = 0; i < paths.size(); ++i) {
        // One look at each file: a list of 100,000 is checked after every intake.
        const std::optional<int64_t> size = state.FSO.FileSize(paths[i]);
        if (size) {
            lTotalSize += *size;
        } else {
            vanished.push_back(i);
        }
    }
    RemoveEntries(vanished);
    UpdateStatusBar();
}

void frmMain::mnuReload_Click() {
    if (bListUnread_) {
        // The window's own paths are not stored yet: they stay, beside the stored ones.
        if (MergeStoredList()) {
            if (const Result<void> saved = modBackup::SaveBackupList(); !saved) {
                StandardDialogs::ShowMessage(
                    this,
                    QStringLiteral("Die Dateiliste konnte nicht gespeichert werden.\n\n") +
                        saved.Reason(),
                    QMessageBox::Warning);
            }
        } else {
            TellStoredListUnread();
        }
        mnuCheckFiles_Click();
        return;
    }
    const Result<QStringList> stored = modBackup::ReadStoredBackupList();
    if (!stored) {
        // What the window shows stays; the stored list, unknown now, is not saved over.
        SetStoredListUnread(stored.Reason());
        TellStoredListUnread();
        return;
    }
    CListString& files = BackupFiles();
    files.RemoveAll();
    ClearFileList();
    for (const QString& path : *stored) {
        if (!files.ValueExists(path)) {
            files.Add(path);
        }
    }
    FillFromBackupFiles();
    mnuCheckFiles_Click();
}

void frmMain::SetStoredListUnread(const QString& sProblem) {
    bListUnread_ = true;
    sUnreadProblem_ = sProblem;
    statusPanel1_->setText(QStringLiteral("Gespeicherte Liste nicht gelesen"));
    statusPanel1_->setToolTip(QStringLiteral(
        "Die gespeicherte Dateiliste konnte nicht gelesen werden; sie wird nicht überschrieben."));
}

void frmMain::TellStoredListUnread() {
    StandardDialogs::ShowMessage(
        this,
        QStringLiteral("Die gespeicherte Dateiliste konnte nicht gelesen werden.\n\n") +
            sUnreadProblem_ +
            QStringLiteral(
                "\n\nSolange sie nicht gelesen werden kann, speichert das Fenster nichts über "
                "sie: Dateien, die Sie hinzufügen oder die „sondrel DATEI“ übergibt, sammelt "
                "es und führt sie mit der gespeicherten Liste zusammen, sobald diese gelesen "
                "werden kann (mit „Liste neu laden“, bei der nächsten Übergabe oder beim "
                "Beenden)."),
        QMessageBox::Warning);
}

bool frmMain::MergeStoredList() {
    const Result<QStringList> stored = modBackup::ReadStoredBackupList();
    if (!stored) {
        sUnreadProblem_ = stored.Reason();
        return false;
    }
    TakeStoredList(*stored);
    return true;
}

void frmMain::TakeStoredList(const QStringList& stored) {
    modBackup::TakeIntakeFiles(stored, this);
    bListUnread_ = false;
    sUnreadProblem_.clear();
    statusPanel1_->clear();
    statusPanel1_->setToolTip(QString());
    mnuCheckFiles_Click();
}

void frmMain::mnuDelete_Click() {
    lbFilesModel->Flush();
    std::vector<int> selected;
    for (const QItemSelectionRange& range : lbFiles->selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            selected.push_back(row);
        }
    }
    RemoveEntries(selected);
    mnuCheckFiles_Click();
}

void frmMain::mnuSearch_Click() {
    ShowSearchDialog();
    // The search may have added files to the list.
    mnuCheckFiles_Click();
}

void frmMain::mnuOptions_Click() {
    ShowOptionsDialog();
}

void frmMain::mnuAbout_Click() {
    ShowAboutDialog();
}

// ---- dialogs (each is filled in when its dialog exists)

bool frmMain::ShowBackupDialog() {
    frmBackup dialog(this);
    dialog.SetClearWindowList([this] { ClearFileList(); });
    // Paths of other starts wait until the run's after-effects are done: emptying the list after
    // the backup must not take a path the run did not archive.
    intake_->Hold(true);
    dialog.exec();
    intake_->Hold(false);
    return dialog.bExitProgram();
}

void frmMain::ShowSearchDialog() {
    frmSearch dialog(this, this);
    dialog.exec();
}

void frmMain::ShowRestoreDialog() {
    frmRestore dialog(this);
    dialog.exec();
}

void frmMain::ShowOptionsDialog() {
    frmOptions dialog(this);
    dialog.exec();
}

void frmMain::ShowAboutDialog() {
    frmAbout dialog(this);
    dialog.exec();
}

// ---- the list

void frmMain::AddToFileList(const QString& sPath) {
    lbFilesModel->Append(sPath);
}

void frmMain::ClearFileList() {
    lbFilesModel->Clear();
}

void frmMain::CheckFiles() {
    mnuCheckFiles_Click();
}

bool frmMain::ListenForOtherStarts() {
    const Result<void> listening = intake_->Listen();
    bListening_ = listening.Ok();
    if (bListening_) {
        return true;
    }
    StandardDialogs::ShowMessage(
        this,
        QStringLiteral("Sondrel kann keine Dateien von anderen Aufrufen annehmen, solange dieses "
                       "Fenster offen ist; „sondrel DATEI“ nimmt dann nichts auf und meldet "
                       "nach einer Minute einen Fehler.\n\n") +
            listening.Reason(),
        QMessageBox::Warning);
    return false;
}

void frmMain::RaiseForOtherStart() {
    QWidget* front = QApplication::activeModalWidget();
    if (front == nullptr) {
        front = this;
    }
    if (isMinimized()) {
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    }
    front->show();
    front->raise();
    front->activateWindow();
}

void frmMain::FillFromBackupFiles() {
    if (!State().BackupFiles) {
        return;
    }
    lbFilesModel->AppendMany(modBackup::ListValues(State().BackupFiles.get()));
}

void frmMain::RemoveEntries(const std::vector<int>& rows) {
    if (rows.empty()) {
        return;
    }
    // How often each path is to go; BackupFiles loses the first match of each, as one removal
    // per path would, but in a single walk.
    QHash<QString, int> toRemove;
    for (int row : rows) {
        ++toRemove[lbFilesModel->At(row)];
    }
    lbFilesModel->RemoveRows(rows);

    if (!State().BackupFiles) {
        return;
    }
    CListString& files = *State().BackupFiles;
    files.MoveFirst();
    while (!files.EOL() && !toRemove.isEmpty()) {
        const auto it = toRemove.find(files.Data());
        if (it == toRemove.end()) {
            files.MoveNext();
            continue;
        }
        files.Remove();
        if (--it.value() == 0) {
            toRemove.erase(it);
        }
    }
    files.MoveFirst();
}

void frmMain::EmptyListChanged() {
    lbFiles->setAccessibleDescription(lbFilesModel->rowCount() == 0 ? kEmptyListHint : QString());
    lbFiles->viewport()->update();
}

void frmMain::PaintEmptyListHint() {
    QWidget* viewport = lbFiles->viewport();
    QPainter painter(viewport);
    painter.setPen(viewport->palette().color(QPalette::PlaceholderText));
    const int margin = Twips::ToPixelsX(360, this);
    const QRect area = viewport->rect().adjusted(margin, margin, -margin, -margin);
    // A block of left-aligned lines, in the middle of the empty list.
    QRect block = painter.boundingRect(area, Qt::AlignLeft | Qt::TextWordWrap, kEmptyListHint);
    block.moveCenter(area.center());
    painter.drawText(block, Qt::AlignLeft | Qt::TextWordWrap, kEmptyListHint);
}

void frmMain::UpdateStatusBar() {
    statusPanel2_->setText(QString::number(lbFilesModel->Count()) + QStringLiteral(" Datei(en)"));
    statusPanel3_->setText(
        QLocale().toString(static_cast<qlonglong>(RoundedKiloBytes(lTotalSize))) +
        QStringLiteral(" KB"));
}
