#pragma once
// One form test case's world: its own temporary home, config and state folders (set before the
// stores are touched), the pinned German locale, and the shared state started afresh.

#include <QString>
#include <QTemporaryDir>
#include <functional>

class QLabel;
class QWidget;

class FreshEnvironment {
public:
    FreshEnvironment();
    ~FreshEnvironment();
    FreshEnvironment(const FreshEnvironment&) = delete;
    FreshEnvironment& operator=(const FreshEnvironment&) = delete;

    bool IsValid() const { return dir_.isValid(); }
    /// The temporary folder that stands for the user's home.
    QString Home() const;
    /// A folder below the home for the test's own files (created).
    QString MakeFolder(const QString& sRelative) const;
    /// Writes a small file (creating missing folders); returns its full path.
    QString MakeFile(const QString& sRelative, const QByteArray& data = "x") const;

private:
    QTemporaryDir dir_;
};

/// Calls onModal with the application's active modal widget as soon as one other than `except`
/// shows up (polled from the event loop), at most once; gives up after timeoutMs.
void WhenModalAppears(std::function<void(QWidget*)> onModal, const QWidget* except = nullptr,
                      int timeoutMs = 5000);

/// True when the label shows its text as typed: as wide as the plain text. Markup in it such as
/// "<b>" would be taken away and make it narrower.
bool ShowsAsTyped(const QLabel* label);
