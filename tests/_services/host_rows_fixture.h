// The service host in-process, as the program starts it: settings from an INI of the test's
// own in a temporary folder, the rows of the services named there started by the boot thread,
// the console port known; stopped by the thread table after the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "tests/support/temp_folder.h"

class HostRowsTest : public ::testing::Test {
protected:
    // Writes ini (its "@DIR@" replaced by the folder), registers the services and starts the
    // host; services are the bits that must be down again after the test.
    void StartHost(const char* folderPrefix, const std::string& ini, uint32_t services, void (*registerServices)()) {
        folder_.emplace(folderPrefix);
        dir_ = folder_->path();
        services_ = services;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        std::string text = ini;
        for (size_t at; (at = text.find("@DIR@")) != std::string::npos;) text.replace(at, 5, dir_);
        const std::string file = dir_ + "/Nimbo.ini";
        std::ofstream(file) << text;
        setenv("NIMBO_INI", file.c_str(), 1);
        registerServices();
        ServiceBootThread();
        port_ = static_cast<uint16_t>(WaitConsoleListening(10000));
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        if (dir_.empty()) return;
        StopThreads(0);
        JoinThreadRow(TH_CONSOLE, 5000);
        EXPECT_EQ(GetRunningServices() & services_, 0u);
        folder_.reset();  // removed after the threads have stopped
    }
    std::optional<nimbo::test::TempFolder> folder_;
    std::string dir_;
    uint16_t port_ = 0;
    uint32_t services_ = 0;
};
