// The lists of the main window's pages and the log: filling them from the notices the
// model keeps, their limits, context menus and commands, and the log's keyboard search.
#pragma once
#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <set>

#include "_gui/console_model.h"

class MainWindow;
class QListWidget;
class QMenu;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TransferList;

// Patterns of the log search (Ctrl+E, Ctrl+W, Ctrl+B).
extern const char* const kLogFilters[3];

class MainLists : public QObject {
    Q_OBJECT
public:
    explicit MainLists(MainWindow* window);

    // Adds a line to the log; at most 1001 lines are kept. The line is shown with the
    // others of the same pass (see Flush).
    void AppendLogLine(const QString& text);
    // Takes the notices of kind `id` that the model has kept into their list: transfers at
    // once, the other lists with the next pass.
    void OnNotice(uint32_t id, ConsoleModel& model);
    // Shows what arrived since the last pass: log lines and rows go in together, with one
    // relayout and one scroll per list. Runs a short while after the first notice of a pass;
    // while the window is minimised or hidden nothing is drawn (the lines and rows wait,
    // within their limits) until it comes back.
    void Flush();
    // Lines and notice kinds that wait for the next pass.
    int pendingLogLines() const { return static_cast<int>(pendingLog_.size()); }
    // A pass is due (its timer runs); never while the window is asleep.
    bool passDue() const;
    // The longest a line or row waited, from its notice to the pass that showed it (ms),
    // passes after a minimised spell aside. With NIMBO_GUI_STATS naming a file, the figures
    // are written there about once a second (for the desktop benchmark).
    qint64 longestWaitMs() const { return longestWaitMs_; }

    // A list's context menu (the log's under `control` CTL_MAIN_LOG_LIST), items enabled as the rows allow.
    QMenu* ContextMenu(int control);
    // Runs a menu command ("Copy", "Copy All", "Clear All", "Stop Transfer", "Reclaim Lease/s").
    void Command(int command);

    // Log search: from the caret line onwards (forward) or backwards; false (with a beep when
    // `beep`) when no line matches the filter. `keep` leaves the caret line selected.
    bool SearchLog(bool forward, bool keep, bool beep = true);
    int logFilter() const { return filter_; }
    int beeps() const { return beeps_; }

    QTreeWidget* list(int control) const;
    TransferList* transfers() const { return transfers_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A row of the list `control` with the cells, aligned as its columns.
    static QTreeWidgetItem* NewRow(int control, const QStringList& cells);
    // The cells of an event or SYSLOG row from its record, the time cell given.
    static QStringList RowCells(uint32_t id, const uint8_t* p, size_t n, const QString& time);
    void UpsertDnsRow(const uint8_t* p, size_t n);
    void FillLeaseList(const std::vector<std::vector<uint8_t>>& rows);
    void TakeNotice(uint32_t id, ConsoleModel& model);
    void FlushLog();
    void ScheduleFlush();
    void Beep();

    MainWindow* window_;
    QListWidget* log_;
    QObject* logViewport_ = nullptr;  // compared only: it may be going away
    TransferList* transfers_;
    QTimer* flushTimer_ = nullptr;
    ConsoleModel* model_ = nullptr;
    std::deque<QString> pendingLog_;
    std::vector<std::vector<uint8_t>> leaseRowsShown_;  // the lease rows the list shows
    std::set<uint32_t> pendingNotices_;
    void NoteArrival();
    void WriteStats();
    qint64 firstPendingMs_ = -1;  // when the oldest waiting line or notice came
    bool sleptSince_ = false;     // the window was asleep while they waited
    qint64 longestWaitMs_ = 0;
    qint64 passes_ = 0, shown_ = 0, statsWrittenMs_ = 0;
    QString statsPath_;
    int filter_ = 0;
    int beeps_ = 0;
};
