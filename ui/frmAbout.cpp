#include "ui/frmAbout.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

#include "app/modBackup.h"
#include "ui/FormScale.h"
#include "ui/ProgramIcon.h"
#include "ui/StandardDialogs.h"
#include "ui/Twips.h"

namespace {

const QString kSysInfoUnavailable =
    QStringLiteral("Systeminformationen sind momentan nicht verfügbar");
const QString kWebAddress = QStringLiteral("https://www.tarvello-backup.example");
const QString kSupportAddress = QStringLiteral("support@tarvello-backup.example");

// A value that does not fit this read buffer counts as unreadable.
constexpr size_t kReadBufferBytes = 1024;

frmAbout::OpenUrlHook& openUrlHook() {
    static frmAbout::OpenUrlHook hook;
    return hook;
}
frmAbout::StartProgramHook& startProgramHook() {
    static frmAbout::StartProgramHook hook;
    return hook;
}

void OpenWithDesktop(const QUrl& url) {
    if (openUrlHook()) {
        openUrlHook()(url);
        return;
    }
    QDesktopServices::openUrl(url);
}

bool StartProgram(const QString& sProgram) {
    if (startProgramHook()) {
        return startProgramHook()(sProgram);
    }
    if (sProgram.isEmpty()) {
        return false;
    }
    return QProcess::startDetached(sProgram, QStringList());
}

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& text, QRect rect) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(rect);
    return label;
}

}  // namespace

frmAbout::frmAbout(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Info zu Tarvello-Backup"));
    setWindowIcon(ProgramIcon());
    FormScale::SetFixedClientSize(this, 5850, 3780);
    const double factor = FormScale::Factor(this);
    const auto at = [this, factor](int left, int top, int width, int height) {
        return Twips::ToRect(FormScale::Scaled(left, factor), FormScale::Scaled(top, factor),
                             FormScale::Scaled(width, factor), FormScale::Scaled(height, factor),
                             this);
    };

    picIcon = MakeLabel(this, QStringLiteral("picIcon"), QString(), at(240, 240, 540, 540));
    picIcon->setAlignment(Qt::AlignCenter);
    picIcon->setPixmap(ProgramIcon().pixmap(picIcon->size()));

    lblTitle = MakeLabel(this, QStringLiteral("lblTitle"), QStringLiteral("Tarvello-Backup"),
                         at(1050, 240, 4560, 300));
    QFont titleFont = lblTitle->font();
    titleFont.setBold(true);
    lblTitle->setFont(titleFont);
    lblVersion = MakeLabel(this, QStringLiteral("lblVersion"), QStringLiteral("Version"),
                           at(1050, 600, 4560, 240));
    lblDescription = MakeLabel(
        this, QStringLiteral("lblDescription"),
        QStringLiteral(
            "Backup-Utility für die tägliche Sicherung von Benutzerdateien in eine ZIP-Datei"),
        at(1050, 960, 4560, 480));
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblCopyright = MakeLabel(this, QStringLiteral("lblCopyright"),
                             QStringLiteral("Copyright © 2026 Das Sondrel-Projekt"),
                             at(1050, 1500, 4560, 240));

    auto* Line1 = new QFrame(this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);
    Line1->setGeometry(at(225, 1860, 5400, 60));

    const std::array<QString, 2> links{kWebAddress, kSupportAddress};
    for (size_t i = 0; i < lblHTTP.size(); ++i) {
        QLabel* link = MakeLabel(this, QStringLiteral("lblHTTP_%1").arg(i), links[i],
                                 at(1050, 2040 + 300 * static_cast<int>(i), 2900, 240));
        QFont font = link->font();
        font.setUnderline(true);
        link->setFont(font);
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, Qt::blue);
        link->setPalette(palette);
        link->setCursor(Qt::PointingHandCursor);
        link->installEventFilter(this);
        lblHTTP[i] = link;
    }

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(at(4155, 2760, 1455, 375));
    cmdOK->setDefault(true);
    cmdSysInfo = new QPushButton(QStringLiteral("&Systeminfo..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    cmdSysInfo->setGeometry(at(4155, 3240, 1455, 375));
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdSysInfo, &QPushButton::clicked, this, [this] { cmdSysInfo_Click(); });

    Form_Load();
}

void frmAbout::Form_Load() {
    lblVersion->setText(
        VersionText(SONDREL_VERSION_MAJOR, SONDREL_VERSION_MINOR, SONDREL_VERSION_PATCH));
}

QString frmAbout::VersionText(int lMajor, int lMinor, int lRevision) {
    return QStringLiteral("Version %1.%2.%3").arg(lMajor).arg(lMinor).arg(lRevision);
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        for (size_t i = 0; i < lblHTTP.size(); ++i) {
            if (watched == lblHTTP[i]) {
                lblHTTP_Click(static_cast<int>(i));
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmAbout::lblHTTP_Click(int index) {
    // The caption at the moment of the click decides, not the address compiled in.
    const QString sCaption = lblHTTP[static_cast<size_t>(index)]->text();
    if (index == 0) {
        OpenWithDesktop(QUrl(sCaption));
    } else if (index == 1) {
        OpenWithDesktop(QUrl(QStringLiteral("mailto:") + sCaption));
    }
}

void frmAbout::cmdSysInfo_Click() {
    StartSysInfo();
}

void frmAbout::cmdOK_Click() {
    accept();
}

const QStringList& frmAbout::SysInfoCandidates() {
    static const QStringList candidates{
        QStringLiteral("hardinfo2"),           QStringLiteral("hardinfo"),
        QStringLiteral("kinfocenter"),         QStringLiteral("gnome-system-monitor"),
        QStringLiteral("mate-system-monitor"),
    };
    return candidates;
}

void frmAbout::StartSysInfo() {
    using modRegistry::HKEY_LOCAL_MACHINE;
    QString sSysInfoPath;
    QString sProgram;
    if (GetKeyValue(HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), sSysInfoPath)) {
        sProgram = sSysInfoPath;
    } else if (GetKeyValue(HKEY_LOCAL_MACHINE,
                           QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                           QStringLiteral("MSINFO"), sSysInfoPath) &&
               modBackup::State().FSO.FileExists(
                   FileSystemObject::BuildPath(sSysInfoPath, QStringLiteral("MSINFO32.EXE")))) {
        sProgram = FileSystemObject::BuildPath(sSysInfoPath, QStringLiteral("MSINFO32.EXE"));
    } else {
        for (const QString& sName : SysInfoCandidates()) {
            sProgram = QStandardPaths::findExecutable(sName);
            if (!sProgram.isEmpty()) {
                break;
            }
        }
    }
    if (sProgram.isEmpty() || !StartProgram(sProgram)) {
        StandardDialogs::ShowMessage(this, kSysInfoUnavailable, QMessageBox::NoIcon);
    }
}

bool frmAbout::GetKeyValue(modRegistry::RegRoot KeyRoot, const QString& KeyName,
                           const QString& SubKeyRef, QString& KeyVal) {
    const std::optional<modRegistry::RegValue> value =
        modRegistry::RegQueryValue(KeyRoot, KeyName, SubKeyRef, kReadBufferBytes);
    if (!value) {
        KeyVal.clear();
        return false;
    }
    if (value->lType == modRegistry::REG_SZ) {
        KeyVal = value->sText;
    } else if (value->lType == modRegistry::REG_DWORD) {
        KeyVal = QString::number(value->lNumber);
    }
    return true;
}

void frmAbout::SetOpenUrlHook(OpenUrlHook hook) {
    openUrlHook() = std::move(hook);
}
void frmAbout::SetStartProgramHook(StartProgramHook hook) {
    startProgramHook() = std::move(hook);
}
