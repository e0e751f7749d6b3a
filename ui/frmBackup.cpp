#include "ui/frmBackup.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <cmath>

#include <sys/stat.h>

#include "app/ArchiveName.h"
#include "app/BackupRun.h"
#include "app/NativePath.h"
#include "app/WipeText.h"
#include "app/modBackup.h"
#include "ui/FormScale.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"

namespace {

constexpr int kIndexChooseArchive = 0;
constexpr int kIndexStart = 1;
constexpr int kMaxPasswordLength = 20;
constexpr qint64 kRedrawIntervalMs = 25;
// The line of the method of encryption below the password fields moves the rest down by as much.
constexpr int kEncryptionRow = 300;

// The password fields show "*" whatever the desktop's style would show.
class StarPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) {
            return u'*';
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Shared by every dialog and owned by the application, so that it outlives each field using it.
QStyle* PasswordStyle() {
    static QPointer<QStyle> style;
    if (style.isNull()) {
        style = new StarPasswordStyle();
        style->setParent(qApp);
    }
    return style.data();
}

using FormScale::Place;

// What the chosen name holds now: nothing, a folder, or something else (a file, a link).
enum class Occupant { None, Folder, Other };
Occupant OccupantOf(const QString& sPath) {
    const QByteArray native = NativePath(sPath);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0) {
        return Occupant::None;
    }
    return ::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) ? Occupant::Folder
                                                                           : Occupant::Other;
}

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& text, int left, int top,
                  int width, int height) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);  // paths show as typed, "<b>" included
    Place(label, left, top, width, height, true);
    return label;
}

QCheckBox* MakeCheckBox(QWidget* parent, const QString& name, const QString& text, int left,
                        int top, int width, int height) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    Place(box, left, top, width, height, true);
    return box;
}

}  // namespace

frmBackup::frmBackup(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmBackup"));
    setWindowTitle(QStringLiteral("Backup durchführen"));
    setModal(true);
    FormScale::SetFixedClientSize(this, 7335, 4575 + kEncryptionRow);

    const auto makeButton = [this](QWidget* parentWidget, int index, const QString& text, int left,
                                   int top, int width, int height) {
        auto* button = new QPushButton(text, parentWidget);
        button->setObjectName(QStringLiteral("cmdAction_%1").arg(index));
        button->setAutoDefault(false);
        Place(button, left, top, width, height, false);
        connect(button, &QPushButton::clicked, this, [this, index] { cmdAction_Click(index); });
        cmdAction[static_cast<size_t>(index)] = button;
        return button;
    };
    const auto makePassword = [this](int index, int left) {
        auto* field = new QLineEdit(frameOptions);
        field->setObjectName(QStringLiteral("txtPassword_%1").arg(index));
        field->setEchoMode(QLineEdit::Password);
        field->setStyle(PasswordStyle());
        field->setMaxLength(kMaxPasswordLength);
        Place(field, left, 2310, 1455, 285, false);
        connect(field, &QLineEdit::textChanged, this, [this] { txtPassword_Change(); });
        txtPassword[static_cast<size_t>(index)] = field;
    };

    frameOptions = new QGroupBox(QStringLiteral(" Optionen: "), this);
    frameOptions->setObjectName(QStringLiteral("frameOptions"));
    Place(frameOptions, 60, 60, 7215, 3915 + kEncryptionRow, false);

    lblBeschriftung[0] = MakeLabel(frameOptions, QStringLiteral("lblBeschriftung_0"),
                                   QStringLiteral("Backup-Archiv:"), 195, 360, 1080, 195);
    makeButton(frameOptions, kIndexChooseArchive, QStringLiteral("»"), 180, 600, 315, 315)
        ->setToolTip(QStringLiteral("Verzeichnis wählen"));
    lblArchivePath =
        MakeLabel(frameOptions, QStringLiteral("lblArchivePath"), QString(), 555, 660, 6405, 195);
    chkArchiveFlag = MakeCheckBox(frameOptions, QStringLiteral("chkArchiveFlag"),
                                  QStringLiteral("Archiv-Flag gesicherter Dateien löschen"), 195,
                                  1140, 3495, 195);
    chkClearListAfterBackup =
        MakeCheckBox(frameOptions, QStringLiteral("chkClearListAfterBackup"),
                     QStringLiteral("gesicherte Dateien nach dem Backup aus der Liste entfernen"),
                     195, 1500, 6675, 195);
    chkAdjustLastBackupDate =
        MakeCheckBox(frameOptions, QStringLiteral("chkAdjustLastBackupDate"),
                     QStringLiteral("Sicherungsdatum als Datum des letzten Backups speichern"), 195,
                     1860, 6675, 195);
    lblBeschriftung[1] = MakeLabel(frameOptions, QStringLiteral("lblBeschriftung_1"),
                                   QStringLiteral("ZIP-Passwort:"), 240, 2340, 1020, 195);
    makePassword(0, 1440);
    lblBeschriftung[2] = MakeLabel(frameOptions, QStringLiteral("lblBeschriftung_2"),
                                   QStringLiteral("Passwort wiederholen:"), 3720, 2340, 1635, 195);
    makePassword(1, 5460);
    lblEncryption =
        MakeLabel(frameOptions, QStringLiteral("lblEncryption"), QString(), 1440, 2640, 5475, 195);
    lblBeschriftung[3] =
        MakeLabel(frameOptions, QStringLiteral("lblBeschriftung_3"),
                  QStringLiteral("ZIP-Kommentar:"), 240, 2820 + kEncryptionRow, 1170, 195);
    txtComment = new QLineEdit(frameOptions);
    txtComment->setObjectName(QStringLiteral("txtComment"));
    Place(txtComment, 1440, 2790 + kEncryptionRow, 5475, 555, false);
    chkExitAfterBackup = MakeCheckBox(frameOptions, QStringLiteral("chkExitAfterBackup"),
                                      QStringLiteral("Programm nach erfolgreichem Backup beenden"),
                                      180, 3540 + kEncryptionRow, 4815, 255);

    pbZIPProgress = new QProgressBar(this);
    pbZIPProgress->setObjectName(QStringLiteral("pbZIPProgress"));
    pbZIPProgress->setTextVisible(false);
    Place(pbZIPProgress, 60, 4020 + kEncryptionRow, 7215, 255, false);
    pbZIPProgress->hide();
    makeButton(this, kIndexStart, QStringLiteral("Backup starten"), 5640, 4080 + kEncryptionRow,
               1635, 435);
    lblFileAdded = new QLabel(this);
    lblFileAdded->setObjectName(QStringLiteral("lblFileAdded"));
    lblFileAdded->setTextFormat(Qt::PlainText);
    Place(lblFileAdded, 120, 4320 + kEncryptionRow, 7155, 195, false);
    lblFileAdded->hide();
    // Beside the start button, where the progress shows once the run starts.
    lblDiskHint = new QLabel(BackupRun::kSameDiskHint, this);
    lblDiskHint->setObjectName(QStringLiteral("lblDiskHint"));
    lblDiskHint->setWordWrap(true);
    lblDiskHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Place(lblDiskHint, 120, 4050 + kEncryptionRow, 5400, 465, false);
    lblDiskHint->hide();

    Form_Load();
}

frmBackup::~frmBackup() = default;

void frmBackup::SetClearWindowList(std::function<void()> clearWindowList) {
    clearWindowList_ = std::move(clearWindowList);
}

void frmBackup::Form_Load() {
    bExitProgram_ = false;
    const QString sFolder = modBackup::ReadDefaultPath();
    const QDateTime dtNow = QDateTime::currentDateTime();
    sArchiveName_ = ArchiveName::Proposed(sFolder, dtNow);
    bGrowExisting_ = false;
    const QString sFree = ArchiveName::FirstFree(sArchiveName_);
    ShowArchivePath(sFree.isEmpty() ? sArchiveName_ : sFree);
    chkArchiveFlag->setChecked(modBackup::ReadFlagOption(modBackup::OptArchiveFlag, false));
    chkClearListAfterBackup->setChecked(true);
    chkAdjustLastBackupDate->setChecked(true);
    txtPassword[0]->clear();
    txtPassword[1]->clear();
    eEncryption_ = modBackup::ReadEncryptionMethod();
    lblEncryption->setText(eEncryption_ == modBackup::EncryptionMethod::ZIP20
                               ? QStringLiteral("Verschlüsselung: ZIP 2.0 (leicht zu knacken)")
                               : QStringLiteral("Verschlüsselung: AES-256"));
    txtPassword_Change();
    txtComment->setText(QStringLiteral("tägliches Backup von ") +
                        dtNow.toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    chkExitAfterBackup->setChecked(true);
    ShowDiskHint();
}

void frmBackup::cmdAction_Click(int index) {
    switch (index) {
        case kIndexChooseArchive:
            ChooseArchive();
            break;
        case kIndexStart:
            StartBackup();
            break;
        default:
            break;
    }
}

void frmBackup::txtPassword_Change() {
    const bool bDiffer = txtPassword[0]->text() != txtPassword[1]->text();
    lblEncryption->setEnabled(!bDiffer && !txtPassword[0]->text().isEmpty());
    for (QLineEdit* field : txtPassword) {
        QPalette palette = field->palette();
        palette.setColor(QPalette::Text, bDiffer
                                             ? QColor(255, 0, 0)
                                             : QApplication::palette(field).color(QPalette::Text));
        field->setPalette(palette);
    }
}

void frmBackup::ChooseArchive() {
    StandardDialogs::FileDialogRequest request;
    request.title = QStringLiteral("Backup Archiv-Datei speichern unter");
    request.initialFolder = FileSystemObject::GetParentFolderName(sArchivePath_);
    request.fileName = sArchivePath_;
    request.filter = QStringLiteral("ZIP-Dateien (*.zip);;Alle Dateien (*)");
    request.defaultSuffix = QStringLiteral("zip");
    request.confirmOverwrite = false;
    QString sChosen;
    if (StandardDialogs::RunSaveDialog(this, request, &sChosen) !=
        StandardDialogs::FileDialogResult::Accepted) {
        return;
    }
    const bool bExistingFile = OccupantOf(sChosen) == Occupant::Other;
    if (bExistingFile) {
        const int answer = StandardDialogs::AskChoice(
            this,
            QStringLiteral("Die Datei „%1“ gibt es schon.\n\n„Ergänzen“ fügt ihr die Dateien der "
                           "Liste hinzu; gleichnamige Einträge werden durch die neueren Dateien "
                           "ersetzt.")
                .arg(DisplayPath(sChosen)),
            QMessageBox::Question, {QStringLiteral("Ergänzen"), QStringLiteral("Abbrechen")});
        if (answer != 0) {
            return;
        }
    }
    sArchiveName_ = sChosen;
    bGrowExisting_ = bExistingFile;
    ShowArchivePath(sChosen);
    ShowDiskHint();
}

void frmBackup::StartBackup() {
    if (bRunning_) {
        return;
    }
    bRunning_ = true;
    frameOptions->setEnabled(false);
    cmdAction[kIndexStart]->hide();
    lblDiskHint->hide();
    pbZIPProgress->setRange(0, 100 * kProgressStepsPerPercent);
    pbZIPProgress->setValue(0);
    pbZIPProgress->show();
    lblFileAdded->clear();
    lblFileAdded->show();

    // Another run may have written the name since the dialog opened.
    if (!bGrowExisting_) {
        ShowArchivePath(ArchiveName::FirstFree(sArchiveName_));
    }
    BackupSettings settings;
    settings.sArchivePath = sArchivePath_;
    settings.bGrowExisting = bGrowExisting_;
    settings.sPassword = BackupRun::PasswordToUse(txtPassword[0]->text(), txtPassword[1]->text());
    settings.eEncryption = eEncryption_;
    // Typed text is UTF-8; in the escaped form a typed U+EF80 .. U+EFFF keeps its own bytes.
    settings.sComment = PathFromNative(txtComment->text().toUtf8());
    settings.bAdjustLastBackupDate = chkAdjustLastBackupDate->isChecked();
    settings.bClearArchiveFlag = chkArchiveFlag->isChecked();
    settings.bClearList = chkClearListAfterBackup->isChecked();

    BackupRun run(
        settings,
        [this](const QString& sFilename, float fPercent) { ZIP_FileAdded(sFilename, fPercent); },
        [] { QCoreApplication::processEvents(); });
    run.SetVerifyProgressHandler(
        [this](int32_t lDone, int32_t lTotal) { ZIP_VerifyProgress(lDone, lTotal); });
    CListString* files = modBackup::State().BackupFiles.get();
    Result<void> written = Failure{ArchiveName::NoneFreeText(sArchiveName_)};
    if (!settings.sArchivePath.isEmpty()) {
        const QString sFolder = FileSystemObject::GetParentFolderName(settings.sArchivePath);
        const Result<void> made = ArchiveName::MakeDefaultFolder(sFolder);
        written = made ? run.Run(files)
                       : Failure{QStringLiteral("Der Ordner „%1“ kann nicht angelegt werden: %2")
                                     .arg(DisplayPath(sFolder), made.Reason())};
    }
    if (written) {
        ShowArchivePath(run.ArchivePath());
        const Result<void> applied = run.ApplyAfterEffects([this, files]() -> Result<void> {
            if (files != nullptr) {
                files->RemoveAll();
            }
            if (clearWindowList_) {
                clearWindowList_();
            }
            return {};
        });
        // What the user should know although the backup succeeded.
        QStringList told = run.Notes();
        if (!applied) {
            told.append(applied.Reason());
        }
        if (!told.isEmpty()) {
            StandardDialogs::ShowMessage(
                this,
                QStringLiteral("Das Archiv „%1“ ist geschrieben und geprüft.\n\n%2")
                    .arg(DisplayPath(run.ArchivePath()), told.join(QStringLiteral("\n\n"))),
                applied ? QMessageBox::Information : QMessageBox::Warning);
        }
        bExitProgram_ = chkExitAfterBackup->isChecked();
    } else {
        StandardDialogs::ShowMessage(this, BackupRun::FailedBecause(written.Reason()),
                                     QMessageBox::Critical);
    }
    WipePasswords();
    lblFileAdded->setUpdatesEnabled(true);
    pbZIPProgress->setUpdatesEnabled(true);
    bRunning_ = false;
    accept();
}

void frmBackup::WipePasswords() {
    for (QLineEdit* field : txtPassword) {
        // The field's text shares its characters with every copy the run made.
        QString sText = field->text();
        WipeText(sText);
        field->setText(QString());  // which also drops the field's undo steps
    }
}

void frmBackup::ShowArchivePath(const QString& sPath) {
    sArchivePath_ = sPath;
    lblArchivePath->setText(DisplayPath(sPath));
}

void frmBackup::ShowDiskHint() {
    lblDiskHint->setVisible(
        BackupRun::OnSameDisk(FileSystemObject::GetParentFolderName(sArchivePath_),
                              modBackup::ListValues(modBackup::State().BackupFiles.get())));
}

void frmBackup::ZIP_FileAdded(const QString& sFilename, float fPercent) {
    ShowProgress(sFilename, fPercent);
}

void frmBackup::ZIP_VerifyProgress(int32_t lDone, int32_t lTotal) {
    ShowProgress(
        QStringLiteral("Archiv wird geprüft ..."),
        lTotal > 0 ? static_cast<float>(static_cast<double>(lDone) * 100.0 / lTotal) : 100.0f);
}

void frmBackup::ShowProgress(const QString& sText, float fPercent) {
    // The label and the bar always hold the last state, but are redrawn at most every
    // kRedrawIntervalMs: the bar repaints at once on a new value, without waiting for the event
    // loop, and drawing for each of tens of thousands of files would cost more than archiving.
    const bool bRedraw =
        !redrawClock_.isValid() || redrawClock_.hasExpired(kRedrawIntervalMs) || fPercent >= 100.0f;
    if (bRedraw) {
        redrawClock_.start();
    }
    lblFileAdded->setUpdatesEnabled(bRedraw);
    pbZIPProgress->setUpdatesEnabled(bRedraw);
    lblFileAdded->setText(sText);
    pbZIPProgress->setValue(
        static_cast<int>(std::lround(static_cast<double>(fPercent) * kProgressStepsPerPercent)));
}

void frmBackup::reject() {
    // Escape and the close box end the dialog only before the run.
    if (!bRunning_) {
        QDialog::reject();
    }
}

void frmBackup::closeEvent(QCloseEvent* event) {
    if (bRunning_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
