#include "ui/frmSearch.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include "app/SearchSettings.h"
#include "app/modBackup.h"
#include "ui/FormScale.h"
#include "ui/LevelField.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"

namespace {

constexpr int kClientWidth = 7455;
constexpr int kClientHeight = 2925;
constexpr int kStatusBarHeight = 315;
constexpr int kStartDelayMs = 200;

QString FoundText(const char* prefix, int32_t lFound, const char* suffix) {
    return QString::fromUtf8(prefix) + QString::number(lFound) + QString::fromUtf8(suffix);
}

}  // namespace

frmSearch::frmSearch(QWidget* parent, modBackup::IWindowOutlet* windowOutlet)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      windowOutlet_(windowOutlet) {
    setObjectName(QStringLiteral("frmSearch"));
    setWindowTitle(QStringLiteral("Dateien suchen ..."));
    FormScale::SetFixedClientSize(this, kClientWidth, kClientHeight);
    CreateControls();
    SetTabOrder();
    Form_Load();
}

frmSearch::~frmSearch() {
    modBackup::SharedState& state = modBackup::State();
    if (state.SearchOutlet == this) {
        state.SearchOutlet = nullptr;
    }
}

void frmSearch::CreateControls() {
    // Captions grow to their text where the desktop's font needs more than the scaled rectangle.
    auto place = [](QWidget* w, int left, int top, int width, int height) {
        FormScale::Place(w, left, top, width, height, false);
    };
    auto placeCaption = [](QWidget* w, int left, int top, int width, int height) {
        FormScale::Place(w, left, top, width, height, true);
    };

    frameOptions = new QGroupBox(QStringLiteral(" Optionen für die Suche: "), this);
    frameOptions->setObjectName(QStringLiteral("frameOptions"));
    place(frameOptions, 60, 60, 7335, 2475);

    lblBeschriftung[0] =
        new QLabel(QStringLiteral("Verzeichnis, ab dem gesucht werden soll:"), frameOptions);
    placeCaption(lblBeschriftung[0], 180, 300, 2955, 195);

    cmdAction[0] = new QPushButton(QStringLiteral("»"), frameOptions);
    QFont bold = cmdAction[0]->font();
    bold.setBold(true);
    cmdAction[0]->setFont(bold);
    cmdAction[0]->setToolTip(QStringLiteral("Verzeichnis wählen"));
    place(cmdAction[0], 180, 540, 315, 315);

    lblPath = new QLabel(frameOptions);
    lblPath->setObjectName(QStringLiteral("lblPath"));
    lblPath->setTextFormat(Qt::PlainText);
    placeCaption(lblPath, 600, 600, 6555, 195);

    auto checkBox = [&](const char* name, const char* caption, int top, int width) {
        auto* box = new QCheckBox(QString::fromUtf8(caption), frameOptions);
        box->setObjectName(QString::fromLatin1(name));
        placeCaption(box, 180, top, width, 195);
        return box;
    };
    chkUseArchiveFlag =
        checkBox("chkUseArchiveFlag", "nur Dateien mit gesetztem Archiv-Bit", 1020, 4635);
    chkNotUseExtFilter =
        checkBox("chkNotUseExtFilter", "Filter für Dateierweiterungen NICHT verwenden", 1380, 4635);
    chkNoLastBackupDate =
        checkBox("chkNoLastBackupDate", "auch Dateien, die vor dem letzten Backup geändert wurden",
                 1740, 4635);
    chkLimitRecursion = checkBox("chkLimitRecursion", "Suche begrenzen auf", 2100, 1875);

    txtLimit = new LevelField(frameOptions);
    txtLimit->setObjectName(QStringLiteral("txtLimit"));
    place(txtLimit, 2100, 2055, 315, 285);

    lblBeschriftung[1] = new QLabel(QStringLiteral("Verzeichnisebenen"), frameOptions);
    placeCaption(lblBeschriftung[1], 2520, 2100, 1335, 195);

    cmdAction[1] = new QPushButton(QStringLiteral("Suchen"), frameOptions);
    cmdAction[1]->setDefault(true);
    place(cmdAction[1], 5820, 1980, 1395, 375);

    for (int i = 0; i < 2; ++i) {
        lblBeschriftung[i]->setObjectName(QStringLiteral("lblBeschriftung%1").arg(i));
        cmdAction[i]->setObjectName(QStringLiteral("cmdAction%1").arg(i));
        connect(cmdAction[i], &QPushButton::clicked, this, [this, i] { cmdAction_Click(i); });
    }
    connect(chkLimitRecursion, &QCheckBox::toggled, this, &frmSearch::chkLimitRecursion_Click);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    statusPanel_ = new QLabel(StatusBar);
    statusPanel_->setObjectName(QStringLiteral("StatusBarPanel1"));
    statusPanel_->setTextFormat(Qt::PlainText);
    StatusBar->addWidget(statusPanel_, 1);
    const int statusHeight =
        Twips::ToPixelsY(FormScale::Scaled(kStatusBarHeight, FormScale::Factor(this)), this);
    StatusBar->setGeometry(0, height() - statusHeight, width(), statusHeight);

    tmrStartSearch = new QTimer(this);
    tmrStartSearch->setObjectName(QStringLiteral("tmrStartSearch"));
    tmrStartSearch->setSingleShot(true);
    tmrStartSearch->setInterval(kStartDelayMs);
    connect(tmrStartSearch, &QTimer::timeout, this, &frmSearch::tmrStartSearch_Timer);

    // Key presses reach the form before the focused control.
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
}

void frmSearch::SetTabOrder() {
    QWidget* const order[] = {cmdAction[0],        chkUseArchiveFlag, chkNotUseExtFilter,
                              chkNoLastBackupDate, chkLimitRecursion, txtLimit,
                              cmdAction[1]};
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
        setTabOrder(order[i], order[i + 1]);
    }
}

void frmSearch::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!bPlaced_ && parentWidget() != nullptr) {
        bPlaced_ = true;
        const QRect owner = parentWidget()->window()->frameGeometry();
        QRect frame = frameGeometry();
        frame.moveCenter(owner.center());
        move(frame.topLeft());
    }
}

void frmSearch::Form_Load() {
    const SearchSettings::Values values = SearchSettings::Load();
    lblPath->setText(values.sSearchPath);
    chkUseArchiveFlag->setChecked(values.bUseArchiveFlag);
    chkNotUseExtFilter->setChecked(values.bNotUseExtFilter);
    chkLimitRecursion->setChecked(values.bLimitRecursion);
    chkNoLastBackupDate->setChecked(false);
    chkLimitRecursion_Click();
    txtLimit->SetLevelText(values.sLimit);
    bStopped_ = true;
    cmdAction[1]->setText(QStringLiteral("Suchen"));
    SetStatus(QString());
}

bool frmSearch::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && Form_KeyPress(static_cast<QKeyEvent*>(event))) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void frmSearch::keyPressEvent(QKeyEvent* event) {
    if (!Form_KeyPress(event)) {
        QDialog::keyPressEvent(event);
    }
}

bool frmSearch::Form_KeyPress(QKeyEvent* event) {
    if (event->key() != Qt::Key_Escape) {
        return false;
    }
    event->accept();
    reject();
    return true;
}

void frmSearch::reject() {
    if (tmrStartSearch->isActive()) {
        tmrStartSearch->stop();  // the search has not begun: nothing to wind down
        bStopped_ = true;
    } else if (bScanOnStack_) {
        bStopped_ = true;
        bCloseAfterScan_ = true;
        return;
    }
    QDialog::reject();
}

void frmSearch::chkLimitRecursion_Click() {
    txtLimit->setEnabled(chkLimitRecursion->isChecked());
}

void frmSearch::cmdAction_Click(int index) {
    if (index == 0) {
        ChooseFolder();
    } else if (index == 1) {
        if (bStopped_) {
            StartSearch();
        } else {
            StopSearch();
        }
    }
}

void frmSearch::ChooseFolder() {
    StandardDialogs::FileDialogRequest request;
    request.title = QStringLiteral("Startpfad für Suche");
    request.initialFolder = lblPath->text();
    request.fileName = QStringLiteral("Dateiname wird ignoriert!");
    QString sChosen;
    switch (StandardDialogs::RunSaveDialog(this, request, &sChosen)) {
        case StandardDialogs::FileDialogResult::Accepted:
            lblPath->setText(FileSystemObject::GetParentFolderName(sChosen));
            break;
        case StandardDialogs::FileDialogResult::Failed:
            StandardDialogs::ShowMessage(this, QStringLiteral("Fehler im Standard-Dialog!"),
                                         QMessageBox::Warning);
            break;
        case StandardDialogs::FileDialogResult::Cancelled:
            break;
    }
}

void frmSearch::StartSearch() {
    if (bScanOnStack_) {
        return;  // the stopped scan has not returned yet
    }
    cmdAction[1]->setText(QStringLiteral("Abbrechen"));
    bStopped_ = false;
    lFound = 0;
    SetStatus(QStringLiteral("Suche läuft ..."));
    tmrStartSearch->start();
}

void frmSearch::StopSearch() {
    bStopped_ = true;
    cmdAction[1]->setText(QStringLiteral("Suchen"));
    if (tmrStartSearch->isActive()) {
        // Stopped before the scan began: nothing was searched or stored.
        tmrStartSearch->stop();
        EndSearch();
        return;
    }
    QCoreApplication::processEvents();
}

void frmSearch::tmrStartSearch_Timer() {
    tmrStartSearch->stop();
    modBackup::SharedState& state = modBackup::State();
    const QString sStart = lblPath->text();
    if (!state.FSO.FolderExists(sStart)) {
        SetStatus(QStringLiteral("Startverzeichnis nicht gefunden: ") + sStart);
        cmdAction[1]->setText(QStringLiteral("Suchen"));
        bStopped_ = true;
        return;
    }

    bScanOnStack_ = true;
    SearchSettings::Values values;
    values.sSearchPath = sStart;
    values.bUseArchiveFlag = chkUseArchiveFlag->isChecked();
    values.bNotUseExtFilter = chkNotUseExtFilter->isChecked();
    values.bNoLastBackupDate = chkNoLastBackupDate->isChecked();
    values.bLimitRecursion = chkLimitRecursion->isChecked();
    values.sLimit = txtLimit->text();
    if (const Result<void> prepared = SearchSettings::StoreAndPrepareScan(values); !prepared) {
        // The search goes on: it needs only the values it was given.
        StandardDialogs::ShowMessage(this, prepared.Reason(), QMessageBox::Warning);
    }
    // Unread, they would be searched as if the user had excluded nothing.
    if (const Result<void> excluded = modBackup::LoadExcludeFolders(state.ExcludeFolders);
        !excluded) {
        StandardDialogs::ShowMessage(
            this,
            QStringLiteral("Die ausgeschlossenen Ordner konnten nicht gelesen werden; es wird "
                           "nicht gesucht.\n\n") +
                excluded.Reason(),
            QMessageBox::Warning);
        bScanOnStack_ = false;
        EndSearch();
        return;
    }

    modBackup::ISearchOutlet* const previousSearch = state.SearchOutlet;
    modBackup::IWindowOutlet* const previousWindow = state.WindowOutlet;
    state.SearchOutlet = this;
    if (windowOutlet_ != nullptr) {
        state.WindowOutlet = windowOutlet_;
    }
    const modBackup::ScanResult result =
        modBackup::ScanFolder(state.FSO.GetFolder(sStart), true, true);
    state.SearchOutlet = previousSearch;
    if (windowOutlet_ != nullptr) {
        state.WindowOutlet = previousWindow;
    }

    QCoreApplication::processEvents();
    EndSearch();
    if (result.lFoldersCut > 0) {
        const int32_t lLimit = state.ScanRecursionLimit;
        SetStatus(statusPanel_->text() + QStringLiteral(" %1 Ordner nicht durchsucht (Grenze: %2).")
                                             .arg(result.lFoldersCut)
                                             .arg(lLimit == 1
                                                      ? QStringLiteral("1 Ebene")
                                                      : QStringLiteral("%1 Ebenen").arg(lLimit)));
        statusPanel_->setToolTip(modBackup::LevelLimitNote(sStart, lLimit, result));
    }
    bScanOnStack_ = false;
    if (bCloseAfterScan_) {
        bCloseAfterScan_ = false;
        QDialog::reject();
    }
}

void frmSearch::EndSearch() {
    SetStatus(FoundText("Suche abgeschlossen. ", lFound, " Datei(en) gefunden."));
    cmdAction[1]->setText(QStringLiteral("Suchen"));
    bStopped_ = true;
}

void frmSearch::FileFound(const QString& /*sFile*/) {
    ++lFound;
    SetStatus(FoundText("Suche läuft ... (", lFound, " Datei(en) gefunden)"));
}

void frmSearch::SetStatus(const QString& sText) {
    statusPanel_->setText(sText);
    statusPanel_->setToolTip(QString());
}
