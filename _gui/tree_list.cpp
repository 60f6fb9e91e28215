#include "_gui/tree_list.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QWheelEvent>
#include <algorithm>
#include <cstring>

namespace {

constexpr int kRowHeight = 17;
constexpr int kFontPixels = 13;
constexpr size_t kCrcSpan = offsetof(TreeListCell, crc);
constexpr size_t kFindCompare = 49;
const char kControlProperty[] = "nimboTreeList";
const QColor kSelectedFill(217, 231, 251);
const QColor kGreyText(150, 150, 150);
const QColor kColumnEdge(208, 208, 208);

QFont ControlFont(int weight)
{
    QFont f = QApplication::font();
    f.setPixelSize(kFontPixels);
    f.setWeight(QFont::Weight(weight));
    return f;
}

void MarkWidget(QWidget* w, TreeList* c)
{
    w->setProperty(kControlProperty, QVariant::fromValue<quintptr>(quintptr(c)));
}

bool KnownEditorType(uint32_t type)
{
    switch (type) {
    case TL_EDIT:
    case TL_MULTILINE:
    case TL_NUMBER:
    case TL_LIST:
    case TL_COMBO:
    case TL_FILE:
    case TL_FOLDER: return true;
    default: return false;
    }
}

// The most characters an editor takes: its field less the NUL, never more than a cell holds.
int EditorLimit(const TreeListItemDesc* d)
{
    const uint32_t field = d && d->valueSize ? std::min<uint32_t>(d->valueSize, kTreeListCellText) : kTreeListCellText;
    return int(field) - 1;
}

QString EditorText(QWidget* ed)
{
    if (auto* le = qobject_cast<QLineEdit*>(ed))
        return le->text();
    if (auto* cb = qobject_cast<QComboBox*>(ed))
        return cb->currentText();
    if (auto* pe = qobject_cast<QPlainTextEdit*>(ed))
        return pe->toPlainText();
    return QString();
}

void SelectAllText(QWidget* ed)
{
    if (auto* le = qobject_cast<QLineEdit*>(ed))
        le->selectAll();
    else if (auto* cb = qobject_cast<QComboBox*>(ed); cb && cb->lineEdit())
        cb->lineEdit()->selectAll();
    else if (auto* pe = qobject_cast<QPlainTextEdit*>(ed))
        pe->selectAll();
}

// At most max bytes of a UTF-8 text, cut before a character that would not fit whole.
QByteArray CutUtf8(const QByteArray& text, size_t max)
{
    if (size_t(text.size()) <= max)
        return text;
    size_t n = max;
    while (n > 0 && (uint8_t(text[qsizetype(n)]) & 0xC0) == 0x80)
        --n;
    return text.left(qsizetype(n));
}

}  // namespace

uint32_t TreeListCrc32(const void* data, size_t size, uint32_t crc)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// The tree view: clicks and keys that start, end and move edits, and the guard on the
// expansion of disabled groups.
class TreeListView : public QTreeWidget {
public:
    TreeListView(TreeList* c, QWidget* parent) : QTreeWidget(parent), control_(c)
    {
        verticalScrollBar()->installEventFilter(this);
        connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
            if (control_->inDisabledGroup(item))
                collapseItem(item);
        });
    }

protected:
    void mousePressEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::RightButton)
            return;
        if (e->button() != Qt::LeftButton) {
            QTreeWidget::mousePressEvent(e);
            return;
        }
        if (control_->validating())
            return;
        control_->clicked = true;
        if (control_->editor() && !endForUser())
            return;
        QTreeWidgetItem* item = itemAt(e->position().toPoint());
        if (!item || control_->inDisabledGroup(item))
            return;
        TreeListNode* n = control_->node(item);
        if (!n)
            return;
        if (currentItem() != item)
            setCurrentItem(item);
        const int column = header()->logicalIndexAt(e->position().toPoint().x());
        if (column >= 0 && size_t(column) < n->cells.size() && n->cells[size_t(column)] &&
            n->cells[size_t(column)]->editable) {
            const QPoint at = e->position().toPoint();
            control_->beginEdit(item, column, &at);
            if (control_->editor())
                return;
        }
        QTreeWidget::mousePressEvent(e);
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override
    {
        QTreeWidgetItem* item = itemAt(e->position().toPoint());
        if (control_->validating() || (item && control_->inDisabledGroup(item)))
            return;
        QTreeWidget::mouseDoubleClickEvent(e);
    }
    void keyPressEvent(QKeyEvent* e) override
    {
        if (e->key() == Qt::Key_F1) {
            control_->showHelp(currentItem());
            return;
        }
        if (e->key() == Qt::Key_Right && !control_->editor() && currentItem()) {
            QTreeWidgetItem* item = currentItem();
            TreeListNode* n = control_->node(item);
            if (n && n->cells.size() > 1 && n->cells[1] && n->cells[1]->editable && !control_->inDisabledGroup(item)) {
                control_->beginEdit(item, 1);
                if (control_->editor() || item->isExpanded())
                    return;
            }
        }
        QTreeWidget::keyPressEvent(e);
    }
    void wheelEvent(QWheelEvent* e) override
    {
        if (control_->editor() && !endForUser())
            return;
        QTreeWidget::wheelEvent(e);
    }
    void resizeEvent(QResizeEvent* e) override
    {
        control_->clicked = false;
        QTreeWidget::resizeEvent(e);
    }
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (watched == verticalScrollBar() && e->type() == QEvent::MouseButtonPress && control_->editor() &&
            !endForUser())
            return true;
        return QTreeWidget::eventFilter(watched, e);
    }

private:
    // Ends the open edit for a click or a scroll; a refusal leaves the editor the focus.
    bool endForUser()
    {
        if (control_->endEdit() != 0)
            return true;
        if (QWidget* ed = control_->editor())
            ed->setFocus();
        return false;
    }
    TreeList* control_;
};

// Draws the cells from their records and makes the in-place editors.
class TreeListDelegate : public QStyledItemDelegate {
public:
    TreeListDelegate(TreeList* c, QObject* parent) : QStyledItemDelegate(parent), control_(c) {}
    mutable QPointer<QWidget> editor;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        TreeListNode* n = control_->node(control_->editedItem());
        const int column = control_->editedColumn();
        if (!n || column < 0 || size_t(column) >= n->cells.size() || !n->cells[size_t(column)])
            return nullptr;
        const TreeListCell* cell = n->cells[size_t(column)];
        const TreeListItemDesc* d = cell->desc;
        const QString value = QString::fromUtf8(cell->text);
        const int limit = EditorLimit(d);
        QWidget* w = nullptr;
        switch (d ? d->type : 0) {
        case TL_EDIT:
        case TL_NUMBER:
        case TL_FILE:
        case TL_FOLDER: {
            auto* le = new QLineEdit(parent);
            le->setMaxLength(limit);
            le->setText(value);
            le->setFrame(false);
            if (d->type == TL_NUMBER)
                le->setValidator(new QRegularExpressionValidator(QRegularExpression("\\d*"), le));
            if (d->type == TL_FILE || d->type == TL_FOLDER)
                addPicker(le, d);
            w = le;
            break;
        }
        case TL_MULTILINE: {
            auto* pe = new QPlainTextEdit(parent);
            pe->setPlainText(value);
            w = pe;
            break;
        }
        case TL_LIST:
        case TL_COMBO: {
            auto* cb = new QComboBox(parent);
            cb->setMaxVisibleItems(std::max<int>(5, int(d->choices.size()) + 1));
            const bool editable = d->type == TL_COMBO;
            cb->setEditable(editable);
            bool known = false;
            for (const char* choice : d->choices)
                known = known || value == QString::fromUtf8(choice);
            if (editable && !known && !value.isEmpty())
                cb->addItem(value);
            for (const char* choice : d->choices)
                cb->addItem(QString::fromUtf8(choice));
            if (editable) {
                cb->addItem(QStringLiteral("Edit..."));
                cb->lineEdit()->setMaxLength(limit);
                cb->lineEdit()->installEventFilter(const_cast<TreeListDelegate*>(this));
                const int editIndex = cb->count() - 1;
                connect(cb, QOverload<int>::of(&QComboBox::activated), cb, [cb, editIndex](int i) {
                    if (i == editIndex) {
                        cb->setEditText(QString());
                        cb->lineEdit()->setFocus();
                    }
                });
            }
            const int at = cb->findText(value);
            if (at >= 0)
                cb->setCurrentIndex(at);
            else if (editable)
                cb->setEditText(value);
            w = cb;
            break;
        }
        default: return nullptr;
        }
        w->setFont(ControlFont(QFont::Medium));
        w->setObjectName(QStringLiteral("treeListEditor"));
        MarkWidget(w, control_);
        editor = w;
        return w;
    }
    void setEditorData(QWidget*, const QModelIndex&) const override {}
    // Accepted texts are stored by the control itself.
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        s.setHeight(kRowHeight);
        return s;
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        auto* view = static_cast<QTreeWidget*>(control_->tree());
        QTreeWidgetItem* item = view->itemFromIndex(index);
        const int column = index.column();
        p->save();
        p->fillRect(option.rect, view->palette().color(QPalette::Base));
        const bool selected = option.state & QStyle::State_Selected;
        if (selected && control_->clicked && (!control_->editor() || column == 0))
            p->fillRect(option.rect, kSelectedFill);
        p->setPen(kColumnEdge);
        p->drawLine(option.rect.topRight(), option.rect.bottomRight());
        TreeListNode* n = item ? control_->node(item) : nullptr;
        const TreeListCell* cell = n && size_t(column) < n->cells.size() ? n->cells[size_t(column)] : nullptr;
        if (cell) {
            const bool topLevel = !item->parent();
            p->setFont(ControlFont(topLevel && column == 0 ? QFont::Bold : QFont::Medium));
            const bool grey = !view->isEnabled() || (topLevel && column == 0 && control_->inDisabledGroup(item));
            p->setPen(grey ? kGreyText : QColor(Qt::black));
            const QRect r = option.rect.adjusted(column == 0 ? 1 : 3, 0, -2, 0);
            const QString text = p->fontMetrics().elidedText(QString::fromUtf8(cell->text), Qt::ElideRight, r.width());
            p->drawText(r, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text);
        }
        p->restore();
    }

    bool eventFilter(QObject* watched, QEvent* e) override
    {
        QWidget* ed = editor;
        if (!ed || !control_->editor())
            return false;
        switch (e->type()) {
        case QEvent::KeyPress: {
            auto* k = static_cast<QKeyEvent*>(e);
            if (k->key() == Qt::Key_F1) {
                control_->showHelp(control_->editedItem());
                return true;
            }
            if (k->key() == Qt::Key_Escape) {
                // Ends this edit only, the cell keeping its value; an open list of a combo
                // box has closed itself before the key gets here.
                control_->cancelEdit();
                return true;
            }
            if ((k->key() == Qt::Key_Up || k->key() == Qt::Key_Down) && !(k->modifiers() & Qt::AltModifier)) {
                auto* cb = qobject_cast<QComboBox*>(ed);
                if (cb && cb->view()->isVisible())
                    return false;
                moveEdit(k->key() == Qt::Key_Down);
                return true;
            }
            if (k->key() == Qt::Key_Left && (k->modifiers() & Qt::AltModifier)) {
                control_->endEdit();
                return true;
            }
            return false;
        }
        case QEvent::MouseButtonDblClick: SelectAllText(ed); return true;
        case QEvent::Wheel: return wheel(ed, static_cast<QWheelEvent*>(e));
        case QEvent::FocusOut: {
            const auto reason = static_cast<QFocusEvent*>(e)->reason();
            if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason)
                return false;
            QWidget* now = QApplication::focusWidget();
            if (!now || now == ed || ed->isAncestorOf(now) || control_->keepsEditOpen(now))
                return false;
            if (control_->endEdit() == 0 && control_->editor())
                control_->editor()->setFocus();
            return false;
        }
        default: (void)watched; return false;
        }
    }

private:
    void moveEdit(bool down)
    {
        QTreeWidgetItem* target = control_->neighbourRow(control_->editedItem(), control_->editedColumn(), down);
        const int column = control_->editedColumn();
        if (!target || control_->endEdit() == 0)
            return;
        control_->beginEdit(target, column);
    }
    bool wheel(QWidget* ed, QWheelEvent* e)
    {
        if (qobject_cast<QPlainTextEdit*>(ed))
            return false;
        QScrollBar* bar = control_->tree()->verticalScrollBar();
        const int delta = e->angleDelta().y();
        const int step = delta > 0 ? -bar->singleStep() * 3 : bar->singleStep() * 3;
        if (qobject_cast<QComboBox*>(ed)) {
            bar->setValue(bar->value() + step);
            return true;
        }
        const bool canScroll = delta > 0 ? bar->value() > bar->minimum() : bar->value() < bar->maximum();
        if (delta != 0 && canScroll && control_->endEdit() != 0)
            bar->setValue(bar->value() + step);
        return true;
    }
    void addPicker(QLineEdit* le, const TreeListItemDesc* d) const
    {
        QAction* pick = le->addAction(QIcon(), QLineEdit::TrailingPosition);
        pick->setText(QStringLiteral("..."));
        pick->setObjectName(QStringLiteral("treeListPick"));
        const bool folder = d->type == TL_FOLDER;
        const QString title = QString::fromUtf8(d->pickerTitle ? d->pickerTitle : "");
        const QString filter = QString::fromUtf8(d->pickerFilter ? d->pickerFilter : "");
        const int limit = EditorLimit(d);
        connect(pick, &QAction::triggered, le, [le, folder, title, filter, limit] {
            const QString chosen =
                folder ? QFileDialog::getExistingDirectory(le, title, le->text(), QFileDialog::DontUseNativeDialog)
                       : QFileDialog::getOpenFileName(le, title, le->text(), filter, nullptr,
                                                      QFileDialog::DontUseNativeDialog);
            if (!chosen.isEmpty() && chosen.toUtf8().size() <= limit)
                le->setText(chosen);
            le->setFocus();
        });
    }

    TreeList* control_;
};

// Follows the parent's size with the flags 0x20 and 0x40.
class TreeListResizeWatcher : public QObject {
public:
    TreeListResizeWatcher(std::function<void()> onResize, QObject* parent)
        : QObject(parent), onResize_(std::move(onResize))
    {
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Resize)
            onResize_();
        return false;
    }

private:
    std::function<void()> onResize_;
};

TreeList::~TreeList() = default;

QTreeWidget* TreeList::tree() const { return view_.data(); }

QHeaderView* TreeList::header() const { return view_ ? view_->header() : nullptr; }

QWidget* TreeList::editor() const { return delegate_ && view_ ? delegate_->editor.data() : nullptr; }

TreeListNode* TreeList::node(QTreeWidgetItem* item) { return TreeListItemFromHandle(this, item); }

bool TreeList::keepsEditOpen(QWidget* w) const
{
    if (view_ && (w == view_.data() || view_->isAncestorOf(w)))
        return true;
    for (const auto& e : exempt_)
        if (e && (e.data() == w || e->isAncestorOf(w)))
            return true;
    return false;
}

bool TreeList::inDisabledGroup(QTreeWidgetItem* item)
{
    QTreeWidgetItem* top = item;
    while (top && top->parent())
        top = top->parent();
    TreeListNode* n = node(top);
    if (!n)
        return true;
    const TreeListCell* value = n->cells.size() > 1 ? n->cells[1] : nullptr;
    return value && value->desc && value->desc->disabled;
}

QTreeWidgetItem* TreeList::neighbourRow(QTreeWidgetItem* from, int column, bool down)
{
    if (!view_ || !from || column < 0)
        return nullptr;
    for (QTreeWidgetItem* it = down ? view_->itemBelow(from) : view_->itemAbove(from); it;
         it = down ? view_->itemBelow(it) : view_->itemAbove(it)) {
        TreeListNode* n = node(it);
        if (!n || inDisabledGroup(it) || size_t(column) >= n->cells.size())
            continue;
        const TreeListCell* cell = n->cells[size_t(column)];
        const TreeListCell* value = n->cells.size() > 1 ? n->cells[1] : nullptr;
        const uint32_t type = value && value->desc ? value->desc->type : TL_NONE;
        if (cell && cell->editable && type > TL_GROUP)
            return it;
    }
    return nullptr;
}

void TreeList::showHelp(QTreeWidgetItem* item)
{
    TreeListNode* n = item ? node(item) : nullptr;
    if (!n || !help_ || n->cells.size() < 2 || !n->cells[1])
        return;
    help_(this, n->cells[1]->desc, view_->visualItemRect(item).center());
}

void TreeList::beginEdit(QTreeWidgetItem* item, int column, const QPoint* click)
{
    if (!view_)
        return;
    if (QWidget* ed = editor()) {
        ed->setFocus();
        return;
    }
    TreeListNode* n = node(item);
    if (!n || column < 0 || size_t(column) >= n->cells.size() || !n->cells[size_t(column)])
        return;
    const TreeListCell* cell = n->cells[size_t(column)];
    const uint32_t type = cell->desc ? cell->desc->type : TL_NONE;
    if (!cell->editable || type <= TL_GROUP) {
        view_->setFocus();
        return;
    }
    editedItem_ = nullptr;
    editedColumn_ = -1;
    if (!KnownEditorType(type))
        return;
    if (view_->currentItem() != item)
        view_->setCurrentItem(item);
    view_->scrollToItem(item);
    editedItem_ = item;
    editedColumn_ = column;
    view_->edit(view_->indexFromItem(item, column));
    QWidget* ed = editor();
    if (!ed) {
        editedItem_ = nullptr;
        editedColumn_ = -1;
        return;
    }
    ed->setFocus();
    if (click)
        if (auto* le = qobject_cast<QLineEdit*>(ed))
            le->setCursorPosition(le->cursorPositionAt(le->mapFrom(view_->viewport(), *click)));
}

int TreeList::endEdit()
{
    QWidget* ed = editor();
    if (!ed || !editedItem_)
        return -2;
    if (validating_)
        return 0;
    TreeListNode* n = node(editedItem_);
    if (!n) {
        closeEditor();
        return 0;
    }
    TreeListCell* cell = n->cells[size_t(editedColumn_)];
    const QByteArray text = EditorText(ed).toUtf8();
    if (text == QByteArray(cell->text))
        return closeEditor(), 1;
    int result = 1;
    TreeListReplacement replacement;
    if (validate_) {
        validating_ = true;
        result = validate_(this, cell->desc, text.constData(), &replacement);
        validating_ = false;
        if (!editor())
            return 0;
        if (!result) {
            view_->scrollToItem(editedItem_);
            SelectAllText(ed);
            ed->setFocus();
            return 0;
        }
    }
    storeCell(cell, replacement.set ? replacement.text : text.constData());
    editedItem_->setText(editedColumn_, QString::fromUtf8(cell->text));
    closeEditor();
    return result;
}

void TreeList::storeCell(TreeListCell* cell, const char* text)
{
    const QByteArray cut = CutUtf8(QByteArray(text), kTreeListCellText - 1);
    std::memset(cell->text, 0, sizeof cell->text);
    std::memcpy(cell->text, cut.constData(), size_t(cut.size()));
    cell->changed = 1;
    cell->crc = TreeListCrc32(cell, kCrcSpan);
}

void TreeList::cancelEdit()
{
    if (!editor() || validating_)
        return;
    closeEditor();
    view_->setFocus();
}

void TreeList::closeEditor()
{
    QWidget* ed = editor();
    editedItem_ = nullptr;
    editedColumn_ = -1;
    if (!ed)
        return;
    delegate_->editor = nullptr;
    Q_EMIT delegate_->closeEditor(ed, QAbstractItemDelegate::NoHint);
}

TreeListCell* TreeList::newCell(const char* text, bool editable, bool numeric, const TreeListItemDesc* desc)
{
    auto* cell = new TreeListCell{};
    const QByteArray cut = CutUtf8(QByteArray(text ? text : ""), kTreeListCellText - 1);
    std::memcpy(cell->text, cut.constData(), size_t(cut.size()));
    cell->editable = editable ? 1 : 0;
    cell->numeric = numeric ? 1 : 0;
    cell->desc = desc ? new TreeListItemDesc(*desc) : nullptr;
    cell->crc = TreeListCrc32(cell, kCrcSpan);
    memory_ += kTreeListCellSize;
    return cell;
}

void TreeList::freeNode(TreeListNode* n)
{
    while (n) {
        freeNode(n->firstChild);
        TreeListNode* next = n->nextSibling;
        for (TreeListCell* cell : n->cells) {
            if (!cell)
                continue;
            delete cell->desc;
            delete cell;
            memory_ -= kTreeListCellSize;
        }
        memory_ -= kTreeListNodeSize + 8 * uint32_t(n->cells.size());
        delete n;
        n = next;
    }
}

void TreeList::layout()
{
    if (!view_ || !parent_)
        return;
    QRect r = hasRect_ ? rect_ : parent_->rect();
    if (flags_ & TLF_FOLLOW_WIDTH)
        r.setRight(parent_->width() - 1 - farMargins_.x());
    if (flags_ & TLF_FOLLOW_HEIGHT)
        r.setBottom(parent_->height() - 1 - farMargins_.y());
    view_->setGeometry(r);
}

TreeList* TreeListCreate(QWidget* parent, int treeId, int headerId, const QRect* rect, uint32_t flags,
                         TreeListValidateFn validate, TreeListHelpFn help)
{
    if (!parent)
        return nullptr;
    auto* c = new TreeList;
    c->parent_ = parent;
    c->flags_ = flags;
    c->validate_ = std::move(validate);
    c->help_ = std::move(help);
    if (rect) {
        c->rect_ = *rect;
        c->hasRect_ = true;
    }
    auto* view = new TreeListView(c, parent);
    c->view_ = view;
    view->setObjectName(QString::number(treeId));
    view->header()->setObjectName(QString::number(headerId));
    MarkWidget(view, c);
    MarkWidget(view->header(), c);
    c->delegate_ = new TreeListDelegate(c, view);
    view->setItemDelegate(c->delegate_);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setAllColumnsShowFocus(true);
    view->setRootIsDecorated(true);
    view->setUniformRowHeights(true);
    view->setColumnCount(0);
    view->setFont(ControlFont(QFont::Medium));
    view->header()->setFont(ControlFont(QFont::Bold));
    view->header()->setStretchLastSection(true);
    view->header()->setSectionsMovable(false);
    view->setHeaderHidden(flags & TLF_NO_HEADER);
    view->setFrameStyle((flags & TLF_BORDER) ? QFrame::StyledPanel | QFrame::Sunken : QFrame::NoFrame);
    QPalette pal = view->palette();
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::Text, Qt::black);
    pal.setColor(QPalette::Highlight, kSelectedFill);
    pal.setColor(QPalette::HighlightedText, Qt::black);
    view->setPalette(pal);
    const QRect placed = c->hasRect_ ? c->rect_ : parent->rect();
    c->farMargins_ = QPoint(parent->width() - 1 - placed.right(), parent->height() - 1 - placed.bottom());
    if (flags & (TLF_FOLLOW_WIDTH | TLF_FOLLOW_HEIGHT)) {
        c->resizeWatcher_ = new TreeListResizeWatcher(
            [c] {
                c->layout();
                c->clicked = false;
            },
            view);
        parent->installEventFilter(c->resizeWatcher_);
    }
    c->layout();
    view->show();
    return c;
}

int TreeListAddColumn(TreeList* c, const char* title, int width)
{
    if (!c || !c->view_)
        return 7;
    if (c->columnsClosed_ || c->columns_.size() >= kTreeListMaxColumns)
        return 8;
    if (!c->columnTable_) {
        c->columnTable_ = true;
        c->memory_ += kTreeListColumnTableSize;
    }
    c->columns_.push_back({QString::fromUtf8(title ? title : ""), width});
    c->memory_ += kTreeListColumnSize;
    const int index = int(c->columns_.size()) - 1;
    c->view_->setColumnCount(index + 1);
    c->view_->headerItem()->setText(index, c->columns_.back().title);
    if (width > 0)
        c->view_->header()->resizeSection(index, width);
    else
        c->columnsClosed_ = true;
    return 8;
}

TreeListNode* TreeListAddItem(TreeList* c, TreeListNode* parent, const TreeListItemDesc* desc)
{
    if (!c || !c->view_ || !desc)
        return nullptr;
    if (parent && !c->node(parent->item))
        return nullptr;
    c->columnsClosed_ = true;
    const size_t slots = std::max<size_t>(c->columns_.size(), 2);
    auto* n = new TreeListNode;
    n->cells.assign(slots, nullptr);
    c->memory_ += kTreeListNodeSize + 8 * uint32_t(slots);
    std::string value;
    if (desc->valueSource)
        value.assign(desc->valueSource, strnlen(desc->valueSource, desc->valueSize));
    n->cells[0] = c->newCell(desc->name, false, false, nullptr);
    n->cells[1] = c->newCell(value.c_str(), desc->type != TL_GROUP, desc->type == TL_NUMBER, desc);
    n->cellCount = 2;
    n->parent = parent;
    QTreeWidgetItem* item = parent ? new QTreeWidgetItem(parent->item) : new QTreeWidgetItem(c->view_.data());
    n->item = item;
    item->setText(0, QString::fromUtf8(n->cells[0]->text));
    item->setText(1, QString::fromUtf8(n->cells[1]->text));
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (n->cells[1]->editable)
        f |= Qt::ItemIsEditable;
    item->setFlags(f);
    item->setData(0, Qt::UserRole, QVariant::fromValue<quintptr>(quintptr(n)));
    // The first column is at least as wide as the names it shows, each in its row's font and
    // behind its row's indentation, so that no name is cut (the cell's margins and a pixel for
    // the rounding of the text's width).
    int depth = 1;
    for (const TreeListNode* p = parent; p; p = p->parent)
        ++depth;
    const int need = depth * c->view_->indentation() + 4 +
                     QFontMetrics(ControlFont(parent ? QFont::Medium : QFont::Bold)).horizontalAdvance(item->text(0));
    if (c->columns_.size() > 1 && c->view_->header()->sectionSize(0) < need)
        c->view_->header()->resizeSection(0, need);
    TreeListNode** link = nullptr;
    if (parent) {
        link = &parent->firstChild;
        while (*link)
            link = &(*link)->nextSibling;
        *link = n;
    } else {
        c->roots_.push_back(n);
    }
    return n;
}

QTreeWidgetItem* TreeListFindItem(QTreeWidget* tree, QTreeWidgetItem* start, const char* text)
{
    if (!tree || !text)
        return nullptr;
    const QByteArray wanted = QByteArray(text).left(kFindCompare);
    std::function<QTreeWidgetItem*(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* first) -> QTreeWidgetItem* {
        QTreeWidgetItem* parent = first ? first->parent() : nullptr;
        int index = first ? (parent ? parent->indexOfChild(first) : tree->indexOfTopLevelItem(first)) : 0;
        for (QTreeWidgetItem* it = first; it; it = parent ? parent->child(++index) : tree->topLevelItem(++index)) {
            if (it->text(0).toUtf8().left(kFindCompare) == wanted)
                return it;
            if (it->childCount() > 0)
                if (QTreeWidgetItem* found = walk(it->child(0)))
                    return found;
        }
        return nullptr;
    };
    return walk(start ? start : tree->topLevelItem(0));
}

int TreeListSetGroupDisabled(TreeList* c, const char* group, bool disabled)
{
    if (!c || !c->view_)
        return -1;
    QTreeWidgetItem* item = TreeListFindItem(c->view_, nullptr, group);
    while (item && item->parent())
        item = TreeListFindItem(c->view_, c->view_->itemBelow(item), group);
    TreeListNode* n = item ? c->node(item) : nullptr;
    if (!n || n->cells.size() < 2 || !n->cells[1] || !n->cells[1]->desc)
        return 0;
    if (disabled && c->editor() && c->endEdit() == 0)
        return 0;
    n->cells[1]->desc->disabled = disabled ? 1 : 0;
    if (disabled)
        c->view_->collapseItem(item);
    c->view_->viewport()->update();
    return 1;
}

int TreeListDisableGroup(TreeList* c, const char* group) { return TreeListSetGroupDisabled(c, group, true); }

int TreeListEnableGroup(TreeList* c, const char* group) { return TreeListSetGroupDisabled(c, group, false); }

int TreeListValidate(TreeList* c)
{
    if (!c)
        return -1;
    return c->endEdit();
}

int TreeListDestroy(TreeList* c)
{
    if (!c)
        return 7;
    c->closeEditor();
    if (c->resizeWatcher_ && c->parent_)
        c->parent_->removeEventFilter(c->resizeWatcher_);
    delete c->view_.data();
    for (TreeListNode* n : c->roots_)
        c->freeNode(n);
    c->roots_.clear();
    c->memory_ -= kTreeListColumnSize * uint32_t(c->columns_.size());
    c->columns_.clear();
    if (c->columnTable_)
        c->memory_ -= kTreeListColumnTableSize;
    c->columnTable_ = false;
    const int left = int(c->memory_ - kTreeListControlSize);
    delete c;
    return left;
}

TreeListNode* TreeListItemFromHandle(TreeList* c, QTreeWidgetItem* item)
{
    if (!c || !c->view_ || !item || item->treeWidget() != c->view_.data())
        return nullptr;
    auto* n = reinterpret_cast<TreeListNode*>(item->data(0, Qt::UserRole).value<quintptr>());
    if (!n)
        return nullptr;
    for (const TreeListCell* cell : n->cells)
        if (cell && TreeListCrc32(cell, kCrcSpan) != cell->crc)
            return nullptr;
    return n;
}

TreeList* TreeListFromWidget(QWidget* w)
{
    for (; w; w = w->parentWidget()) {
        const QVariant v = w->property(kControlProperty);
        if (v.isValid())
            return reinterpret_cast<TreeList*>(v.value<quintptr>());
    }
    return nullptr;
}
