#pragma once
// WindowIntake: the main window's side of the single instance. Another start of the program asks
// it to raise the window, or to take the paths of its command line; those are taken exactly as
// intake mode takes them (Intake.h), one request after the other. The files of a request are
// collected on a worker thread, so the window keeps answering; they enter the list on the window's
// thread, never while the window holds requests (a backup is running), and each request is
// answered only once the list has been stored.

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <deque>
#include <functional>
#include <thread>

class InstanceServer;

class WindowIntake : public QObject {
    Q_OBJECT

public:
    /// What the window does for it.
    struct Window {
        std::function<void()> raise;
        /// Appends the files to the list and the window (TakeIntakeFiles) and updates the status.
        std::function<void(const QStringList& files)> take;
    };

    WindowIntake(Window window, QObject* parent = nullptr);
    /// Waits for a collection still running.
    ~WindowIntake() override;

    /// Starts listening for other starts; false with *sProblem when that is impossible.
    bool Listen(QString* sProblem);
    /// While held, collected files wait; on release they are taken at once.
    void Hold(bool bHold);
    /// For the window's end: stops listening, and answers every request not yet taken with
    /// "closing", so that its sender does the work itself once the window is gone.
    void Close();

private:
    struct Request {
        quint64 id = 0;
        QString sWorkingFolder;
        QStringList tokens;
        QStringList files;
        bool bCollected = false;
    };

    void OnAdd(quint64 id, const QString& sWorkingFolder, const QStringList& tokens);
    void StartCollecting();
    void OnCollected(quint64 id, const QStringList& files);
    void TakeCollected();
    void JoinWorker();

    Window window_;
    InstanceServer* server_ = nullptr;
    std::deque<Request> requests_;
    std::thread worker_;
    bool bCollecting_ = false;
    bool bHeld_ = false;
};
