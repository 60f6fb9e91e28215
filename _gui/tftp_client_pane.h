// The TFTPC page's client pane: it reads the page's fields, checks them (a balloon at the
// offending field), runs one transfer at a time on a TftpClientThread, follows it with the
// progress bar and ends it with a "Transfer OK" or "Transfer ERR" balloon; a batch uploads
// several files one after the other and ends with one summary box.
#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

#include "tftp_client_thread.h"

class QWidget;
class QMessageBox;

class TftpClientPane : public QObject {
    Q_OBJECT
public:
    // control: the main window's controls by id (1164 to 1180); anchor: where outcome
    // balloons point.
    TftpClientPane(std::function<QWidget*(int)> control, QWidget* anchor, QObject* parent = nullptr);
    ~TftpClientPane() override;

    void OnCommand(int id);  // 1164 GET, 1165 PUT, 1169 Break, 1175 "..."
    // Uploads the files one after the other (the answer Yes to the batch question).
    void StartBatch(const QStringList& files);
    bool Busy() const { return busy_; }
    // The server's TFTP port (69; tests use a private one).
    void SetServerPort(uint16_t port) { port_ = port; }
    QMessageBox* SummaryBox() const { return summary_; }

Q_SIGNALS:
    void transferEnded(bool ok, const QString& text);
    void batchEnded(const QString& summary);

private:
    bool Begin(int direction);
    void Refuse(int id, const QString& text);
    void Finished(const TftpClientOutcome& outcome);
    void Progress(int percent, quint64 blocks);
    void SetIdle(bool idle);
    void NextBatchFile();

    std::function<QWidget*(int)> control_;
    QWidget*         anchor_;
    TftpClientThread thread_;
    bool             busy_ = false;
    uint16_t         port_ = 69;
    int              direction_ = 0;
    bool             cancelled_ = false;
    // Batch state.
    bool        batch_ = false;
    QStringList batchFiles_;
    int         batchIndex_ = 0;
    quint64     batchDone_ = 0, batchBlocks_ = 0, batchRetransmissions_ = 0;
    QString     batchRemote_;
    QMessageBox* summary_ = nullptr;
};
