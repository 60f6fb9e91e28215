// One desktop per user: a lock file in the user's runtime folder ("<Nimbo MutEx>") and a
// local server beside it through which a second start reaches the first one.
#pragma once
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

enum OtherInstanceResult {
    OTHER_RAISED,           // the running instance came to the front
    OTHER_KILLED,           // "-kill": the running instance was asked to close
    OTHER_NOT_FOUND,        // "-kill" and no running instance
    OTHER_ALREADY_RUNNING,  // the lock is held but nobody answers
};

class InstanceGuard : public QObject {
    Q_OBJECT
public:
    // folder: where the lock and the server live (the user's runtime folder by default).
    explicit InstanceGuard(const QString& folder = QString());
    ~InstanceGuard() override;

    // True when this is the first instance (lock taken, server listening).
    bool acquire();
    void release();
    bool held() const { return lock_ && lock_->isLocked(); }

    // What the first instance does on request: bring its window to the front, close it
    // as the user would, or end at once.
    std::function<void()> onRaise;
    std::function<void()> onClose;
    std::function<void()> onDestroy;

    // The second instance's side; blocking, usable from any thread.
    OtherInstanceResult contactFirst(bool kill) const;

    QString lockPath() const;
    QString serverPath() const;

private:
    void onConnection();
    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};
