// The lists of the main window's pages and the log: filling them from the notices the
// model keeps, their limits, context menus and commands, and the log's keyboard search.
#pragma once
#include <QObject>
#include <QString>
#include <cstdint>

#include "_gui/console_model.h"

class MainWindow;
class QListWidget;
class QMenu;
class QTreeWidget;
class TransferList;

// Patterns of the log search (Ctrl+E, Ctrl+W, Ctrl+B).
extern const char* const kLogFilters[3];

class MainLists : public QObject {
    Q_OBJECT
public:
    explicit MainLists(MainWindow* window);

    // Adds a line to the log; at most 1001 lines are kept.
    void AppendLogLine(const QString& text);
    // Takes the notices of kind `id` that the model has kept into their list.
    void OnNotice(uint32_t id, ConsoleModel& model);

    // A list's context menu (the log's under `control` 1110), items enabled as the rows allow.
    QMenu* ContextMenu(int control);
    // Runs a menu command ("Copy", "Copy All", "Clear All", "Stop Transfer", "Reclaim Lease/s").
    void Command(int command);

    // Log search: from the caret line onwards (forward) or backwards; false (with a beep when
    // `beep`) when no line matches the filter. `keep` leaves the caret line selected.
    bool SearchLog(bool forward, bool keep, bool beep = true);
    int  logFilter() const { return filter_; }
    int  beeps() const { return beeps_; }

    QTreeWidget*  list(int control) const;
    TransferList* transfers() const { return transfers_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddEventRow(int control, const QStringList& cells);
    void AddSyslogRow(const uint8_t* p, size_t n);
    void UpsertDnsRow(const uint8_t* p, size_t n);
    void FillLeaseList(const std::vector<std::vector<uint8_t>>& rows);
    void Beep();

    MainWindow*   window_;
    QListWidget*  log_;
    QObject*      logViewport_ = nullptr;  // compared only: it may be going away
    TransferList* transfers_;
    int           filter_ = 0;
    int           beeps_ = 0;
};
