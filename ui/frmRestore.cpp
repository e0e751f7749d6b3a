#include "ui/frmRestore.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

#include "app/NativePath.h"
#include "app/WipeText.h"
#include "ui/FormScale.h"
#include "ui/RestoreTreeModel.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"

namespace {

using FormScale::Place;

constexpr int kProgressSteps = 1000;
constexpr int kProgressIntervalMs = 50;
// Typing a date or time digit by digit recomputes the plan once, after the last digit.
constexpr int kPlanDelayMs = 300;

const QString kWrongPassword = QStringLiteral("falsches Passwort");

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& text, int left, int top,
                  int width, int height) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    Place(label, left, top, width, height, true);
    return label;
}

QPushButton* MakeChooser(QWidget* parent, const QString& name, int left, int top) {
    auto* button = new QPushButton(QStringLiteral("»"), parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    button->setToolTip(QStringLiteral("Ordner wählen"));
    QFont bold = button->font();
    bold.setBold(true);
    button->setFont(bold);
    Place(button, left, top, 315, 315, false);
    return button;
}

// A copy with characters of its own: the core wipes the password it was given, and must not wipe
// the one the dialog keeps for the next restore.
std::optional<QByteArray> OwnCopy(const std::optional<QByteArray>& password) {
    if (!password) {
        return std::nullopt;
    }
    return QByteArray(password->constData(), password->size());
}

QString Files(int64_t n) {
    return QLocale().toString(static_cast<qlonglong>(n)) +
           (n == 1 ? QStringLiteral(" Datei") : QStringLiteral(" Dateien"));
}

}  // namespace

frmRestore::frmRestore(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmRestore"));
    setWindowTitle(QStringLiteral("Wiederherstellen"));
    setModal(true);
    FormScale::SetFixedClientSize(this, 8310, 8175);

    lblFolder = MakeLabel(this, QStringLiteral("lblFolder"), QStringLiteral("&Archivordner:"), 120,
                          150, 1260, 195);
    txtFolder = new QLineEdit(this);
    txtFolder->setObjectName(QStringLiteral("txtFolder"));
    Place(txtFolder, 1440, 105, 6375, 285, false);
    lblFolder->setBuddy(txtFolder);
    cmdChooseFolder = MakeChooser(this, QStringLiteral("cmdChooseFolder"), 7875, 90);

    lblMoment = MakeLabel(this, QStringLiteral("lblMoment"), QStringLiteral("Stand &vom:"), 120,
                          570, 1260, 195);
    dtpDate = new QDateEdit(this);
    dtpDate->setObjectName(QStringLiteral("dtpDate"));
    dtpDate->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    dtpDate->setCalendarPopup(true);
    Place(dtpDate, 1440, 510, 1620, 315, false);
    lblMoment->setBuddy(dtpDate);
    lblTime =
        MakeLabel(this, QStringLiteral("lblTime"), QStringLiteral("u&m"), 3150, 570, 300, 195);
    dtpTime = new QTimeEdit(this);
    dtpTime->setObjectName(QStringLiteral("dtpTime"));
    dtpTime->setDisplayFormat(QStringLiteral("HH:mm"));
    Place(dtpTime, 3510, 510, 975, 315, false);
    lblTime->setBuddy(dtpTime);
    chkDeleted = new QCheckBox(QStringLiteral("&gelöschte Dateien zeigen"), this);
    chkDeleted->setObjectName(QStringLiteral("chkDeleted"));
    Place(chkDeleted, 4710, 570, 3480, 195, true);

    lblFiles = MakeLabel(this, QStringLiteral("lblFiles"), QStringLiteral("Da&teien:"), 120, 990,
                         2000, 195);
    model_ = new RestoreTreeModel(this);
    tvFiles = new QTreeView(this);
    tvFiles->setObjectName(QStringLiteral("tvFiles"));
    tvFiles->setModel(model_);
    tvFiles->setUniformRowHeights(true);  // keeps scrolling through 100,000 rows cheap
    tvFiles->setSelectionMode(QAbstractItemView::SingleSelection);
    tvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Place(tvFiles, 120, 1230, 8070, 3570, false);
    tvFiles->header()->setStretchLastSection(false);
    tvFiles->header()->setSectionResizeMode(RestoreTreeModel::ColName, QHeaderView::Stretch);
    const double factor = FormScale::Factor(this);
    tvFiles->header()->resizeSection(RestoreTreeModel::ColSize,
                                     Twips::ToPixelsX(FormScale::Scaled(1100, factor), this));
    tvFiles->header()->resizeSection(RestoreTreeModel::ColMoment,
                                     Twips::ToPixelsX(FormScale::Scaled(1650, factor), this));
    lblFiles->setBuddy(tvFiles);

    frameTarget = new QGroupBox(QStringLiteral(" Wiederherstellen nach: "), this);
    frameTarget->setObjectName(QStringLiteral("frameTarget"));
    Place(frameTarget, 120, 4920, 8070, 1020, false);
    optOriginal = new QRadioButton(QStringLiteral("an den &ursprünglichen Ort"), frameTarget);
    optOriginal->setObjectName(QStringLiteral("optOriginal"));
    Place(optOriginal, 180, 300, 3600, 255, true);
    optFolder = new QRadioButton(QStringLiteral("in &diesen Ordner:"), frameTarget);
    optFolder->setObjectName(QStringLiteral("optFolder"));
    Place(optFolder, 180, 630, 1890, 255, true);
    FormScale::KeepRightEdge(optFolder, 180 + 1890);
    txtTarget = new QLineEdit(frameTarget);
    txtTarget->setObjectName(QStringLiteral("txtTarget"));
    Place(txtTarget, 2130, 600, 5400, 285, false);
    cmdChooseTarget = MakeChooser(frameTarget, QStringLiteral("cmdChooseTarget"), 7590, 585);

    pbProgress = new QProgressBar(this);
    pbProgress->setObjectName(QStringLiteral("pbProgress"));
    pbProgress->setTextVisible(false);
    pbProgress->setRange(0, kProgressSteps);
    Place(pbProgress, 120, 6060, 8070, 255, false);
    pbProgress->hide();
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setTextFormat(Qt::PlainText);
    Place(lblStatus, 120, 6390, 8070, 195, false);
    txtReport = new QPlainTextEdit(this);
    txtReport->setObjectName(QStringLiteral("txtReport"));
    txtReport->setReadOnly(true);
    txtReport->setLineWrapMode(QPlainTextEdit::NoWrap);
    Place(txtReport, 120, 6660, 8070, 840, false);
    txtReport->hide();

    cmdRestore = new QPushButton(QStringLiteral("&Wiederherstellen"), this);
    cmdRestore->setObjectName(QStringLiteral("cmdRestore"));
    cmdRestore->setAutoDefault(false);
    Place(cmdRestore, 4830, 7620, 1650, 435, false);
    cmdClose = new QPushButton(QStringLiteral("&Schließen"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setAutoDefault(false);
    Place(cmdClose, 6540, 7620, 1650, 435, false);

    tmrPlan = new QTimer(this);
    tmrPlan->setSingleShot(true);
    tmrPlan->setInterval(kPlanDelayMs);
    tmrProgress = new QTimer(this);
    tmrProgress->setInterval(kProgressIntervalMs);

    connect(cmdChooseFolder, &QPushButton::clicked, this, [this] { ChooseFolder(); });
    connect(txtFolder, &QLineEdit::editingFinished, this, [this] {
        if (txtFolder->text() != sCatalogFolder_) {
            ReadCatalog();
        }
    });
    // Until the tree shows the new moment, a restore would bring back the old one.
    const auto momentChanged = [this] {
        cmdRestore->setEnabled(false);
        tmrPlan->start();
    };
    connect(dtpDate, &QDateEdit::dateChanged, this, momentChanged);
    connect(dtpTime, &QTimeEdit::timeChanged, this, momentChanged);
    connect(tmrPlan, &QTimer::timeout, this, [this] { ComputePlan(); });
    connect(chkDeleted, &QCheckBox::toggled, this, [this] { ComputePlan(); });
    connect(model_, &RestoreTreeModel::CheckedChanged, this, [this] { ShowSelection(); });
    connect(optOriginal, &QRadioButton::toggled, this, [this] { ShowSelection(); });
    connect(txtTarget, &QLineEdit::textChanged, this, [this] { ShowSelection(); });
    connect(cmdChooseTarget, &QPushButton::clicked, this, [this] { ChooseTarget(); });
    connect(cmdRestore, &QPushButton::clicked, this, [this] { StartRestore(); });
    connect(cmdClose, &QPushButton::clicked, this, [this] {
        if (bRunning_) {
            CancelRun();
        } else {
            reject();
        }
    });
    connect(tmrProgress, &QTimer::timeout, this, [this] { ShowProgress(); });

    Form_Load();
}

frmRestore::~frmRestore() {
    // QDialog's destructor still hides the window, and the folder field then reports the end of
    // editing to a frmRestore that is gone.
    for (QObject* child : findChildren<QObject*>()) {
        disconnect(child, nullptr, this, nullptr);
    }
    if (worker_.joinable()) {
        cancel_ = true;
        worker_.join();
    }
    ForgetPassword();
}

void frmRestore::Form_Load() {
    const QStringList folders = Restore::DefaultFolders();
    txtFolder->setText(folders.isEmpty() ? QString() : folders.first());
    const QDateTime dtNow = QDateTime::currentDateTime();
    const QSignalBlocker blockDate(dtpDate);
    const QSignalBlocker blockTime(dtpTime);
    dtpDate->setDate(dtNow.date());
    dtpTime->setTime(QTime(dtNow.time().hour(), dtNow.time().minute()));
    optOriginal->setChecked(true);
    // Read once the dialog is up: an encrypted record asks for its password over the dialog.
    SetStatus(QStringLiteral("Archive werden gelesen ..."));
    QTimer::singleShot(0, this, [this] { ReadCatalog(); });
}

QDateTime frmRestore::Moment() const {
    return dtShown_;
}

void frmRestore::ChooseFolder() {
    StandardDialogs::FileDialogRequest request;
    request.title = QStringLiteral("Ordner mit den Archiven wählen");
    request.initialFolder = txtFolder->text();
    QString sChosen;
    if (StandardDialogs::RunFolderDialog(this, request, &sChosen) ==
        StandardDialogs::FileDialogResult::Accepted) {
        txtFolder->setText(sChosen);
        ReadCatalog();
    }
}

void frmRestore::ChooseTarget() {
    StandardDialogs::FileDialogRequest request;
    request.title = QStringLiteral("Ordner wählen, in den wiederhergestellt wird");
    request.initialFolder = txtTarget->text();
    QString sChosen;
    if (StandardDialogs::RunFolderDialog(this, request, &sChosen) ==
        StandardDialogs::FileDialogResult::Accepted) {
        txtTarget->setText(sChosen);
        optFolder->setChecked(true);
    }
}

void frmRestore::ReadCatalog() {
    tmrPlan->stop();
    sCatalogFolder_ = txtFolder->text();
    catalog_.reset();
    skipped_.clear();
    if (sCatalogFolder_.trimmed().isEmpty()) {
        sPlanProblem_ = QStringLiteral("Kein Archivordner gewählt.");
    } else {
        Result<Restore::Catalog> read = Restore::Catalog::Read({sCatalogFolder_});
        if (read) {
            catalog_ = std::make_unique<Restore::Catalog>(std::move(*read));
            skipped_ = catalog_->Skipped();
        } else {
            sPlanProblem_ = read.Reason();
        }
    }
    ComputePlan();
}

void frmRestore::ComputePlan() {
    tmrPlan->stop();
    if (bRunning_) {
        return;
    }
    // The whole minute shown: an archive of that minute belongs to it.
    const QTime time = dtpTime->time();
    dtShown_ = QDateTime(dtpDate->date(), QTime(time.hour(), time.minute(), 59));
    if (catalog_ == nullptr) {
        model_->Clear();
    } else if (catalog_->Archives().empty()) {
        model_->Clear();
        sPlanProblem_ = QStringLiteral("In „%1“ liegt kein Archiv dieses Programms.")
                            .arg(DisplayPath(sCatalogFolder_));
    } else {
        Result<Restore::Plan> plan = catalog_->PlanAt(Moment(), {}, chkDeleted->isChecked(),
                                                      [this] { return OwnCopy(Password()); });
        if (plan) {
            std::vector<QString> moments;
            moments.reserve(catalog_->Archives().size());
            for (const Restore::ArchiveInfo& archive : catalog_->Archives()) {
                moments.push_back(archive.dtMoment.toString(QStringLiteral("dd.MM.yyyy HH:mm")));
            }
            model_->SetFiles(std::move(plan->files), std::move(moments));
            sPlanProblem_ = model_->FileCount() == 0
                                ? QStringLiteral("Zu diesem Zeitpunkt ist keine Datei gesichert.")
                                : QString();
        } else {
            if (plan.Reason().contains(kWrongPassword)) {
                ForgetPassword();
            }
            model_->Clear();
            sPlanProblem_ = plan.Reason();
        }
    }
    // Down the single-folder chain ("/home/anna") to where the tree branches.
    QModelIndex at;
    while (model_->rowCount(at) == 1 && model_->hasChildren(model_->index(0, 0, at))) {
        at = model_->index(0, 0, at);
        tvFiles->expand(at);
    }
    if (model_->rowCount(at) > 0 && at.isValid()) {
        tvFiles->scrollTo(at, QAbstractItemView::PositionAtTop);
    }
    ShowReport(skipped_);
    ShowSelection();
}

void frmRestore::ShowSelection() {
    if (bRunning_) {
        return;
    }
    const int64_t lChecked = model_->CheckedCount();
    if (!sPlanProblem_.isEmpty()) {
        SetStatus(sPlanProblem_);
    } else {
        SetStatus(QStringLiteral("%1 von %2 ausgewählt, %3")
                      .arg(Files(lChecked),
                           QLocale().toString(static_cast<qlonglong>(model_->FileCount())),
                           QLocale().formattedDataSize(static_cast<qint64>(model_->CheckedBytes()),
                                                       1, QLocale::DataSizeTraditionalFormat)));
    }
    txtTarget->setEnabled(optFolder->isChecked());
    cmdChooseTarget->setEnabled(true);
    cmdRestore->setEnabled(lChecked > 0 && !tmrPlan->isActive() &&
                           (optOriginal->isChecked() || !txtTarget->text().trimmed().isEmpty()));
}

std::optional<QByteArray> frmRestore::Password() {
    if (!password_) {
        password_ = StandardDialogs::AskPassword(
            this, QStringLiteral("Die Archive sind verschlüsselt.\n\nPasswort:"));
    }
    return password_;
}

void frmRestore::ForgetPassword() {
    if (password_) {
        WipeBytes(*password_);
        password_.reset();
    }
}

void frmRestore::SetInputsEnabled(bool bEnabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{txtFolder, cmdChooseFolder, dtpDate, dtpTime,
                                                      chkDeleted, tvFiles, frameTarget}) {
        w->setEnabled(bEnabled);
    }
}

void frmRestore::StartRestore() {
    if (bRunning_ || catalog_ == nullptr) {
        return;
    }
    Restore::Options options;
    if (optFolder->isChecked()) {
        options.sTarget = txtTarget->text().trimmed();
        if (options.sTarget.isEmpty() || QDir::isRelativePath(options.sTarget)) {
            StandardDialogs::ShowMessage(
                this, QStringLiteral("Bitte den Zielordner mit seinem ganzen Pfad angeben."),
                QMessageBox::Warning);
            txtTarget->setFocus();
            return;
        }
        // A new folder is what the user typed it for: made on request, as the command makes it.
        if (!QFileInfo(options.sTarget).isDir()) {
            const int choice = StandardDialogs::AskChoice(
                this,
                QStringLiteral("Den Ordner „%1“ gibt es nicht. Soll er angelegt werden?")
                    .arg(DisplayPath(options.sTarget)),
                QMessageBox::Question,
                {QStringLiteral("Ordner &anlegen"), QStringLiteral("&Abbrechen")});
            if (choice != 0) {
                return;
            }
            if (!QDir().mkpath(options.sTarget)) {
                StandardDialogs::ShowMessage(
                    this,
                    QStringLiteral("Der Ordner „%1“ kann nicht angelegt werden.")
                        .arg(DisplayPath(options.sTarget)),
                    QMessageBox::Warning);
                return;
            }
        }
    }
    Restore::Plan plan;
    plan.dtAt = dtShown_;
    plan.files = model_->CheckedFiles();
    if (plan.files.empty()) {
        return;
    }
    const auto& archives = catalog_->Archives();
    const bool bEncrypted =
        std::any_of(plan.files.begin(), plan.files.end(), [&](const Restore::PlannedFile& f) {
            const auto i = static_cast<size_t>(f.version.iArchive);
            return f.version.bEncrypted || (i < archives.size() && archives[i].bEncrypted);
        });
    std::optional<QByteArray> password;
    if (bEncrypted) {
        password = OwnCopy(Password());
        if (!password) {
            return;
        }
    }

    bRunning_ = true;
    bCloseAfterRun_ = false;
    cancel_ = false;
    progress_ = Restore::Progress{};
    progress_.lFilesTotal = static_cast<int64_t>(plan.files.size());
    SetInputsEnabled(false);
    cmdRestore->setEnabled(false);
    cmdClose->setText(QStringLiteral("A&bbrechen"));
    cmdClose->setEnabled(true);
    pbProgress->setValue(0);
    pbProgress->show();
    SetStatus(QString());
    ShowReport({});
    tmrProgress->start();
    // The worker owns its copies; the catalog stays put while the inputs are disabled.
    worker_ = std::thread([this, plan = std::move(plan), options = std::move(options),
                           password = std::move(password)]() mutable {
        const Restore::Summary summary = Restore::Run(
            *catalog_, plan, options, [&password] { return OwnCopy(password); },
            [this](const Restore::Progress& progress) {
                const std::lock_guard<std::mutex> lock(progressMutex_);
                progress_ = progress;
            },
            cancel_);
        if (password) {
            WipeBytes(*password);
        }
        QMetaObject::invokeMethod(
            this, [this, summary] { RunFinished(summary); }, Qt::QueuedConnection);
    });
}

void frmRestore::CancelRun() {
    if (!bRunning_) {
        return;
    }
    cancel_ = true;
    cmdClose->setEnabled(false);
    SetStatus(QStringLiteral("Wird abgebrochen ..."));
}

void frmRestore::ShowProgress() {
    Restore::Progress progress;
    {
        const std::lock_guard<std::mutex> lock(progressMutex_);
        progress = progress_;
    }
    const double fDone =
        progress.lBytesTotal > 0
            ? static_cast<double>(progress.lBytesDone) / static_cast<double>(progress.lBytesTotal)
        : progress.lFilesTotal > 0
            ? static_cast<double>(progress.lFilesDone) / static_cast<double>(progress.lFilesTotal)
            : 0.0;
    pbProgress->setValue(static_cast<int>(std::clamp(fDone, 0.0, 1.0) * kProgressSteps));
    if (!cancel_ && !progress.current.isEmpty()) {
        SetStatus(DisplayPath(PathFromNative(progress.current)));
    }
}

void frmRestore::RunFinished(const Restore::Summary& summary) {
    if (worker_.joinable()) {
        worker_.join();
    }
    tmrProgress->stop();
    ShowProgress();
    bRunning_ = false;
    if (!summary.bCancelled) {
        pbProgress->setValue(kProgressSteps);
    }
    QStringList report;
    if (!summary.beside.isEmpty()) {
        report << QStringLiteral("Neben eine andere Datei gleichen Namens geschrieben:");
        for (const QString& sPath : summary.beside) {
            report << QStringLiteral("  ") + DisplayPath(sPath);
        }
    }
    if (!summary.failures.isEmpty()) {
        report << QStringLiteral("Nicht wiederhergestellt:");
        for (const QString& sFailure : summary.failures) {
            report << QStringLiteral("  ") + DisplayPath(sFailure);
            if (sFailure.contains(kWrongPassword)) {
                ForgetPassword();  // the next restore asks again
            }
        }
    }
    SetInputsEnabled(true);
    cmdClose->setText(QStringLiteral("&Schließen"));
    cmdClose->setEnabled(true);
    ShowSelection();
    SetStatus((summary.bCancelled ? QStringLiteral("Abgebrochen: ") : QString()) +
              Restore::SummaryLine(summary));
    ShowReport(report);
    if (bCloseAfterRun_) {
        QDialog::reject();
    }
}

void frmRestore::SetStatus(const QString& sText) {
    sStatus_ = sText;
    // Paths are long; their ends say most.
    lblStatus->setText(
        lblStatus->fontMetrics().elidedText(sText, Qt::ElideMiddle, lblStatus->width()));
    lblStatus->setToolTip(lblStatus->text() == sText ? QString() : sText);
}

void frmRestore::ShowReport(const QStringList& lines) {
    txtReport->setPlainText(lines.join(u'\n'));
    txtReport->setVisible(!lines.isEmpty());
}

void frmRestore::reject() {
    if (!bRunning_) {
        QDialog::reject();
        return;
    }
    if (bCloseAfterRun_) {
        return;
    }
    const int answer = StandardDialogs::AskChoice(
        this,
        QStringLiteral("Die Wiederherstellung läuft noch.\n\nAbbrechen und schließen? Was schon "
                       "vollständig wiederhergestellt ist, bleibt."),
        QMessageBox::Question,
        {QStringLiteral("&Abbrechen und schließen"), QStringLiteral("&Weiter wiederherstellen")});
    if (answer == 0 && bRunning_) {
        bCloseAfterRun_ = true;
        CancelRun();
    }
}
