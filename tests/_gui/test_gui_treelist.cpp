// The tree-list control on the offscreen platform: columns, rows, in-place editors, the
// validation callback, keyboard moves, disabled groups, record checks and the memory count.
#include <gtest/gtest.h>

#include <QKeyEvent>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <cstring>
#include <string>
#include <vector>

#include "_gui/control_ids.h"
#include "_gui/tree_list.h"
#include "tests/_gui/qt_app.h"

namespace {

struct Call {
    uint32_t id;
    std::string text;
};

class TreeListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureQtApp();
        parent = new QWidget;
        parent->resize(420, 300);
        other = new QPushButton("other", parent);
        other->setGeometry(0, 0, 60, 20);
        cancel = new QPushButton("Cancel", parent);
        cancel->setGeometry(70, 0, 60, 20);
        parent->show();
        parent->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(parent));
    }
    void TearDown() override
    {
        if (control)
            TreeListDestroy(control);
        delete parent;
    }
    // Two groups of two rows each, and a list row; values come from the fields below.
    void Build(uint32_t flags = 0x10)
    {
        const QRect r(10, 30, 400, 260);
        control = TreeListCreate(
            parent, CTL_DHCP_TREE, CTL_DHCP_TREE_HEADER, &r, flags,
            [this](TreeList*, const TreeListItemDesc* d, const char* text, TreeListReplacement* repl) {
                calls.push_back({d->id, text});
                if (std::string(text) == "bad")
                    return 0;
                if (std::string(text) == "swap") {
                    std::strcpy(repl->text, "swapped");
                    repl->set = true;
                }
                return 1;
            },
            [this](TreeList*, const TreeListItemDesc* d, QPoint) { helps.push_back(d ? d->id : 0); });
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(TreeListAddColumn(control, "Variable", 110), 8);
        EXPECT_EQ(TreeListAddColumn(control, "Value", 0), 8);
        groupA = AddRow(nullptr, TL_GROUP, 0x100, "Alpha");
        a1 = AddRow(groupA, TL_EDIT, 0x101, "  opt_1", fieldA1, sizeof fieldA1);
        a2 = AddRow(groupA, TL_EDIT, 0x102, "  opt_2", fieldA2, sizeof fieldA2);
        groupB = AddRow(nullptr, TL_GROUP, 0x200, "Beta");
        b1 = AddRow(groupB, TL_NUMBER, 0x201, "  num", fieldB1, sizeof fieldB1);
        TreeListItemDesc list;
        list.type = TL_LIST;
        list.id = 0x202;
        list.name = "Mode";
        list.valueSource = fieldB2;
        list.valueSize = sizeof fieldB2;
        list.choices = {"1", "3"};
        b2 = TreeListAddItem(control, groupB, &list);
        ASSERT_NE(b2, nullptr);
        tree()->expandAll();
    }
    TreeListNode* AddRow(TreeListNode* under, uint32_t type, uint32_t id, const char* name, const char* value = nullptr,
                         uint32_t size = 0)
    {
        TreeListItemDesc d;
        d.type = type;
        d.id = id;
        d.name = name;
        d.valueSource = value;
        d.valueSize = size;
        TreeListNode* n = TreeListAddItem(control, under, &d);
        EXPECT_NE(n, nullptr);
        return n;
    }
    QTreeWidget* tree() { return control->tree(); }
    QPoint CellCenter(TreeListNode* n, int column)
    {
        return tree()->visualRect(tree()->indexFromItem(n->item, column)).center();
    }
    void ClickCell(TreeListNode* n, int column = 1)
    {
        QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {}, CellCenter(n, column));
    }
    QLineEdit* LineEditor() { return qobject_cast<QLineEdit*>(control->editor()); }
    void Type(const QString& text)
    {
        QLineEdit* le = LineEditor();
        ASSERT_NE(le, nullptr);
        le->selectAll();
        QTest::keyClicks(le, text);
    }

    QWidget* parent = nullptr;
    QPushButton* other = nullptr;
    QPushButton* cancel = nullptr;
    TreeList* control = nullptr;
    TreeListNode *groupA = nullptr, *a1 = nullptr, *a2 = nullptr, *groupB = nullptr, *b1 = nullptr, *b2 = nullptr;
    char fieldA1[50] = "first";
    char fieldA2[50] = "second";
    char fieldB1[8] = "42";
    char fieldB2[5] = "3";
    std::vector<Call> calls;
    std::vector<uint32_t> helps;
};

TEST_F(TreeListTest, ColumnsCloseAtWidthZeroAndAtSeventeen)
{
    EXPECT_EQ(TreeListAddColumn(nullptr, "x", 10), 7);
    control = TreeListCreate(parent, 1, 2, nullptr, 0, nullptr, nullptr);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->memoryCounter(), kTreeListControlSize);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(TreeListAddColumn(control, "c", 10), 8);
    EXPECT_EQ(control->columnCount(), 17);
    EXPECT_EQ(control->memoryCounter(), kTreeListControlSize + kTreeListColumnTableSize + 17 * kTreeListColumnSize);
    EXPECT_EQ(TreeListDestroy(control), 0);

    control = TreeListCreate(parent, 1, 2, nullptr, 0, nullptr, nullptr);
    TreeListAddColumn(control, "Variable", 110);
    TreeListAddColumn(control, "Value", 0);
    EXPECT_TRUE(control->columnsClosed());
    EXPECT_EQ(TreeListAddColumn(control, "late", 30), 8);
    EXPECT_EQ(control->columnCount(), 2);
    EXPECT_EQ(control->tree()->columnCount(), 2);
}

TEST_F(TreeListTest, RowsCountTheirMemoryAndDestroyReleasesAll)
{
    Build();
    const uint32_t perRow = kTreeListNodeSize + 2 * 8 + 2 * kTreeListCellSize;
    EXPECT_EQ(control->memoryCounter(),
              kTreeListControlSize + kTreeListColumnTableSize + 2 * kTreeListColumnSize + 6 * perRow);
    EXPECT_EQ(tree()->topLevelItemCount(), 2);
    EXPECT_EQ(a1->item->text(1), "first");
    EXPECT_EQ(b2->item->text(0), "Mode");
    // Values are copied up to their field size only.
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    TreeListNode* cut = AddRow(groupA, TL_EDIT, 0x103, "  cut", unterminated, sizeof unterminated);
    EXPECT_STREQ(cut->cells[1]->text, "abcd");
    EXPECT_EQ(TreeListDestroy(control), 0);
    control = nullptr;
    EXPECT_EQ(TreeListDestroy(nullptr), 7);
}

TEST_F(TreeListTest, FindItemComparesNamesDepthFirst)
{
    Build();
    EXPECT_EQ(TreeListFindItem(tree(), nullptr, "Beta"), groupB->item);
    EXPECT_EQ(TreeListFindItem(tree(), nullptr, "  opt_2"), a2->item);
    EXPECT_EQ(TreeListFindItem(tree(), groupB->item, "  opt_1"), nullptr);
    EXPECT_EQ(TreeListFindItem(tree(), nullptr, "beta"), nullptr);
    EXPECT_EQ(TreeListFindItem(tree(), nullptr, "missing"), nullptr);
}

TEST_F(TreeListTest, ClickEditsAndAcceptedTextIsStoredWithItsCheck)
{
    Build();
    ClickCell(a1);
    ASSERT_NE(LineEditor(), nullptr);
    EXPECT_EQ(control->editedItem(), a1->item);
    EXPECT_EQ(control->editedColumn(), 1);
    EXPECT_EQ(LineEditor()->maxLength(), int(sizeof fieldA1) - 1);
    Type("changed");
    EXPECT_EQ(TreeListValidate(control), 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].id, 0x101u);
    EXPECT_EQ(calls[0].text, "changed");
    EXPECT_EQ(control->editor(), nullptr);
    EXPECT_STREQ(a1->cells[1]->text, "changed");
    EXPECT_EQ(a1->cells[1]->changed, 1u);
    EXPECT_EQ(a1->item->text(1), "changed");
    EXPECT_EQ(TreeListItemFromHandle(control, a1->item), a1);
    EXPECT_EQ(TreeListValidate(control), -2);
    EXPECT_EQ(TreeListValidate(nullptr), -1);

    // A replacement text handed back by the owner is stored instead.
    ClickCell(a2);
    Type("swap");
    EXPECT_EQ(TreeListValidate(control), 1);
    EXPECT_STREQ(a2->cells[1]->text, "swapped");
}

// Escape in a cell's editor ends that edit only: the cell keeps its value and the key does
// not reach the window (a dialog would be cancelled by it); outside an editor it goes on.
TEST_F(TreeListTest, EscapeEndsTheEditOnly)
{
    struct EscapeCounter : QObject {
        int seen = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape)
                ++seen;
            return false;
        }
    } escapes;
    Build();
    parent->installEventFilter(&escapes);
    ClickCell(a1);
    Type("dropped");
    ASSERT_NE(LineEditor(), nullptr);
    QTest::keyClick(LineEditor(), Qt::Key_Escape);
    EXPECT_EQ(control->editor(), nullptr);
    EXPECT_STREQ(a1->cells[1]->text, "first");
    EXPECT_EQ(a1->item->text(1), "first");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(escapes.seen, 0);
    QTest::keyClick(tree(), Qt::Key_Escape);
    EXPECT_EQ(escapes.seen, 1);
    parent->removeEventFilter(&escapes);
}

TEST_F(TreeListTest, UnchangedTextNeverCallsBack)
{
    Build();
    ClickCell(a1);
    ASSERT_NE(LineEditor(), nullptr);
    EXPECT_EQ(TreeListValidate(control), 1);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(a1->cells[1]->changed, 0u);
}

TEST_F(TreeListTest, RefusedEditStaysOpenSelectedAndDownDoesNotMove)
{
    Build();
    ClickCell(a1);
    Type("bad");
    EXPECT_EQ(TreeListValidate(control), 0);
    ASSERT_NE(LineEditor(), nullptr);
    EXPECT_EQ(LineEditor()->selectedText(), "bad");
    EXPECT_STREQ(a1->cells[1]->text, "first");
    QTest::keyClick(LineEditor(), Qt::Key_Down);
    EXPECT_EQ(control->editedItem(), a1->item);
    EXPECT_EQ(calls.size(), 2u);
    // A click elsewhere is swallowed while the edit is refused.
    ClickCell(a2);
    EXPECT_EQ(control->editedItem(), a1->item);
    // Focus leaving for another control ends the edit; a refusal takes it back.
    other->setFocus();
    EXPECT_EQ(control->editedItem(), a1->item);
    EXPECT_TRUE(LineEditor()->hasFocus());
    // The Cancel button takes the focus without ending the edit.
    control->addFocusExempt(cancel);
    const size_t before = calls.size();
    cancel->setFocus();
    EXPECT_EQ(calls.size(), before);
    EXPECT_NE(control->editor(), nullptr);
    LineEditor()->setFocus();
    Type("good");
    other->setFocus();
    EXPECT_EQ(control->editor(), nullptr);
    EXPECT_STREQ(a1->cells[1]->text, "good");
}

TEST_F(TreeListTest, DownAndUpMoveToEditableRowsSkippingGroups)
{
    Build();
    ClickCell(a2);
    Type("two");
    QTest::keyClick(LineEditor(), Qt::Key_Down);
    EXPECT_STREQ(a2->cells[1]->text, "two");
    EXPECT_EQ(control->editedItem(), b1->item);  // the group row Beta is skipped
    QTest::keyClick(LineEditor(), Qt::Key_Down);
    ASSERT_NE(qobject_cast<QComboBox*>(control->editor()), nullptr);
    EXPECT_EQ(control->editedItem(), b2->item);
    // Down from the last editable row keeps the editor where it is.
    QTest::keyClick(control->editor(), Qt::Key_Down);
    EXPECT_EQ(control->editedItem(), b2->item);
    QTest::keyClick(control->editor(), Qt::Key_Up);
    EXPECT_EQ(control->editedItem(), b1->item);
    QTest::keyClick(LineEditor(), Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(control->editor(), nullptr);
    // Right arrow on a row starts editing its value.
    tree()->setCurrentItem(a1->item);
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_Right);
    EXPECT_EQ(control->editedItem(), a1->item);
}

TEST_F(TreeListTest, EditorsFollowTheirTypes)
{
    Build();
    ClickCell(b1);
    ASSERT_NE(LineEditor(), nullptr);
    EXPECT_NE(LineEditor()->validator(), nullptr);
    QTest::keyClicks(LineEditor(), "x7");
    EXPECT_EQ(LineEditor()->text(), "427");
    EXPECT_EQ(TreeListValidate(control), 1);

    ClickCell(b2);
    auto* combo = qobject_cast<QComboBox*>(control->editor());
    ASSERT_NE(combo, nullptr);
    EXPECT_FALSE(combo->isEditable());
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->currentText(), "3");
    combo->setCurrentIndex(0);
    EXPECT_EQ(TreeListValidate(control), 1);
    EXPECT_EQ(calls.back().id, 0x202u);
    EXPECT_EQ(calls.back().text, "1");

    // An editable list puts an unknown value first and ends with "Edit...".
    TreeListItemDesc d;
    d.type = TL_COMBO;
    d.id = 0x203;
    d.name = "Server";
    d.valueSource = "10.0.0.1";
    d.valueSize = 16;
    d.choices = {"Automatic", "None"};
    TreeListNode* c = TreeListAddItem(control, groupB, &d);
    ClickCell(c);
    combo = qobject_cast<QComboBox*>(control->editor());
    ASSERT_NE(combo, nullptr);
    ASSERT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->itemText(0), "10.0.0.1");
    EXPECT_EQ(combo->itemText(3), "Edit...");
    EXPECT_EQ(combo->lineEdit()->maxLength(), 15);
}

TEST_F(TreeListTest, DisabledGroupNeitherExpandsNorEdits)
{
    Build();
    EXPECT_EQ(TreeListDisableGroup(control, "Alpha"), 1);
    EXPECT_FALSE(groupA->item->isExpanded());
    tree()->expandItem(groupA->item);
    EXPECT_FALSE(groupA->item->isExpanded());
    QTest::mouseDClick(tree()->viewport(), Qt::LeftButton, {}, CellCenter(groupA, 0));
    EXPECT_FALSE(groupA->item->isExpanded());
    // Navigation skips its rows.
    ClickCell(b1);
    QTest::keyClick(LineEditor(), Qt::Key_Up);
    EXPECT_EQ(control->editedItem(), b1->item);
    EXPECT_EQ(TreeListValidate(control), 1);

    EXPECT_EQ(TreeListEnableGroup(control, "Alpha"), 1);
    tree()->expandItem(groupA->item);
    EXPECT_TRUE(groupA->item->isExpanded());
    ClickCell(a1);
    EXPECT_EQ(control->editedItem(), a1->item);
    EXPECT_EQ(TreeListDisableGroup(control, "Nope"), 0);
    EXPECT_EQ(TreeListDisableGroup(nullptr, "Alpha"), -1);
    // A pending edit that is refused keeps the group enabled.
    Type("bad");
    EXPECT_EQ(TreeListDisableGroup(control, "Alpha"), 0);
}

TEST_F(TreeListTest, DamagedCellRefusesClicksAndEdits)
{
    Build();
    a1->cells[1]->text[0] ^= 0x20;  // behind the control's back
    EXPECT_EQ(TreeListItemFromHandle(control, a1->item), nullptr);
    ClickCell(a1);
    EXPECT_EQ(control->editor(), nullptr);
    control->beginEdit(a1->item, 1);
    EXPECT_EQ(control->editor(), nullptr);
    EXPECT_EQ(TreeListAddItem(control, a1, nullptr), nullptr);
    TreeListItemDesc d;
    d.type = TL_EDIT;
    d.name = "child";
    EXPECT_EQ(TreeListAddItem(control, a1, &d), nullptr);
    // The other rows go on working.
    ClickCell(a2);
    EXPECT_EQ(control->editedItem(), a2->item);
}

TEST_F(TreeListTest, HiddenHeaderKeepsWidthsAndF1AsksForHelp)
{
    Build(0x1000);
    EXPECT_TRUE(tree()->isHeaderHidden());
    EXPECT_EQ(tree()->visualItemRect(groupA->item).top(), 0);
    EXPECT_EQ(tree()->columnWidth(0), 110);
    EXPECT_EQ(tree()->geometry(), QRect(10, 30, 400, 260));
    tree()->setCurrentItem(a2->item);
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_F1);
    ASSERT_EQ(helps.size(), 1u);
    EXPECT_EQ(helps[0], 0x102u);
}

// The first column widens for names longer than it, the groups' in bold, each behind its
// row's indentation; short names keep the width asked for.
TEST_F(TreeListTest, FirstColumnShowsEveryNameWhole)
{
    Build(0x1000);
    EXPECT_EQ(tree()->columnWidth(0), 110);
    TreeListNode* options = AddRow(nullptr, TL_GROUP, 0x300, "DHCP Options");
    AddRow(nullptr, TL_GROUP, 0x400, "Static Leases");
    AddRow(options, TL_EDIT, 0x301, "  a rather long variable name", fieldA1, sizeof fieldA1);
    tree()->expandAll();
    QCoreApplication::processEvents();
    EXPECT_GT(tree()->columnWidth(0), 110);
    QFont bold = tree()->font();
    bold.setBold(true);
    for (QTreeWidgetItemIterator it(tree()); *it; ++it) {
        const QString name = (*it)->text(0);
        const QFontMetrics metrics((*it)->parent() ? tree()->font() : bold);
        const QRect cell = tree()->visualRect(tree()->indexFromItem(*it, 0));
        // The cell's margins take 3 pixels; the text's width is rounded.
        EXPECT_GT(cell.width() - 3, metrics.horizontalAdvance(name)) << name.toStdString();
    }
}

TEST_F(TreeListTest, CrcIsTheReflectedIeeeSum)
{
    EXPECT_EQ(TreeListCrc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(TreeListCrc32("56789", 5, TreeListCrc32("1234", 4)), 0xCBF43926u);
}

}  // namespace
