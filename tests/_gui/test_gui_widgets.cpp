// Balloons, the single-instance guard and message boxes from other threads.
#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <atomic>
#include <thread>

#include "_gui/balloon.h"
#include "_gui/box_broker.h"
#include "_gui/single_instance.h"
#include "libs/log/log.h"
#include "tests/_gui/qt_app.h"

namespace {

// A dialog that counts the keys it sees and closes on Esc as dialogs do.
class CountingDialog : public QDialog {
public:
    int keys = 0;
    QLineEdit* edit;
    CountingDialog()
    {
        auto* layout = new QVBoxLayout(this);
        edit = new QLineEdit(this);
        layout->addWidget(edit);
        resize(300, 200);
    }

protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        ++keys;
        QDialog::keyPressEvent(e);
    }
};

class GuiWidgets : public ::testing::Test {
protected:
    void SetUp() override { EnsureQtApp(); }
    void TearDown() override
    {
        BalloonClose();
        SetBalloonTipsEnabled(true);
        QCoreApplication::processEvents();
    }
};

}  // namespace

TEST_F(GuiWidgets, BalloonClosesOnEscWithoutTheDialogSeeingIt)
{
    CountingDialog dialog;
    dialog.show();
    dialog.activateWindow();
    dialog.edit->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    ShowBalloon("Field", "Wrong value", dialog.edit, &dialog, BALLOON_ICON_ERROR, true, 0, std::nullopt, true);
    ASSERT_NE(CurrentBalloon(), nullptr);
    EXPECT_TRUE(CurrentBalloon()->isVisible());
    QTest::keyClick(dialog.edit, Qt::Key_Escape);
    EXPECT_EQ(CurrentBalloon(), nullptr);
    EXPECT_TRUE(dialog.isVisible()) << "the dialog saw the Esc";
    EXPECT_EQ(dialog.keys, 0);
    // Without a balloon the same key reaches the dialog.
    QTest::keyClick(dialog.edit, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(GuiWidgets, OtherKeysCloseTheBalloonAndStillArrive)
{
    CountingDialog dialog;
    dialog.show();
    dialog.edit->setFocus();
    ShowBalloon("", "Type here", dialog.edit, &dialog, BALLOON_ICON_NONE, true, 0, std::nullopt, false);
    QTest::keyClick(dialog.edit, Qt::Key_Shift);
    ASSERT_NE(CurrentBalloon(), nullptr) << "Shift alone keeps the balloon";
    QTest::keyClick(dialog.edit, Qt::Key_A);
    EXPECT_EQ(CurrentBalloon(), nullptr);
    EXPECT_EQ(dialog.edit->text(), "a");
}

TEST_F(GuiWidgets, BalloonClosesOnItsTimerAndOnClicks)
{
    QWidget w;
    w.resize(200, 100);
    w.show();
    ShowBalloon("Nimbo", "Bye", &w, &w, BALLOON_ICON_INFO, true, 1, std::nullopt, false);
    ASSERT_NE(CurrentBalloon(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([] { return CurrentBalloon() == nullptr; }, 10000));

    ShowBalloon("Nimbo", "Click me away", &w, &w, BALLOON_ICON_INFO, true, 0, std::nullopt, false);
    QTest::mouseClick(&w, Qt::LeftButton);
    EXPECT_EQ(CurrentBalloon(), nullptr);
}

TEST_F(GuiWidgets, OneBalloonAtATimeAndTheirShapes)
{
    QWidget w;
    w.setGeometry(100, 100, 200, 100);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    ShowBalloon("First", "one", &w, &w, BALLOON_ICON_INFO, true, 0, std::nullopt, false);
    QPointer<BalloonWindow> first = CurrentBalloon();
    ShowBalloon("Second", "two", &w, &w, BALLOON_ICON_WARNING, true, 0, QPoint(300, 300), false);
    QCoreApplication::processEvents();
    ASSERT_NE(CurrentBalloon(), nullptr);
    EXPECT_EQ(CurrentBalloon()->title(), "Second");
    EXPECT_TRUE(first.isNull() || !first->isVisible());
    // The stem's tip sits on the point.
    EXPECT_EQ(CurrentBalloon()->pos().y(), 300);

    // Empty text shows nothing; a null anchor shows nothing.
    ShowBalloon("T", "", &w, &w, 0, true, 0, std::nullopt, false);
    EXPECT_EQ(CurrentBalloon(), nullptr);
    ShowBalloon("T", "x", nullptr, &w, 0, true, 0, std::nullopt, false);
    EXPECT_EQ(CurrentBalloon(), nullptr);

    // Rectangular tip at the anchor's bottom-left corner.
    SetBalloonTipsEnabled(false);
    ShowBalloon("T", "square", &w, &w, 0, true, 0, std::nullopt, false);
    ASSERT_NE(CurrentBalloon(), nullptr);
    EXPECT_FALSE(CurrentBalloon()->balloonStyle());
    EXPECT_EQ(CurrentBalloon()->pos(), w.mapToGlobal(w.rect().bottomLeft()));

    // Long texts are cut.
    SetBalloonTipsEnabled(true);
    ShowBalloon(QString(600, 't'), QString(5000, 'x'), &w, &w, 0, true, 0, std::nullopt, false);
    EXPECT_EQ(CurrentBalloon()->title().size(), 498);
    EXPECT_EQ(CurrentBalloon()->text().size(), 3998);
    EXPECT_FALSE(BalloonModuleTitle().isEmpty());
    EXPECT_FALSE(BalloonModuleTitle().contains('.'));
}

TEST_F(GuiWidgets, SubclassedParentClosesTheBalloonWhenItMoves)
{
    QWidget w;
    w.setGeometry(50, 50, 200, 100);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    ShowBalloon("T", "moving", &w, &w, 0, true, 0, std::nullopt, true);
    ASSERT_NE(CurrentBalloon(), nullptr);
    w.move(120, 80);
    EXPECT_TRUE(QTest::qWaitFor([] { return CurrentBalloon() == nullptr; }, 5000));
}

TEST_F(GuiWidgets, SecondInstanceFindsTheFirst)
{
    QTemporaryDir dir;
    InstanceGuard first(dir.path());
    ASSERT_TRUE(first.acquire());
    int raised = 0, closed = 0;
    first.onRaise = [&] { ++raised; };
    first.onClose = [&] { ++closed; };

    InstanceGuard second(dir.path());
    EXPECT_FALSE(second.acquire());

    std::atomic<int> result{-1};
    std::thread other([&] { result = second.contactFirst(false); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return result != -1; }, 10000));
    other.join();
    EXPECT_EQ(result, OTHER_RAISED);
    EXPECT_EQ(raised, 1);

    result = -1;
    std::thread killer([&] { result = second.contactFirst(true); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return result != -1; }, 10000));
    killer.join();
    EXPECT_EQ(result, OTHER_KILLED);
    EXPECT_EQ(closed, 1);

    // Lock held but nobody answers: the first instance is still starting.
    first.release();
    QLockFile held(first.lockPath());
    ASSERT_TRUE(held.tryLock(0));
    InstanceGuard third(dir.path());
    EXPECT_FALSE(third.acquire());
    EXPECT_EQ(third.contactFirst(false), OTHER_ALREADY_RUNNING);
    EXPECT_EQ(third.contactFirst(true), OTHER_NOT_FOUND);
    held.unlock();
    // Free again: the next start is the first.
    InstanceGuard fourth(dir.path());
    EXPECT_TRUE(fourth.acquire());
}

TEST_F(GuiWidgets, BoxesFromServiceThreads)
{
    std::vector<std::string> shown;
    SetBoxHook([&](QWidget*, const std::string& text, const std::string&, unsigned type) {
        shown.push_back(text);
        return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
    });
    StartBoxBroker();
    std::atomic<int> okResult{0}, questionResult{0};
    std::thread service([&] {
        okResult = MessageBoxPrintf(nullptr, "note %d", "Nimbo v4.6.0", MB_OK | MB_ICONWARNING, 1);
        questionResult = MessageBoxPrintf(nullptr, "sure %s?", "Nimbo v4.6.0", MB_YESNO | MB_ICONQUESTION, "really");
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return questionResult != 0; }, 10000));
    service.join();
    EXPECT_EQ(okResult, 1);
    EXPECT_EQ(questionResult, IDNO);
    EXPECT_EQ(shown, (std::vector<std::string>{"note 1", "sure really?"}));

    // After the desktop has ended, questions get their default button at once.
    StopBoxBroker();
    std::thread late([&] { questionResult = GuiMessageBox(nullptr, "late", "c", MB_YESNO | MB_DEFBUTTON2); });
    late.join();
    EXPECT_EQ(questionResult, IDNO);
    SetBoxHook(nullptr);

    // OK boxes do not wait, question boxes do.
    StartBoxBroker();
    EXPECT_EQ(GuiMessageBox(nullptr, "plain", "Nimbo v4.6.0", MB_OK), 1);
    EXPECT_EQ(OpenBoxCount(), 1);
    CloseOpenBoxes();
    QCoreApplication::processEvents();
    EXPECT_EQ(OpenBoxCount(), 0);
    StopBoxBroker();
}
