#include "_gui/tftp_client_pane.h"

#include <QComboBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "_gui/balloon.h"
#include "_gui/control_ids.h"
#include "_services/host_records.h"
#include "_services/settings.h"
#include "libs/log/log.h"

namespace {
const char* const kBlockSizes[] = {"512", "1024", "1468", "2048", "4096", "8192", "16384", "Edit..."};
const char* const kWindowSizes[] = {"1", "2", "4", "8", "16", "32", "64", "Edit..."};
constexpr int kBatchTimerMs = 1000;

// The local files among dropped data; none when anything else is dropped.
QStringList DroppedFiles(const QMimeData* data)
{
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile())
            return {};
        files << url.toLocalFile();
    }
    return files;
}
}  // namespace

TftpClientPane::TftpClientPane(std::function<QWidget*(int)> control, QWidget* anchor, QObject* parent)
    : QObject(parent), control_(std::move(control)), anchor_(anchor)
{
    if (!slot_.Create("Nimbo32ClientSemaphore"))
        LogPrint(1, "TFTPC Err: semaphore %s is not shared: %s", "Nimbo32ClientSemaphore", LastErrorText());
    batchTimer_ = new QTimer(this);
    batchTimer_->setInterval(kBatchTimerMs);
    connect(batchTimer_, &QTimer::timeout, this, &TftpClientPane::BatchTick);
    auto* blk = qobject_cast<QComboBox*>(control_(CTL_TFTPC_BLKSIZE));
    auto* win = qobject_cast<QComboBox*>(control_(CTL_TFTPC_WINSIZE));
    if (blk) {
        blk->setEditable(true);
        for (const char* t : kBlockSizes)
            blk->addItem(t);
        blk->setCurrentText("1468");
    }
    if (win) {
        win->setEditable(true);
        for (const char* t : kWindowSizes)
            win->addItem(t);
        win->setCurrentText("8");
    }
    GlobalSettings s = SettingsSnapshot();
    if (auto* e = qobject_cast<QLineEdit*>(control_(CTL_TFTPC_SERVER)))
        e->setText(QString::fromLocal8Bit(s.TFTPC_Server));
    if (auto* e = qobject_cast<QLineEdit*>(control_(CTL_TFTPC_REMOTE_FILE)))
        e->setText(QString::fromLocal8Bit(s.TFTPC_RemoteFile));
    if (auto* e = qobject_cast<QLineEdit*>(control_(CTL_TFTPC_LOCAL_FILE))) {
        e->setText(QString::fromLocal8Bit(s.TFTPC_LocalFile));
        e->setAcceptDrops(true);
        e->installEventFilter(this);
    }
    if (auto* t = qobject_cast<QLabel*>(control_(CTL_TFTPC_BLOCK_TEXT)))
        t->clear();
    if (auto* p = qobject_cast<QProgressBar*>(control_(CTL_TFTPC_PROGRESS)))
        p->setRange(0, 100);
    for (int id : {CTL_TFTPC_GET, CTL_TFTPC_PUT, CTL_TFTPC_BREAK, CTL_TFTPC_PICK})
        if (auto* b = qobject_cast<QPushButton*>(control_(id)))
            connect(b, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
    SetIdle(true);
}

TftpClientPane::~TftpClientPane()
{
    DebugTrace("GUI: Closing TFTP Client\n");
    thread_.Cancel();
    thread_.Join();
}

// A batch keeps GET and PUT disabled and Break enabled from its start to its summary.
void TftpClientPane::SetIdle(bool idle)
{
    if (QWidget* w = control_(CTL_TFTPC_GET))
        w->setEnabled(idle && !batch_);
    if (QWidget* w = control_(CTL_TFTPC_PUT))
        w->setEnabled(idle && !batch_);
    if (QWidget* w = control_(CTL_TFTPC_BREAK))
        w->setEnabled(!idle || batch_);
    if (idle) {
        if (auto* p = qobject_cast<QProgressBar*>(control_(CTL_TFTPC_PROGRESS)))
            p->setValue(0);
        if (auto* t = qobject_cast<QLabel*>(control_(CTL_TFTPC_BLOCK_TEXT)))
            t->clear();
    }
}

bool TftpClientPane::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (watched != control_(CTL_TFTPC_LOCAL_FILE) ||
        (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop))
        return QObject::eventFilter(watched, event);
    auto* drop = static_cast<QDropEvent*>(event);
    const QStringList files = DroppedFiles(drop->mimeData());
    if (files.isEmpty())
        return QObject::eventFilter(watched, event);  // text goes to the field
    drop->acceptProposedAction();
    // The question waits until the drop has ended, so the dragging program is not held.
    if (type == QEvent::Drop)
        QMetaObject::invokeMethod(
            this, [this, files] { DropFiles(files); }, Qt::QueuedConnection);
    return true;
}

void TftpClientPane::DropFiles(const QStringList& files)
{
    if (files.isEmpty() || batch_)
        return;
    auto* local = qobject_cast<QLineEdit*>(control_(CTL_TFTPC_LOCAL_FILE));
    auto* server = qobject_cast<QLineEdit*>(control_(CTL_TFTPC_SERVER));
    int answer = IDNO;
    if (files.size() >= 2 && server && !server->text().trimmed().isEmpty())
        answer = MessageBoxPrintf(anchor_, "Upload (Put) %d files to host ?", ProgramTitle,
                                  MB_YESNOCANCEL | MB_ICONQUESTION, static_cast<int>(files.size()));
    if (answer == IDYES)
        StartBatch(files);
    else if (answer == IDNO && local)
        local->setText(files.first());
}

void TftpClientPane::Refuse(int id, const QString& text)
{
    QWidget* w = control_(id);
    if (w)
        w->setFocus();
    ShowBalloon(QString(), text, w, anchor_, BALLOON_ICON_NONE, true, 0, std::nullopt, false);
}

void TftpClientPane::OnCommand(int id)
{
    switch (id) {
    case CTL_TFTPC_GET: Begin(TFTPC_GET); break;
    case CTL_TFTPC_PUT: Begin(TFTPC_PUT); break;
    case CTL_TFTPC_BREAK:
        if (busy_) {
            cancelled_ = true;
            thread_.Cancel();
        } else if (batch_) {  // between two files of a batch
            cancelled_ = true;
            BatchTick();
        }
        break;
    case CTL_TFTPC_PICK: {
        auto* local = qobject_cast<QLineEdit*>(control_(CTL_TFTPC_LOCAL_FILE));
        QFileDialog dialog(anchor_, "Pick a local file to PUT or GET receive directory",
                           local ? QFileInfo(local->text()).absolutePath() : QString());
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        dialog.setFileMode(QFileDialog::AnyFile);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() && local)
            local->setText(dialog.selectedFiles().first());
        break;
    }
    default: break;
    }
}

bool TftpClientPane::Begin(int direction)
{
    if (busy_)
        return false;
    auto text = [this](int id) {
        if (auto* e = qobject_cast<QLineEdit*>(control_(id)))
            return e->text().left(255).trimmed();
        if (auto* c = qobject_cast<QComboBox*>(control_(id)))
            return c->currentText().trimmed();
        return QString();
    };
    const bool get = direction == TFTPC_GET;
    const QString server = text(CTL_TFTPC_SERVER), remote = text(CTL_TFTPC_REMOTE_FILE),
                  local = text(CTL_TFTPC_LOCAL_FILE);
    if (server.isEmpty()) {
        Refuse(CTL_TFTPC_SERVER, get ? "Error: \nGET command requires a target TFTP Server"
                                     : "Error: \nPUT command requires a target TFTP Server");
        return false;
    }
    if (get && remote.isEmpty()) {
        Refuse(CTL_TFTPC_REMOTE_FILE, "Error: \nGET command requires a Remote File");
        return false;
    }
    if (get && (local.isEmpty() || QFileInfo(local).isDir())) {
        Refuse(CTL_TFTPC_LOCAL_FILE, "Error: \nGET command requires a valid Local File");
        return false;
    }
    if (!get && (local.isEmpty() || !QFileInfo(local).isFile())) {
        Refuse(CTL_TFTPC_LOCAL_FILE, "Error: \nPUT command requires a valid Local File");
        return false;
    }
    bool ok = false;
    const uint32_t blk = text(CTL_TFTPC_BLKSIZE).toUInt(&ok);
    if (!ok || blk < kTftpcMinBlockSize || blk > kTftpcMaxBlockSize) {
        Refuse(CTL_TFTPC_BLKSIZE, "Error: \nBlocksize should be any number between 512 and 16384\nDefault: 1468");
        return false;
    }
    const uint32_t win = text(CTL_TFTPC_WINSIZE).toUInt(&ok);
    if (!ok || win < 1 || win > kTftpcMaxWindowSize) {
        Refuse(CTL_TFTPC_WINSIZE, "Error: \nWindowsize should be any number between 1 and 64\nDefault: 8");
        return false;
    }
    if (get && QFileInfo::exists(local) &&
        MessageBoxPrintf(anchor_, "Local File exists, overwrite it ?", ProgramTitle, MB_YESNO | MB_ICONQUESTION) !=
            IDYES)
        return false;
    TftpClientJob job;
    job.direction = direction;
    job.server = server.toStdString();
    job.port = port_;
    // In a batch a typed remote name serves the first file only.
    job.remoteName = batch_ && batchStarted_ > 1 ? std::string() : remote.toStdString();
    job.localPath = local.toStdString();
    job.blockSize = blk;
    job.windowSize = win;
    int delay = SettingsSnapshot().TFTPC_MinInterFrameDelay;
    job.interFrameDelayUs = delay > 0 ? static_cast<uint32_t>(delay) : 0;
    std::string error;
    int fd = TftpClientOpenLocal(direction, job.localPath, &error);
    if (fd < 0) {
        ShowBalloon("Transfer ERR", QString::fromStdString(error), anchor_, anchor_, BALLOON_ICON_ERROR, true, 0,
                    std::nullopt, false);
        return false;
    }
    LogPrint(1, get ? "TFTPC Inf: GET %s" : "TFTPC Inf: PUT %s", get ? job.remoteName.c_str() : job.localPath.c_str());
    direction_ = direction;
    cancelled_ = false;
    busy_ = true;
    if (!slot_.taken())
        slot_.TryTake();  // a batch has taken it already
    SetIdle(false);
    thread_.Start(
        job, fd,
        [this](int percent, uint64_t) {
            QMetaObject::invokeMethod(
                this, [this, percent] { Progress(percent); }, Qt::QueuedConnection);
        },
        [this](const TftpClientOutcome& o) {
            QMetaObject::invokeMethod(
                this, [this, o] { Finished(o); }, Qt::QueuedConnection);
        });
    return true;
}

void TftpClientPane::Progress(int percent)
{
    if (!busy_)
        return;
    if (auto* p = qobject_cast<QProgressBar*>(control_(CTL_TFTPC_PROGRESS)))
        p->setValue(percent);
}

void TftpClientPane::Finished(const TftpClientOutcome& o)
{
    thread_.Join();
    busy_ = false;
    slot_.Release();
    SetIdle(true);
    const QString text = QString::fromStdString(o.text);
    if (batch_) {
        batchRetransmissions_ += o.retransmissions;
        if (o.ok) {
            batchBlocks_ += o.blocks;
            ++batchDone_;
        } else {
            ShowBalloon("Transfer ERR", text, anchor_, anchor_, BALLOON_ICON_ERROR, true, 0, std::nullopt, false);
        }
        Q_EMIT transferEnded(o.ok, text);
        BatchTick();  // the next file at once rather than at the next tick
        return;
    }
    ShowBalloon(o.ok ? "Transfer OK" : "Transfer ERR", text, anchor_, anchor_,
                o.ok ? BALLOON_ICON_INFO : BALLOON_ICON_ERROR, true, 0, std::nullopt, false);
    Q_EMIT transferEnded(o.ok, text);
}

void TftpClientPane::StartBatch(const QStringList& files)
{
    if (batch_ || files.isEmpty())
        return;
    batch_ = true;
    batchFiles_ = files;
    batchIndex_ = batchStarted_ = 0;
    batchDone_ = batchBlocks_ = batchRetransmissions_ = 0;
    cancelled_ = false;
    SetIdle(!busy_);
    batchTimer_->start();
    BatchTick();
}

// Starts the next file when no transfer holds the semaphore; a folder is skipped, and so is
// a file that PUT refuses (the semaphore stays with the batch). Without a file left, or
// after Break, the batch ends.
void TftpClientPane::BatchTick()
{
    if (!batch_ || busy_ || !slot_.TryTake())
        return;
    auto* local = qobject_cast<QLineEdit*>(control_(CTL_TFTPC_LOCAL_FILE));
    while (!cancelled_ && batchIndex_ < batchFiles_.size()) {
        const QString file = batchFiles_[batchIndex_++];
        if (QFileInfo(file).isDir())
            continue;
        if (local)
            local->setText(file);
        ++batchStarted_;
        if (Begin(TFTPC_PUT))
            return;
    }
    EndBatch();
}

void TftpClientPane::EndBatch()
{
    batchTimer_->stop();
    auto s = [](quint64 n) { return n >= 2 ? "s" : ""; };
    const QString summary = QString::asprintf("%llu file%s fully transferred in %llu block%s and %llu retransmission%s",
                                              batchDone_, s(batchDone_), batchBlocks_, s(batchBlocks_),
                                              batchRetransmissions_, s(batchRetransmissions_));
    batch_ = false;
    cancelled_ = false;
    batchFiles_.clear();
    batchIndex_ = batchStarted_ = 0;
    batchDone_ = batchBlocks_ = batchRetransmissions_ = 0;
    slot_.Release();
    SetIdle(true);
    MessageBoxPrintf(anchor_, "%s", ProgramTitle, MB_OK, summary.toLocal8Bit().constData());
    Q_EMIT batchEnded(summary);
}
