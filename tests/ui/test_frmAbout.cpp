// The about dialog: its texts and version, the two links, and which system-information program
// "&Systeminfo..." would start for a given machine-wide store and PATH (through the hooks, so
// nothing is really started), with the message when there is none.

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <vector>

#include "app/modBackup.h"
#include "app/modRegistry.h"
#include "platform/registrystore/RegistryStore.h"
#include "tests/ui/support/FreshEnvironment.h"
#include "ui/StandardDialogs.h"
#include "ui/frmAbout.h"
#include "ui/frmMain.h"

using modRegistry::HKEY_LOCAL_MACHINE;

namespace {

const QString kMsInfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString kToolsLocationKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
const QString kUnavailable = QStringLiteral("Systeminformationen sind momentan nicht verfügbar");

QString MakeExecutable(const QString& sPath) {
    QDir().mkpath(QFileInfo(sPath).absolutePath());
    QFile file(sPath);
    if (file.open(QIODevice::WriteOnly)) {
        file.write("#!/bin/sh\nexit 0\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return sPath;
}

}  // namespace

class TestFrmAbout : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FreshEnvironment> env_;
    std::unique_ptr<frmAbout> dlg_;
    QString machineStore_;
    QByteArray savedPath_;
    QStringList messages_;
    QStringList captions_;
    QList<QUrl> opened_;
    QStringList started_;
    bool startSucceeds_ = true;

    // The machine-wide store of this test, written like the platform's tools would.
    RegistryStore Seed() { return RegistryStore(machineStore_.toStdString(), false); }

    QLabel* Label(const QString& name) { return dlg_->findChild<QLabel*>(name); }
    void ClickSysInfo() {
        QTest::mouseClick(dlg_->findChild<QPushButton*>(QStringLiteral("cmdSysInfo")),
                          Qt::LeftButton);
    }
    // A PATH of one empty folder, or of the folder given.
    void SetSearchPath(const QString& sFolder) { qputenv("PATH", QFile::encodeName(sFolder)); }

private Q_SLOTS:
    void initTestCase() { savedPath_ = qgetenv("PATH"); }
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        machineStore_ = env_->Home() + QStringLiteral("/machine/registry.sqlite3");
        QDir().mkpath(env_->Home() + QStringLiteral("/machine"));
        modRegistry::SetStorePath(HKEY_LOCAL_MACHINE, machineStore_);
        SetSearchPath(env_->MakeFolder(QStringLiteral("emptybin")));
        messages_.clear();
        captions_.clear();
        opened_.clear();
        started_.clear();
        startSucceeds_ = true;
        StandardDialogs::SetMessageHook(
            [this](const QString& caption, const QString& text, QMessageBox::Icon) {
                captions_ << caption;
                messages_ << text;
            });
        frmAbout::SetOpenUrlHook([this](const QUrl& url) { opened_ << url; });
        frmAbout::SetStartProgramHook([this](const QString& sProgram) {
            started_ << sProgram;
            return startSucceeds_;
        });
        dlg_ = std::make_unique<frmAbout>();
        dlg_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg_.get()));
    }
    void cleanup() {
        dlg_.reset();
        StandardDialogs::SetMessageHook(nullptr);
        frmAbout::SetOpenUrlHook(nullptr);
        frmAbout::SetStartProgramHook(nullptr);
        modRegistry::SetStorePath(HKEY_LOCAL_MACHINE, QString());
        qputenv("PATH", savedPath_);
        env_.reset();
    }

    void showsTitleVersionAndDescription() {
        QCOMPARE(dlg_->windowTitle(), QStringLiteral("Info zu Tarvello-Backup"));
        QCOMPARE(Label(QStringLiteral("lblTitle"))->text(), QStringLiteral("Tarvello-Backup"));
        QCOMPARE(Label(QStringLiteral("lblVersion"))->text(), QStringLiteral("Version %1.%2.%3")
                                                                  .arg(SONDREL_VERSION_MAJOR)
                                                                  .arg(SONDREL_VERSION_MINOR)
                                                                  .arg(SONDREL_VERSION_PATCH));
        QCOMPARE(frmAbout::VersionText(1, 0, 13), QStringLiteral("Version 1.0.13"));
        QCOMPARE(Label(QStringLiteral("lblDescription"))->text(),
                 QStringLiteral("Backup-Utility für die tägliche Sicherung von Benutzerdateien in "
                                "eine ZIP-Datei"));
        QVERIFY(!Label(QStringLiteral("lblCopyright"))->text().isEmpty());
        QVERIFY(!Label(QStringLiteral("picIcon"))->pixmap().isNull());
        QCOMPARE(dlg_->findChild<QPushButton*>(QStringLiteral("cmdSysInfo"))->text(),
                 QStringLiteral("&Systeminfo..."));
        for (const char* name : {"lblHTTP_0", "lblHTTP_1"}) {
            QLabel* link = Label(QString::fromLatin1(name));
            QVERIFY2(link->font().underline(), name);
            QCOMPARE(link->palette().color(QPalette::WindowText), QColor(Qt::blue));
        }
    }

    void linksOpenTheirCaptionAtClickTime() {
        QLabel* web = Label(QStringLiteral("lblHTTP_0"));
        QLabel* mail = Label(QStringLiteral("lblHTTP_1"));
        QVERIFY(web->text().startsWith(QStringLiteral("https://")));
        QVERIFY(mail->text().contains(u'@'));
        QTest::mouseClick(web, Qt::LeftButton);
        QTest::mouseClick(mail, Qt::LeftButton);
        QCOMPARE(opened_,
                 (QList<QUrl>{QUrl(web->text()), QUrl(QStringLiteral("mailto:") + mail->text())}));
        web->setText(QStringLiteral("https://anders.tarvello-backup.example/hilfe"));
        QTest::mouseClick(web, Qt::LeftButton);
        QCOMPARE(opened_.last(),
                 QUrl(QStringLiteral("https://anders.tarvello-backup.example/hilfe")));
        QTest::mouseClick(web, Qt::RightButton);
        QCOMPARE(opened_.size(), 3);
    }

    void mainWindowMenuOpensItAndOkClosesIt() {
        dlg_.reset();
        QVERIFY(modBackup::LoadBackupList());
        frmMain main;
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        bool opened = false;
        WhenModalAppears([&](QWidget* modal) {
            opened = qobject_cast<frmAbout*>(modal) != nullptr && modal->parentWidget() == &main;
            QTest::mouseClick(modal->findChild<QPushButton*>(QStringLiteral("cmdOK")),
                              Qt::LeftButton);
        });
        main.findChild<QAction*>(QStringLiteral("mnuAbout"))->trigger();
        QVERIFY(opened);
        QVERIFY(main.findChild<frmAbout*>() == nullptr);
    }

    void startsTheProgramTheStoreNames() {
        Seed().Write(kMsInfoKey.toStdString(), "PATH", RegistryStore::kText, "/opt/info/sysinfo");
        ClickSysInfo();
        QCOMPARE(started_, QStringList{QStringLiteral("/opt/info/sysinfo")});
        QVERIFY(messages_.isEmpty());
    }

    void aProgramThatCannotStartShowsTheMessage() {
        Seed().Write(kMsInfoKey.toStdString(), "PATH", RegistryStore::kText, "/opt/info/sysinfo");
        startSucceeds_ = false;
        ClickSysInfo();
        QCOMPARE(started_.size(), 1);
        QCOMPARE(messages_, QStringList{kUnavailable});
        QCOMPARE(captions_, QStringList{QStringLiteral("Sondrel")});
    }

    void realStartOfAMissingProgramShowsTheMessage() {
        frmAbout::SetStartProgramHook(nullptr);
        Seed().Write(kMsInfoKey.toStdString(), "PATH", RegistryStore::kText,
                     (env_->Home() + QStringLiteral("/gibt-es-nicht")).toStdString());
        dlg_->StartSysInfo();
        QCOMPARE(messages_, QStringList{kUnavailable});
    }

    void toolsFolderCountsOnlyWithItsProgram() {
        const QString folder = env_->MakeFolder(QStringLiteral("tools"));
        Seed().Write(kToolsLocationKey.toStdString(), "MSINFO", RegistryStore::kText,
                     folder.toStdString());
        ClickSysInfo();
        QVERIFY(started_.isEmpty());
        QCOMPARE(messages_, QStringList{kUnavailable});

        const QString program = MakeExecutable(folder + QStringLiteral("/MSINFO32.EXE"));
        ClickSysInfo();
        QCOMPARE(started_, QStringList{program});
        QCOMPARE(messages_.size(), 1);
    }

    void fallsBackToASystemInformationProgramOnPath() {
        const QString bin = env_->MakeFolder(QStringLiteral("bin"));
        SetSearchPath(bin);
        ClickSysInfo();
        QCOMPARE(messages_, QStringList{kUnavailable});
        // The first candidate found in PATH's order of preference wins.
        const QString second = MakeExecutable(bin + u'/' + frmAbout::SysInfoCandidates().at(1));
        const QString last = MakeExecutable(bin + u'/' + frmAbout::SysInfoCandidates().last());
        ClickSysInfo();
        QCOMPARE(started_, QStringList{second});
        QFile::remove(second);
        ClickSysInfo();
        QCOMPARE(started_.last(), last);
        QCOMPARE(messages_.size(), 1);
    }

    void getKeyValueReadsTheMachineStore() {
        {
            RegistryStore store = Seed();
            const std::string key = "SOFTWARE\\Tarvello\\Probe";
            store.Write(key, "Text", RegistryStore::kText, "Grüße");
            store.WriteNumber(key, "Number", 4711);
            store.Write(key, "Expand", RegistryStore::kExpandText, "%HOME%/x");
            store.Write(key, "Binary", RegistryStore::kBinary, std::string("\x01\x02", 2));
            store.Write(key, "Fits", RegistryStore::kText, std::string(1023, 'a'));
            store.Write(key, "TooLong", RegistryStore::kText, std::string(1024, 'a'));
            store.Write(key, "BigBinary", RegistryStore::kBinary, std::string(1025, 'b'));
        }
        const QString key = QStringLiteral("software\\tarvello\\probe");
        QString value = QStringLiteral("vorher");
        QVERIFY(frmAbout::GetKeyValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("text"), value));
        QCOMPARE(value, QStringLiteral("Grüße"));
        QVERIFY(frmAbout::GetKeyValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("Number"), value));
        QCOMPARE(value, QStringLiteral("4711"));
        // Other types succeed but leave the caller's text alone.
        value = QStringLiteral("vorher");
        QVERIFY(frmAbout::GetKeyValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("Expand"), value));
        QCOMPARE(value, QStringLiteral("vorher"));
        QVERIFY(frmAbout::GetKeyValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("Binary"), value));
        QCOMPARE(value, QStringLiteral("vorher"));
        QVERIFY(frmAbout::GetKeyValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("Fits"), value));
        QCOMPARE(value.size(), 1023);
        // Unreadable: too long for the buffer, missing value or key; the text is emptied.
        for (const auto& [sKey, sName] :
             {std::pair{key, QStringLiteral("TooLong")},
              std::pair{key, QStringLiteral("BigBinary")}, std::pair{key, QStringLiteral("Fehlt")},
              std::pair{QStringLiteral("SOFTWARE\\Fehlt"), QStringLiteral("Text")}}) {
            value = QStringLiteral("vorher");
            QVERIFY2(!frmAbout::GetKeyValue(HKEY_LOCAL_MACHINE, sKey, sName, value),
                     qPrintable(sName));
            QCOMPARE(value, QString());
        }
        // Without any store file.
        modRegistry::SetStorePath(HKEY_LOCAL_MACHINE,
                                  env_->Home() + QStringLiteral("/keine/registry.sqlite3"));
        value = QStringLiteral("vorher");
        QVERIFY(!frmAbout::GetKeyValue(HKEY_LOCAL_MACHINE, key, QStringLiteral("Text"), value));
        QCOMPARE(value, QString());
        QVERIFY(!QFile::exists(env_->Home() + QStringLiteral("/keine/registry.sqlite3")));
    }
};

QTEST_MAIN(TestFrmAbout)
#include "test_frmAbout.moc"
