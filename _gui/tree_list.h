// The tree-list control: a tree whose rows have several columns and whose value cells are
// edited in place (line edit, digits-only edit, multi-line edit, drop-down lists, file and
// folder fields). Every edit goes through the owner's validation callback; a refused edit
// keeps its editor open. Each cell record carries a CRC-32 that is checked whenever a row is
// fetched, so a damaged record is neither drawn nor edited. A memory counter follows every
// record the control allocates, so that a clean teardown can be checked.
#pragma once
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class QHeaderView;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TreeListView;
class TreeListDelegate;

// Item types.
enum TreeListType : uint32_t {
    TL_NONE = 0,        // no editor, skipped by keyboard navigation
    TL_GROUP = 1,       // group row; its value cell is not editable
    TL_EDIT = 11,       // single-line edit
    TL_MULTILINE = 12,  // multi-line edit
    TL_NUMBER = 13,     // edit that accepts digits only
    TL_LIST = 21,       // drop-down list of the choices
    TL_COMBO = 22,      // editable drop-down list with the choices and "Edit..."
    TL_FILE = 31,       // edit with a "..." button that picks a file
    TL_FOLDER = 32,     // edit with a "..." button that picks a folder
};

// Flags of TreeListCreate.
enum TreeListFlags : uint32_t {
    TLF_BORDER = 0x10,         // sunken border around the control
    TLF_FOLLOW_WIDTH = 0x20,   // the width follows the parent's right edge
    TLF_FOLLOW_HEIGHT = 0x40,  // the height follows its bottom edge
    TLF_NO_HEADER = 0x1000,    // no visible header
};

struct TreeListItemDesc {
    uint32_t type = TL_NONE;
    uint32_t id = 0;        // the owner's number
    uint32_t disabled = 0;  // group rows: the group is disabled
    const char* name = nullptr;
    const char* valueSource = nullptr;  // initial value
    uint32_t valueSize = 0;             // bytes of the owner's field (its NUL included)
    const char* pickerTitle = nullptr;  // types 31 and 32
    const char* pickerFilter = nullptr;
    const char* pickerExtension = nullptr;
    std::vector<const char*> choices;  // types 21 and 22
};

constexpr size_t kTreeListCellText = 1024;
constexpr size_t kTreeListMaxColumns = 17;
constexpr uint32_t kTreeListControlSize = 2944;
constexpr uint32_t kTreeListColumnTableSize = 144;
constexpr uint32_t kTreeListColumnSize = 1032;
constexpr uint32_t kTreeListNodeSize = 48;
constexpr uint32_t kTreeListCellSize = 1072;

// clang-format off
#pragma pack(push, 1)
struct TreeListCell {
    char     text[kTreeListCellText];
    uint32_t editable;
    uint32_t numeric;
    TreeListItemDesc* desc;    // the cell's own copy; none for name cells
    uint32_t backgroundFlag;
    uint32_t background;
    uint32_t textColourFlags;
    uint32_t textColour;
    uint32_t selectedTextColour;
    uint32_t disabledTextColour;
    uint32_t changed;          // an edit of the cell was accepted
    uint32_t crc;              // CRC-32 of the bytes before it
};
#pragma pack(pop)
// clang-format on
static_assert(sizeof(TreeListCell) == kTreeListCellSize);
static_assert(offsetof(TreeListCell, editable) == 1024);
static_assert(offsetof(TreeListCell, desc) == 1032);
static_assert(offsetof(TreeListCell, changed) == 1064);
static_assert(offsetof(TreeListCell, crc) == 1068);

struct TreeListNode {
    TreeListNode* firstChild = nullptr;
    TreeListNode* nextSibling = nullptr;
    TreeListNode* parent = nullptr;
    QTreeWidgetItem* item = nullptr;
    uint32_t cellCount = 0;
    std::vector<TreeListCell*> cells;  // one slot per column
};

class TreeList;
// A replacement text the validation callback may hand back instead of the typed one.
struct TreeListReplacement {
    char text[kTreeListCellText + 1] = {};
    bool set = false;
};
// Returns non-zero to accept newText; 0 keeps the editor open.
using TreeListValidateFn =
    std::function<int(TreeList*, const TreeListItemDesc*, const char* newText, TreeListReplacement*)>;
// F1 over a row: the value cell's description and the point in the tree's viewport.
using TreeListHelpFn = std::function<void(TreeList*, const TreeListItemDesc*, QPoint)>;

// CRC-32 (IEEE 802.3, reflected); crc is the value of the data before, 0 to start.
uint32_t TreeListCrc32(const void* data, size_t size, uint32_t crc = 0);

class TreeList {
public:
    ~TreeList();
    QTreeWidget* tree() const;
    QHeaderView* header() const;
    QWidget* parentWidget() const { return parent_; }
    // The open editor, the item and column it edits.
    QWidget* editor() const;
    QTreeWidgetItem* editedItem() const { return editedItem_; }
    int editedColumn() const { return editedColumn_; }
    uint32_t memoryCounter() const { return memory_; }
    bool columnsClosed() const { return columnsClosed_; }
    int columnCount() const { return int(columns_.size()); }
    // Widgets that take the focus without ending the open edit (the Cancel button).
    void addFocusExempt(QWidget* w) { exempt_.push_back(w); }
    // The row of a tree item after the checks (TreeListItemFromHandle).
    TreeListNode* node(QTreeWidgetItem* item);
    // Starts editing a cell (click point in viewport coordinates, or none).
    void beginEdit(QTreeWidgetItem* item, int column, const QPoint* click = nullptr);
    // Ends the open edit: -2 none open, 0 refused (the editor stays), else accepted.
    int endEdit();
    // Ends the open edit without taking its text (Escape).
    void cancelEdit();
    // Whether the row lies in a disabled group (or is such a group).
    bool inDisabledGroup(QTreeWidgetItem* item);
    // Next (down) or previous visible row whose cell in column is editable.
    QTreeWidgetItem* neighbourRow(QTreeWidgetItem* from, int column, bool down);
    void showHelp(QTreeWidgetItem* item);
    // The widget the focus went to keeps the edit open (the tree itself, an exempt widget).
    bool keepsEditOpen(QWidget* w) const;
    bool validating() const { return validating_; }
    bool clicked = false;  // the control was clicked since the last resize

private:
    friend TreeList* TreeListCreate(QWidget*, int, int, const QRect*, uint32_t, TreeListValidateFn, TreeListHelpFn);
    friend int TreeListAddColumn(TreeList*, const char*, int);
    friend TreeListNode* TreeListAddItem(TreeList*, TreeListNode*, const TreeListItemDesc*);
    friend int TreeListDestroy(TreeList*);
    friend TreeListNode* TreeListItemFromHandle(TreeList*, QTreeWidgetItem*);
    friend int TreeListSetGroupDisabled(TreeList*, const char*, bool);
    friend class TreeListView;
    TreeList() = default;
    void layout();
    TreeListCell* newCell(const char* text, bool editable, bool numeric, const TreeListItemDesc* desc);
    void freeNode(TreeListNode* n);
    void closeEditor();
    void storeCell(TreeListCell* cell, const char* text);

    struct Column {
        QString title;
        int width = 0;
    };
    QWidget* parent_ = nullptr;
    QPointer<TreeListView> view_;
    TreeListDelegate* delegate_ = nullptr;
    QRect rect_;
    bool hasRect_ = false;
    QPoint farMargins_;  // right and bottom margins kept with the follow flags
    uint32_t flags_ = 0;
    std::vector<Column> columns_;
    bool columnTable_ = false;
    bool columnsClosed_ = false;
    std::vector<TreeListNode*> roots_;
    TreeListValidateFn validate_;
    TreeListHelpFn help_;
    QTreeWidgetItem* editedItem_ = nullptr;
    int editedColumn_ = -1;
    bool validating_ = false;
    uint32_t memory_ = kTreeListControlSize;
    std::vector<QPointer<QWidget>> exempt_;
    QObject* resizeWatcher_ = nullptr;
};

// Creates the control inside parent: rect is the placement (none: the parent's whole area).
TreeList* TreeListCreate(QWidget* parent, int treeId, int headerId, const QRect* rect, uint32_t flags,
                         TreeListValidateFn validate, TreeListHelpFn help);
// 7 without a control, 2 out of memory, 8 otherwise (also when the column was refused).
// Width 0 makes the last column, which fills the rest, and closes the list.
int TreeListAddColumn(TreeList* c, const char* title, int width);
// A row of two cells (name, value) under parent (none: a top-level row); none on failure.
TreeListNode* TreeListAddItem(TreeList* c, TreeListNode* parent, const TreeListItemDesc* desc);
// First item, depth-first from the start item (none: the root), whose text equals text
// (at most 49 characters compared).
QTreeWidgetItem* TreeListFindItem(QTreeWidget* tree, QTreeWidgetItem* start, const char* text);
// 1 done, 0 group not found, damaged or a pending edit refused, -1 without a control.
int TreeListDisableGroup(TreeList* c, const char* group);
int TreeListEnableGroup(TreeList* c, const char* group);
// Ends the pending edit: its result, -2 when none is open, -1 without a control.
int TreeListValidate(TreeList* c);
// Releases everything: the memory counter less the control's own size (0 when all was
// released), 7 without a control.
int TreeListDestroy(TreeList* c);
// The row of a tree item after checking each of its cells; none when missing or damaged.
TreeListNode* TreeListItemFromHandle(TreeList* c, QTreeWidgetItem* item);
// The control that owns a widget (its tree, header or editor), if any.
TreeList* TreeListFromWidget(QWidget* w);
