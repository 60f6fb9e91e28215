// A main window connected to the scripted service end, for the desktop tests.
#pragma once
#include <gtest/gtest.h>

#include <QTest>
#include <memory>

#include "_gui/console_client.h"
#include "_gui/main_window.h"
#include "tests/_gui/fake_console.h"
#include "tests/_gui/gui_test_support.h"

class ConsoleWindowFixture : public ::testing::Test {
protected:
    void SetUp() override { ResetGuiConsole(); }
    void TearDown() override
    {
        window.reset();
        ResetGuiConsole();
        fake.Stop();
    }
    bool Connect()
    {
        if (!fake.Start())
            return false;
        GuiConsole().model.settings.ConsolePort = fake.port();
        return ConnectToService("127.0.0.1") == 1;
    }
    // Connects and opens the main window once its start-up requests are answered.
    bool OpenWindow(uint32_t mask = 0x5)
    {
        if (!Connect())
            return false;
        window = std::make_unique<MainWindow>(mask, "/nonexistent/Nimbo.chm");
        const ConsoleModel& m = GuiConsole().model;
        return QTest::qWaitFor([&] { return m.hostAddresses.size() == 2 && !m.workingDirectories.empty(); }, 15000);
    }
    bool WaitForRequest(uint32_t id)
    {
        return QTest::qWaitFor([&] { return fake.HasRequest(id); }, 10000);
    }

    BoxRecorder boxes;
    FakeConsole fake;
    std::unique_ptr<MainWindow> window;
};
