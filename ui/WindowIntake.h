#pragma once
// WindowIntake: the main window's side of the single instance. Another start of the program asks
// it to raise the window, or to take the paths of its command line; those are taken exactly as
// intake mode takes them (Intake.h), one request after the other. The files of a request are
// collected on a worker thread, so the window keeps answering; they enter the list on the window's
// thread, never while the window holds requests (a backup is running), and each request is
// answered only once the list has been stored. Adding (a slice at a time) and the list check run in
// separate turns of the event loop, and the list is stored on the worker thread, so that none of
// them keeps the window from answering for long.

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <deque>
#include <functional>
#include <optional>
#include <thread>

#include "app/Result.h"

class InstanceServer;

class WindowIntake : public QObject {
    Q_OBJECT

public:
    /// What the window does for it.
    struct Window {
        std::function<void()> raise;
        /// Appends the files to the list and the window (TakeIntakeFiles).
        std::function<void(const QStringList& files)> take;
        /// The list check, which updates the status bar.
        std::function<void()> check;
        /// True while the stored list could not be read: then it is read again before each save,
        /// and the save is of both lists together.
        std::function<bool()> listUnread;
        /// Takes in the stored list once it could be read (ends the unread state).
        std::function<void(const QStringList& stored)> takeStored;
    };

    WindowIntake(Window window, QObject* parent = nullptr);
    /// Waits for a collection still running.
    ~WindowIntake() override;

    /// Starts listening for other starts.
    Result<void> Listen();
    /// While held, collected files wait; on release they are taken at once.
    void Hold(bool bHold);
    /// For the window's end: stops listening, and answers every request not yet taken with
    /// "closing", so that its sender does the work itself once the window is gone.
    void Close();

private:
    /// Files taken into the list in one turn of the event loop.
    static constexpr qsizetype kFilesPerTurn = 20000;

    enum class Stage { Waiting, Collecting, Taking, Taken, Storing, Stored };
    struct Request {
        quint64 id = 0;
        QString sWorkingFolder;
        QStringList tokens;
        QStringList files;
        qsizetype taken = 0;
        Stage stage = Stage::Waiting;
        // Set by the worker that stores the list; read once it has been joined.
        bool bStored = false;
        QString sProblem;
        QString sNote;         // what the scans left out at their level limit, told to the sender
        bool bUnread = false;  // the stored list was unread when the save began
        std::optional<QStringList> stored;  // and this is what could be read of it then
    };

    void OnAdd(quint64 id, const QString& sWorkingFolder, const QStringList& tokens);
    void OnWorkerDone(quint64 id);
    /// Takes the next step of the first request, and asks for another turn while steps are left.
    void Advance();
    void AdvanceLater();
    /// Runs work on the worker thread; OnWorkerDone(id) follows on this one.
    void StartWorker(quint64 id, std::function<void()> work);
    void Answer(Request& request);
    void JoinWorker();

    Window window_;
    InstanceServer* server_ = nullptr;
    std::deque<Request> requests_;
    std::thread worker_;
    bool bAdvanceQueued_ = false;
    bool bHeld_ = false;
};
