// The list views of the main window: report-style lists with fixed columns, the row
// drawing, the copy formats, and the cell texts built from the service records.
#pragma once
#include <QHash>
#include <QStaticText>
#include <QString>
#include <QStringList>
#include <QStyledItemDelegate>
#include <cstddef>
#include <cstdint>
#include <ctime>

class QListWidget;
class QTreeWidget;

struct ListColumn {
    const char* title;
    int width;  // pixels
    int align;  // Qt::Alignment of the cells
};

// One list of the main window: its control, columns, notice, row limit, copy width and
// context menu commands (0 where the list has no such command).
struct ListSpec {
    int control;
    const ListColumn* columns;
    int columnCount;
    uint32_t notice;
    int copyColumns;
    int cmdCopy, cmdCopyAll, cmdClear;
};
extern const ListSpec kListSpecs[9];
const ListSpec* FindListSpec(int control);

// Alternating white and pale blue rows; a selected row filled in blue with white text. A
// cell cut short shows its whole text as a tooltip. The width of each text is measured once.
class ListRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
    // The rectangle the cell's text is drawn in.
    static QRect TextRect(const QRect& cell, int column);

private:
    int TextWidth(const QFont& font, const QString& text) const;
    mutable QHash<QString, int> widths_;
    mutable QFont widthsFont_;
};

// Draws the log lines with tab stops every few pixels, so the columns that tabs make in
// lines such as "Created\t\tOK, ..." stay close together. Each line is laid out once and
// drawn from its layout after that; a line cut by the list's edge shows whole as a tooltip.
class LogLineDelegate : public QStyledItemDelegate {
public:
    LogLineDelegate(int tabStop, QObject* parent);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
    int tabStop() const { return tabStop_; }
    // Width of the line's text as drawn.
    int LineWidth(const QFont& font, const QString& text) const;

private:
    QStaticText& Layout(const QFont& font, const QString& text) const;
    static constexpr int kMargin = 2;
    int tabStop_;
    mutable QHash<QString, QStaticText> layouts_;
    mutable QFont layoutsFont_;
};

// Puts the columns of `spec` on the list and the report-style settings every list shares.
void ListViewInitColumns(QTreeWidget* list, const ListSpec& spec);

// Rows deleted from the front until at most `keep` remain.
void TrimListRows(QTreeWidget* list, int keep);
// Appends a row with the cells, aligned as the list's columns, and makes it visible unless
// `show` is false (the caller scrolls once after a run of rows).
void AppendListRow(QTreeWidget* list, const QStringList& cells, bool show = true);

// Copy texts: each line followed by CR LF; each of the first `columns` cells of a row
// (at most 1499 characters) followed by a tab, each row ended by CR LF.
QString ListboxText(const QListWidget* list, bool selectedOnly);
QString ListViewText(const QTreeWidget* list, int columns, bool selectedOnly);
// Puts the text on the clipboard.
void SetClipboardText(const QString& text);

// Text of the field at [offset, offset + size) of a payload of `length` bytes, ending at its
// NUL or at the end of the field or of the payload; empty when the payload is shorter.
QString RecordField(const uint8_t* payload, size_t length, size_t offset, size_t size);

// The dates as each list has always written them: " [dd/mm hh:mm:ss.mmm]" of an event row, the
// syslog date "dd/mm hh:mm:ss.mmm" without brackets and blank, and "mm/dd hh:mm:ss" of a lease
// time (kept in seconds; month first, as the lease file and the log lines write it), in local
// time; empty when it cannot be shown.
QString EventTimeText(int64_t msSinceEpoch);
QString SyslogDateText(int64_t msSinceEpoch);
QString LeaseTimeText(int64_t seconds);
