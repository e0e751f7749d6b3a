#include "ui/frmOptions.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeWidget>

#include "app/DailySearch.h"
#include "app/modBackup.h"
#include "ui/FormScale.h"
#include "ui/LevelField.h"
#include "ui/ScrollBarSize.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"

namespace {

const QString kExtensionPrefix = QStringLiteral("Extension");
const QString kExcludeFolderPrefix = QStringLiteral("ExcludeFolder");
const QString kDefaultPathName = QStringLiteral("DefaultPath");
const QString kRecursionLimitName = QStringLiteral("RecursionLimit");

// The method of encryption takes two lines below the archive flag; everything below the first
// frame moves down by as much.
constexpr int kEncryptionRows = 540;

// Widths of the two lists in twips, the base of their single column.
constexpr int kExtensionsWidth = 1395;
constexpr int kExcludeFoldersWidth = 6255;

constexpr int kIndexChoosePath = 0;
constexpr int kIndexNewExtension = 1;
constexpr int kIndexDeleteExtension = 2;
constexpr int kIndexNewExcludeFolder = 3;
constexpr int kIndexDeleteExcludeFolder = 4;
constexpr int kIndexOK = 5;
constexpr int kIndexApply = 6;
constexpr int kIndexCancel = 7;

using FormScale::Place;

QLabel* MakeCaption(QWidget* parent, const QString& text, int left, int top, int width, int height,
                    bool bTwoLines) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);  // the default path shows as typed, "<b>" included
    if (bTwoLines) {
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        Place(label, left, top, width, height, false);
        const int lNeeded = label->heightForWidth(label->width());
        if (lNeeded > label->height()) {
            label->resize(label->width(), lNeeded);
        }
    } else {
        Place(label, left, top, width, height, true);
    }
    return label;
}

QCheckBox* MakeCheckBox(QWidget* parent, const QString& name, const QString& text, int left,
                        int top, int width, int height) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    Place(box, left, top, width, height, true);
    return box;
}

QTreeWidget* MakeListView(QWidget* parent, const QString& name, const QString& sColumn,
                          const QString& sToolTip, int left, int top, int width, int height) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setColumnCount(1);
    list->setHeaderLabels({sColumn});
    list->setHeaderHidden(true);
    list->setRootIsDecorated(false);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setToolTip(sToolTip);
    list->header()->setStretchLastSection(false);
    Place(list, left, top, width, height, false);
    return list;
}

}  // namespace

frmOptions::frmOptions(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Tv-Backup Options"));
    FormScale::SetFixedClientSize(this, 7095, 6975 + kEncryptionRows);

    const auto makeButton = [this](QWidget* parentWidget, int index, const QString& text, int left,
                                   int top, int width, int height) {
        auto* button = new QPushButton(text, parentWidget);
        button->setObjectName(QStringLiteral("cmdAction_%1").arg(index));
        Place(button, left, top, width, height, false);
        connect(button, &QPushButton::clicked, this, [this, index] { cmdAction_Click(index); });
        cmdAction[static_cast<size_t>(index)] = button;
        return button;
    };
    const auto makePictureButton = [&makeButton](QWidget* parentWidget, int index,
                                                 const QPixmap& picture, const QString& tip,
                                                 int left, int top) {
        QPushButton* button = makeButton(parentWidget, index, QString(), left, top, 375, 375);
        button->setIcon(QIcon(picture));
        button->setIconSize(QSize(16, 16));
        button->setToolTip(tip);
        return button;
    };

    framePath = new QGroupBox(QStringLiteral(" Einstellungen für das Backup: "), this);
    framePath->setObjectName(QStringLiteral("framePath"));
    Place(framePath, 60, 60, 6975, 1515 + kEncryptionRows, false);
    lblBeschriftung[0] = MakeCaption(
        framePath,
        QStringLiteral("Standard-Pfad für Archive (kann beim Backup fallweise geändert werden):"),
        180, 300, 5415, 195, false);
    QPushButton* cmdChoose =
        makeButton(framePath, kIndexChoosePath, QStringLiteral("»"), 180, 600, 315, 315);
    QFont boldFont = cmdChoose->font();
    boldFont.setBold(true);
    cmdChoose->setFont(boldFont);
    cmdChoose->setToolTip(QStringLiteral("Verzeichnis wählen"));
    lblPath = MakeCaption(framePath, QString(), 600, 660, 6075, 195, false);
    lblPath->setObjectName(QStringLiteral("lblPath"));
    chkArchiveFlag = MakeCheckBox(framePath, QStringLiteral("chkArchiveFlag"),
                                  QStringLiteral("Archiv-Flag gesicherter Dateien löschen"), 180,
                                  1140, 3495, 195);
    lblEncryption =
        MakeCaption(framePath, QStringLiteral("Verschlüsselung:"), 180, 1500, 1395, 195, false);
    lblEncryption->setObjectName(QStringLiteral("lblEncryption"));
    FormScale::KeepRightEdge(lblEncryption, 180 + 1395);
    const auto makeRadio = [this](const QString& name, const QString& text, int top) {
        auto* option = new QRadioButton(text, framePath);
        option->setObjectName(name);
        // As wide as its caption: a click beside the caption would not choose it.
        Place(option, 1620, top, 0, 195, true);
        connect(option, &QRadioButton::clicked, this, &frmOptions::SetChanged);
        return option;
    };
    optEncryptionAes =
        makeRadio(QStringLiteral("optEncryptionAes"), QStringLiteral("&AES-256 (empfohlen)"), 1500);
    optEncryptionZip20 = makeRadio(
        QStringLiteral("optEncryptionZip20"),
        QStringLiteral("&ZIP 2.0 (von jedem Programm lesbar, aber leicht zu knacken)"), 1800);

    frameExtensions = new QGroupBox(QStringLiteral(" Filter nach Dateierweiterungen: "), this);
    frameExtensions->setObjectName(QStringLiteral("frameExtensions"));
    Place(frameExtensions, 60, 1680 + kEncryptionRows, 6975, 1635, false);
    lvExtensions = MakeListView(
        frameExtensions, QStringLiteral("lvExtensions"), QStringLiteral("Erweiterung"),
        QStringLiteral("Liste der Dateierweiterungen, die bei der Suche nach geänderten Dateien "
                       "und bei der Rekursion in Ordnern verwendet wird."),
        120, 300, kExtensionsWidth, 1215);
    lvExtensions->setEditTriggers(QAbstractItemView::DoubleClicked |
                                  QAbstractItemView::EditKeyPressed);
    makePictureButton(frameExtensions, kIndexNewExtension, NewPagePicture(), QStringLiteral("Neu"),
                      1560, 330);
    makePictureButton(frameExtensions, kIndexDeleteExtension, CrossPicture(),
                      QStringLiteral("Löschen"), 1560, 720);
    chkUseExtFilterForSearch =
        MakeCheckBox(frameExtensions, QStringLiteral("chkUseExtFilterForSearch"),
                     QStringLiteral("Filter beim Suchen von geänderten Dateien verwenden"), 2460,
                     360, 4275, 195);
    chkUseExtFilterForScan = MakeCheckBox(
        frameExtensions, QStringLiteral("chkUseExtFilterForScan"),
        QStringLiteral("Filter beim Scannen von Ordnern verwenden"), 2460, 720, 3555, 195);
    lblBeschriftung[5] = MakeCaption(frameExtensions,
                                     QStringLiteral("Hinweis: Dateien mit den hier genannten "
                                                    "Erweiterungen werden NICHT gesichert!"),
                                     2460, 1140, 4335, 435, true);

    frameSuche = new QGroupBox(QStringLiteral(" Einstellungen für die Suche: "), this);
    frameSuche->setObjectName(QStringLiteral("frameSuche"));
    Place(frameSuche, 60, 3420 + kEncryptionRows, 6975, 1635, false);
    lblBeschriftung[1] = MakeCaption(
        frameSuche,
        QStringLiteral("Das Datum des letzten Backups kann verändert werden, um die Menge von "
                       "Dateien, die bei einer Suche nach dem Änderungsdatum gefunden werden, zu "
                       "beeinflußen."),
        180, 300, 6675, 435, true);
    lblBeschriftung[2] =
        MakeCaption(frameSuche, QStringLiteral("Letztes Backup am:"), 660, 840, 1395, 195, false);
    FormScale::KeepRightEdge(lblBeschriftung[2], 660 + 1395);
    dtpLastBackupDate = new QDateEdit(frameSuche);
    dtpLastBackupDate->setObjectName(QStringLiteral("dtpLastBackupDate"));
    dtpLastBackupDate->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    dtpLastBackupDate->setCalendarPopup(true);
    Place(dtpLastBackupDate, 2100, 780, 1275, 315, false);
    lblBeschriftung[3] = MakeCaption(frameSuche, QStringLiteral("um:"), 3540, 840, 270, 195, false);
    FormScale::KeepRightEdge(lblBeschriftung[3], 3540 + 270);
    dtpLastBackupTime = new QTimeEdit(frameSuche);
    dtpLastBackupTime->setObjectName(QStringLiteral("dtpLastBackupTime"));
    dtpLastBackupTime->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    Place(dtpLastBackupTime, 3840, 780, 1095, 315, false);
    chkLimitRecursion = MakeCheckBox(frameSuche, QStringLiteral("chkLimitRecursion"),
                                     QStringLiteral("Suche begrenzen auf"), 180, 1245, 1875, 195);
    txtLimit = new LevelField(frameSuche);
    txtLimit->setObjectName(QStringLiteral("txtLimit"));
    txtLimit->setText(QStringLiteral("5"));
    Place(txtLimit, 2100, 1200, 315, 285, false);
    lblBeschriftung[4] =
        MakeCaption(frameSuche, QStringLiteral("Verzeichnisebenen"), 2520, 1245, 1335, 195, false);
    chkDailyByArchiveMark =
        MakeCheckBox(frameSuche, QStringLiteral("chkDailyByArchiveMark"),
                     QStringLiteral("täglich nach Archivmarke suchen"), 4080, 1245, 2775, 195);
    chkDailyByArchiveMark->setToolTip(QStringLiteral(
        "Das tägliche Backup (sondrel-backup --search) nimmt jede Datei mit gesetzter "
        "Archivmarke: neue, geänderte, verschobene, umbenannte, kopierte und entpackte Dateien. "
        "Ohne Haken nimmt es nur Dateien, deren Änderungsdatum nach dem letzten Backup liegt."));

    Frame1 = new QGroupBox(QStringLiteral(" Verzeichnisse ausschließen: "), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Place(Frame1, 60, 5100 + kEncryptionRows, 6975, 1275, false);
    lvExcludeFolders = MakeListView(
        Frame1, QStringLiteral("lvExcludeFolders"), QStringLiteral("Verzeichnis"),
        QStringLiteral("Liste von Verzeichnissen, die bei der Suche und beim Rekursieren "
                       "ausgeschlossen werden."),
        120, 300, kExcludeFoldersWidth, 855);
    lvExcludeFolders->setEditTriggers(QAbstractItemView::NoEditTriggers);
    makePictureButton(Frame1, kIndexNewExcludeFolder, NewPagePicture(), QStringLiteral("Neu"), 6420,
                      330);
    makePictureButton(Frame1, kIndexDeleteExcludeFolder, CrossPicture(), QStringLiteral("Löschen"),
                      6420, 720);

    constexpr int kButtonTop = 6480 + kEncryptionRows;
    makeButton(this, kIndexOK, QStringLiteral("OK"), 3180, kButtonTop, 1215, 435)->setDefault(true);
    makeButton(this, kIndexApply, QStringLiteral("Übernehmen"), 4500, kButtonTop, 1215, 435)
        ->setEnabled(false);
    makeButton(this, kIndexCancel, QStringLiteral("Abbrechen"), 5820, kButtonTop, 1215, 435);

    for (size_t i = 0; i < lblBeschriftung.size(); ++i) {
        lblBeschriftung[i]->setObjectName(QStringLiteral("lblBeschriftung_%1").arg(i));
    }

    const std::array<QWidget*, 20> tabOrder{cmdAction[0],
                                            chkArchiveFlag,
                                            optEncryptionAes,
                                            optEncryptionZip20,
                                            lvExtensions,
                                            cmdAction[1],
                                            cmdAction[2],
                                            chkUseExtFilterForSearch,
                                            chkUseExtFilterForScan,
                                            dtpLastBackupDate,
                                            dtpLastBackupTime,
                                            chkLimitRecursion,
                                            txtLimit,
                                            chkDailyByArchiveMark,
                                            lvExcludeFolders,
                                            cmdAction[3],
                                            cmdAction[4],
                                            cmdAction[5],
                                            cmdAction[6],
                                            cmdAction[7]};
    for (size_t i = 1; i < tabOrder.size(); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    for (QCheckBox* box : {chkArchiveFlag, chkUseExtFilterForSearch, chkUseExtFilterForScan,
                           chkDailyByArchiveMark}) {
        connect(box, &QCheckBox::clicked, this, &frmOptions::SetChanged);
    }
    connect(chkLimitRecursion, &QCheckBox::toggled, this, &frmOptions::chkLimitRecursion_Click);
    // Tab leaves a picker at once instead of walking its sections, as in the rest of the form.
    dtpLastBackupDate->installEventFilter(this);
    dtpLastBackupTime->installEventFilter(this);
    connect(dtpLastBackupDate, &QDateTimeEdit::dateTimeChanged, this, &frmOptions::SetChanged);
    connect(dtpLastBackupTime, &QDateTimeEdit::dateTimeChanged, this, &frmOptions::SetChanged);

    Form_Load();
}

bool frmOptions::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == dtpLastBackupDate || watched == dtpLastBackupTime) &&
        event->type() == QEvent::KeyPress) {
        const auto* keyEvent = static_cast<QKeyEvent*>(event);
        const bool bPlain =
            (keyEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) == Qt::NoModifier;
        if (bPlain && keyEvent->key() == Qt::Key_Tab) {
            focusNextChild();
            return true;
        }
        if (bPlain && keyEvent->key() == Qt::Key_Backtab) {
            focusPreviousChild();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmOptions::Form_Load() {
    using namespace modBackup;
    SharedState& state = State();
    // One wait at most when another program holds the store, not one for each value.
    const StoreTransaction reading(false);

    lblPath->setText(ReadDefaultPath());
    chkArchiveFlag->setChecked(ReadFlagOption(OptArchiveFlag, false));
    const bool bZip20 = ReadEncryptionMethod() == EncryptionMethod::ZIP20;
    optEncryptionZip20->setChecked(bZip20);
    optEncryptionAes->setChecked(!bZip20);
    const double factor = FormScale::Factor(this);
    lvExtensions->setColumnWidth(
        0, Twips::ToPixelsX(
               FormScale::Scaled(kExtensionsWidth, factor) - ScrollBarSize(false) - 120, this));
    lvExtensions->clear();
    Result<void> read = LoadOptionList(state.Extensions, kExtensionPrefix);
    FillList(lvExtensions, *state.Extensions);
    chkUseExtFilterForSearch->setChecked(ReadFlagOption(OptExtFilterSearch, false));
    chkUseExtFilterForScan->setChecked(ReadFlagOption(OptExtFilterScan, false));
    // Date and time of day go in as the fields they show: QTimeEdit would convert a local
    // date-time to UTC first and show the time shifted by the zone's offset.
    dtpLastBackupDate->setDate(ReadLastBackupAt().date());
    dtpLastBackupTime->setTime(ReadLastBackupAt().time());
    chkLimitRecursion->setChecked(ReadFlagOption(OptLimitRecursion, false));
    chkLimitRecursion_Click();
    txtLimit->SetLevelText(ReadOption(kRecursionLimitName, QStringLiteral("5")));
    chkDailyByArchiveMark->setChecked(DailySearch::StoredRule() == DailySearch::Rule::ArchiveMark);
    lvExcludeFolders->setColumnWidth(
        0, Twips::ToPixelsX(
               FormScale::Scaled(kExcludeFoldersWidth, factor) - ScrollBarSize(false) - 120, this));
    lvExcludeFolders->clear();
    if (Result<void> excluded = LoadExcludeFolders(state.ExcludeFolders); read && !excluded) {
        read = std::move(excluded);
    }
    FillList(lvExcludeFolders, *state.ExcludeFolders);
    cmdAction[kIndexApply]->setEnabled(false);
    if (!read) {
        sUnreadProblem_ = read.Reason();
        QTimer::singleShot(0, this, [this] {
            StandardDialogs::ShowMessage(
                this,
                QStringLiteral("Die gespeicherten Optionen konnten nicht gelesen werden; der "
                               "Dialog zeigt Voreinstellungen und speichert nichts, damit sie "
                               "nicht überschrieben werden.\n\n") +
                    sUnreadProblem_,
                QMessageBox::Warning);
        });
    }
}

bool frmOptions::SaveOrTell() {
    if (!sUnreadProblem_.isEmpty()) {
        StandardDialogs::ShowMessage(
            this,
            QStringLiteral("Die Optionen werden nicht gespeichert: die gespeicherten konnten "
                           "beim Öffnen des Dialogs nicht gelesen werden. Bitte den Dialog "
                           "schließen und erneut öffnen.\n\n") +
                sUnreadProblem_,
            QMessageBox::Warning);
        return false;
    }
    if (SaveSettings()) {
        return true;
    }
    StandardDialogs::ShowMessage(this, QStringLiteral("Optionen können nicht gespeichert werden!"),
                                 QMessageBox::Warning);
    return false;
}

void frmOptions::FillList(QTreeWidget* list, CListString& values) {
    const Qt::ItemFlags flags = list == lvExtensions
                                    ? Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable
                                    : Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    values.MoveFirst();
    while (!values.EOL()) {
        auto* item = new QTreeWidgetItem(list, QStringList{values.Data()});
        item->setFlags(flags);
        values.MoveNext();
    }
}

void frmOptions::RebuildFromRows(CListString& values, const QTreeWidget* list) {
    values.RemoveAll();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QString sRow = list->topLevelItem(i)->text(0);
        if (!values.ValueExists(sRow)) {
            values.Add(sRow);
        }
    }
}

bool frmOptions::SaveSettings() {
    using namespace modBackup;
    SharedState& state = State();
    const auto checked = [](const QCheckBox* box) { return box->checkState() == Qt::Checked; };
    // Every step runs even after a failed write; the result only tells whether all succeeded.
    bool bSaved = WriteOption(kDefaultPathName, lblPath->text()).Ok();
    bSaved = WriteFlagOption(OptArchiveFlag, checked(chkArchiveFlag)) && bSaved;
    bSaved = WriteEncryptionMethod(optEncryptionZip20->isChecked() ? EncryptionMethod::ZIP20
                                                                   : EncryptionMethod::AES256) &&
             bSaved;

    if (!state.Extensions) {
        state.Extensions = std::make_unique<CListString>();
    }
    RebuildFromRows(*state.Extensions, lvExtensions);
    bSaved = SaveOptionList(*state.Extensions, kExtensionPrefix) && bSaved;

    bSaved = WriteFlagOption(OptExtFilterSearch, checked(chkUseExtFilterForSearch)) && bSaved;
    bSaved = WriteFlagOption(OptExtFilterScan, checked(chkUseExtFilterForScan)) && bSaved;

    const QTime tTime = dtpLastBackupTime->time();
    const QDateTime dtLastBackup =
        LocalMoment(dtpLastBackupDate->date(), QTime(tTime.hour(), tTime.minute(), tTime.second()));
    bSaved = WriteLastBackupAt(dtLastBackup) && bSaved;

    bSaved = WriteFlagOption(OptLimitRecursion, checked(chkLimitRecursion)) && bSaved;
    bSaved = WriteOption(kRecursionLimitName, txtLimit->text()) && bSaved;
    bSaved = DailySearch::StoreRule(checked(chkDailyByArchiveMark) ? DailySearch::Rule::ArchiveMark
                                                                   : DailySearch::Rule::Date) &&
             bSaved;

    if (!state.ExcludeFolders) {
        state.ExcludeFolders = std::make_unique<CListString>();
    }
    RebuildFromRows(*state.ExcludeFolders, lvExcludeFolders);
    bSaved = SaveOptionList(*state.ExcludeFolders, kExcludeFolderPrefix) && bSaved;
    return bSaved;
}

void frmOptions::cmdAction_Click(int index) {
    switch (index) {
        case kIndexChoosePath:
        case kIndexNewExcludeFolder:
            ChooseFolder(index);
            break;
        case kIndexNewExtension: {
            auto* item = new QTreeWidgetItem(lvExtensions, QStringList{QStringLiteral("new")});
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable);
            lvExtensions->scrollToItem(item);
            lvExtensions->setCurrentItem(item);
            lvExtensions->setFocus();
            lvExtensions->editItem(item, 0);
            SetChanged();
            break;
        }
        case kIndexDeleteExtension:
            RemoveSelectedRow(lvExtensions);
            break;
        case kIndexDeleteExcludeFolder:
            RemoveSelectedRow(lvExcludeFolders);
            break;
        case kIndexOK:
            if (SaveOrTell()) {
                accept();
            }
            break;
        case kIndexApply:
            if (SaveOrTell()) {
                cmdAction[kIndexOK]->setFocus();
                cmdAction[kIndexApply]->setEnabled(false);
            }
            break;
        case kIndexCancel:
            reject();
            break;
        default:
            break;
    }
}

void frmOptions::ChooseFolder(int index) {
    StandardDialogs::FileDialogRequest request;
    request.title = index == kIndexChoosePath
                        ? QStringLiteral("Standard-Pfad für Archive")
                        : QStringLiteral("von der Suche auszuschließendes Verzeichnis wählen");
    request.fileName = QStringLiteral("Dateiname wird ignoriert!");
    request.initialFolder =
        index == kIndexChoosePath ? lblPath->text() : QCoreApplication::applicationDirPath();
    QString sChosenPath;
    switch (StandardDialogs::RunSaveDialog(this, request, &sChosenPath)) {
        case StandardDialogs::FileDialogResult::Cancelled:
            return;
        case StandardDialogs::FileDialogResult::Failed:
            StandardDialogs::ShowMessage(this, QStringLiteral("Fehler im Standard-Dialog!"),
                                         QMessageBox::Warning);
            return;
        case StandardDialogs::FileDialogResult::Accepted:
            break;
    }
    // Only the folder counts; the name field, pre-filled or typed, plays no part.
    const QString sFolder = FileSystemObject::GetParentFolderName(sChosenPath);
    if (index == kIndexChoosePath) {
        lblPath->setText(sFolder);
    } else {
        auto* item = new QTreeWidgetItem(lvExcludeFolders, QStringList{sFolder});
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    }
    SetChanged();
}

void frmOptions::RemoveSelectedRow(QTreeWidget* list) {
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    delete selected.first();
    SetChanged();
}

void frmOptions::chkLimitRecursion_Click() {
    txtLimit->setEnabled(chkLimitRecursion->isChecked());
}

void frmOptions::SetChanged() {
    cmdAction[kIndexApply]->setEnabled(true);
}

QPixmap frmOptions::NewPagePicture() {
    QPixmap picture(16, 16);
    picture.fill(QColor(192, 192, 192));
    QPainter painter(&picture);
    const QPolygon page{{3, 1}, {10, 1}, {13, 4}, {13, 14}, {3, 14}};
    painter.setPen(Qt::black);
    painter.setBrush(Qt::white);
    painter.drawPolygon(page);
    // The folded corner.
    painter.drawPolyline(QPolygon{{10, 1}, {10, 4}, {13, 4}});
    return picture;
}

QPixmap frmOptions::CrossPicture() {
    QPixmap picture(16, 16);
    picture.fill(QColor(192, 192, 192));
    QPainter painter(&picture);
    painter.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    // Slightly uneven strokes, as drawn by hand.
    painter.drawPolyline(QPolygon{{3, 3}, {7, 8}, {10, 10}, {13, 13}});
    painter.drawPolyline(QPolygon{{12, 3}, {9, 6}, {6, 10}, {3, 13}});
    return picture;
}
