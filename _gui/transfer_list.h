// The TFTP transfer list: one node per running transfer, its row in the list (which stays
// after the transfer ends), the "Stop Transfer" command and the gauge windows.
#pragma once
#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <list>
#include <string>

#include "_gui/console_model.h"
#include "_services/tftp_records.h"

class MainWindow;
class QLabel;
class QMenu;
class QProgressBar;
class QTreeWidget;

// Cell texts of a transfer row; sizes are unsigned 32-bit counts, computed in 64 bits.
std::string TransferProgressText(const TransferStats& s);
std::string TransferTotalText(const TransferStats& s);
// True when the progress text allows stopping: a running transfer of known size below 100 %.
bool CanStopProgress(const std::string& progress);

class GaugeWindow;

struct TftpGui {
    uint32_t number = 0;
    std::string fileName;
    uint32_t direction = 0;  // 1 read (the server sends), 2 write
    uint16_t port = 0;       // host order
    uint32_t addrBE = 0;
    TransferStats stats{};
    int64_t gaugeStamp = 0;  // service time of the last gauge update
    QPointer<GaugeWindow> gauge;
};

// Top-left corner of gauge `index` beside the main window: frame rectangle of the window
// (left, bottom), its client size, and the gauge's client size.
QPoint GaugePosition(int index, const QRect& windowFrame, const QSize& client, const QSize& gauge);

class GaugeWindow : public QDialog {
    Q_OBJECT
public:
    GaugeWindow(MainWindow* owner, const TftpGui& node);
    void update(const TftpGui& node, int64_t now);
    QProgressBar* bar() const { return bar_; }
    QLabel* sizeLabel() const { return size_; }
    QLabel* rateLabel() const { return rate_; }
    uint32_t number() const { return number_; }

private:
    uint32_t number_;
    QProgressBar* bar_;
    QLabel* size_;
    QLabel* rate_;
};

class TransferList : public QObject {
    Q_OBJECT
public:
    TransferList(QTreeWidget* list, MainWindow* owner);
    ~TransferList() override;

    void OnTransferBegin(const uint8_t* record, size_t length);
    void OnTransferEnd(const uint8_t* record, size_t length);
    void OnTransferStats(const std::vector<TransferStatsEntry>& entries, int64_t now);

    // The list's context menu, its items enabled as the rows allow.
    QMenu* Menu();
    // "Stop Transfer": asks the main window to stop the focused row's transfer.
    void StopFocused();
    bool CanStopFocused() const;

    const std::list<TftpGui>& nodes() const { return nodes_; }
    int gaugesCreated() const { return gaugeCounter_; }

private:
    void Refresh();
    int AddRow(const TftpGui& node);
    void UpdateRow(const TftpGui& node, int row);

    QTreeWidget* list_;
    MainWindow* owner_;
    std::list<TftpGui> nodes_;  // newest first
    int gaugeCounter_ = 0;
};
