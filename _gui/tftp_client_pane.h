// The TFTPC page's client pane: it reads the page's fields, checks them (a balloon at the
// offending field), runs one transfer at a time on a TftpClientThread, follows it with the
// progress bar and ends it with a "Transfer OK" or "Transfer ERR" balloon. Files dropped on
// the local-file field fill it or, several at once, are uploaded one after the other as a
// batch that ends with one summary box. The named semaphore "Nimbo32ClientSemaphore" is held
// while a transfer runs; the batch starts its next file only when it can take it.
#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

#include "_gui/control_ids.h"
#include "_gui/tftp_client_thread.h"
#include "libs/platform/named_semaphore.h"

class QWidget;
class QTimer;

class TftpClientPane : public QObject {
    Q_OBJECT
public:
    // control: the main window's controls by id (the CTL_TFTPC_ ones); anchor: where outcome
    // balloons point.
    TftpClientPane(std::function<QWidget*(int)> control, QWidget* anchor, QObject* parent = nullptr);
    ~TftpClientPane() override;

    void OnCommand(int id);  // CTL_TFTPC_GET, CTL_TFTPC_PUT, CTL_TFTPC_BREAK, CTL_TFTPC_PICK ("...")
    // Files dropped on the local-file field: one fills the field, several ask whether to
    // upload them all (Yes: StartBatch; No: the first one fills the field; Cancel: nothing).
    // Ignored while a batch runs.
    void DropFiles(const QStringList& files);
    // Uploads the files one after the other (the answer Yes to the batch question).
    void StartBatch(const QStringList& files);
    bool Busy() const { return busy_; }
    bool BatchRunning() const { return batch_; }
    // The server's TFTP port (kTftpPort; tests use a private one).
    void SetServerPort(uint16_t port) { port_ = port; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

Q_SIGNALS:
    void transferEnded(bool ok, const QString& text);
    void batchEnded(const QString& summary);

private:
    bool Begin(int direction);
    void Refuse(int id, const QString& text);
    void Finished(const TftpClientOutcome& outcome);
    void Progress(int percent);  // the bar only: the block text is only ever cleared
    void SetIdle(bool idle);
    void BatchTick();
    void EndBatch();

    std::function<QWidget*(int)> control_;
    QWidget* anchor_;
    TftpClientThread thread_;
    bool busy_ = false;
    uint16_t port_ = kTftpPort;
    int direction_ = 0;
    bool cancelled_ = false;
    NamedSemaphore slot_;  // held while a transfer runs
    // Batch state.
    bool batch_ = false;
    QTimer* batchTimer_ = nullptr;
    QStringList batchFiles_;
    int batchIndex_ = 0;    // next file
    int batchStarted_ = 0;  // files handed to PUT
    quint64 batchDone_ = 0, batchBlocks_ = 0, batchRetransmissions_ = 0;
};
