#pragma once
// frmAbout: title, version, description, copyright, two links and the system-information
// launcher. Links and program starts go through hooks so that tests see what would be opened.
//
// The system-information program is, in this order: the program the machine-wide store names
// ("PATH" of "SOFTWARE\Microsoft\Shared Tools\MSINFO", or "MSINFO32.EXE" in the folder named by
// "MSINFO" of "SOFTWARE\Microsoft\Shared Tools Location"), else the first of hardinfo2, hardinfo,
// kinfocenter, gnome-system-monitor and mate-system-monitor found on PATH.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <array>
#include <functional>

#include "app/modRegistry.h"

class QLabel;
class QPushButton;

class frmAbout : public QDialog {
    Q_OBJECT

public:
    explicit frmAbout(QWidget* parent = nullptr);

    /// Starts the system-information program, or says that none is available.
    void StartSysInfo();

    /// Reads SubKeyRef of KeyName under KeyRoot into KeyVal: a text as it is, a 32-bit number as
    /// decimal text, any other type leaves KeyVal unchanged. A value that does not fit 1024 bytes
    /// (texts counted with their terminating zero) cannot be read. False, with KeyVal emptied,
    /// when the value cannot be read.
    static bool GetKeyValue(modRegistry::RegRoot KeyRoot, const QString& KeyName,
                            const QString& SubKeyRef, QString& KeyVal);

    /// "Version 1.0.13" for 1, 0, 13.
    static QString VersionText(int lMajor, int lMinor, int lRevision);

    /// Programs looked for on PATH when the store names none, in order of preference.
    static const QStringList& SysInfoCandidates();

    // Test hooks: while set, they act instead of the desktop. A start hook returns whether the
    // program started. Reset with nullptr.
    using OpenUrlHook = std::function<void(const QUrl&)>;
    using StartProgramHook = std::function<bool(const QString& sProgram)>;
    static void SetOpenUrlHook(OpenUrlHook hook);
    static void SetStartProgramHook(StartProgramHook hook);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void lblHTTP_Click(int index);
    void cmdSysInfo_Click();
    void cmdOK_Click();

    QLabel* picIcon = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblDescription = nullptr;
    QLabel* lblCopyright = nullptr;
    std::array<QLabel*, 2> lblHTTP{};
    QPushButton* cmdSysInfo = nullptr;
    QPushButton* cmdOK = nullptr;
};
