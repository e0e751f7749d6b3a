#include "tests/ui/support/FreshEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLocale>
#include <QTimer>
#include <memory>

#include "app/modBackup.h"
#include "app/modRegistry.h"

FreshEnvironment::FreshEnvironment() {
    const QString root = dir_.path();
    QDir(root).mkpath(QStringLiteral("home"));
    QDir(root).mkpath(QStringLiteral("config"));
    QDir(root).mkpath(QStringLiteral("state"));
    QDir(root).mkpath(QStringLiteral("runtime"));
    qputenv("HOME", QFile::encodeName(root + QStringLiteral("/home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(root + QStringLiteral("/state")));
    // A window of another test, or the user's own, must never answer this test's starts.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/runtime")));
    // The cache and the trash a new user's scans leave out lie in this home too.
    qunsetenv("XDG_CACHE_HOME");
    qunsetenv("XDG_DATA_HOME");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    modRegistry::CloseStores();
    modBackup::ResetState();
}

FreshEnvironment::~FreshEnvironment() {
    // Close the stores before their folder goes away.
    modBackup::ResetState();
    modRegistry::CloseStores();
}

QString FreshEnvironment::Home() const {
    return dir_.path() + QStringLiteral("/home");
}

QString FreshEnvironment::MakeFolder(const QString& sRelative) const {
    const QString path = Home() + u'/' + sRelative;
    QDir().mkpath(path);
    return path;
}

QString FreshEnvironment::MakeFile(const QString& sRelative, const QByteArray& data) const {
    const QString path = Home() + u'/' + sRelative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(data);
    }
    return path;
}

void WhenModalAppears(std::function<void(QWidget*)> onModal, const QWidget* except, int timeoutMs) {
    auto* timer = new QTimer(qApp);
    auto left = std::make_shared<int>(timeoutMs / 10);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, left, except, onModal] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != except) {
            timer->stop();
            timer->deleteLater();
            onModal(modal);
        } else if (--*left <= 0) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

bool ShowsAsTyped(const QLabel* label) {
    const int plain = QFontMetrics(label->font()).horizontalAdvance(label->text());
    return qAbs(label->sizeHint().width() - plain) <= 2;
}
