// The shared test support as the BINL tests use it: a temporary folder, file helpers and the
// catcher of the BINL log lines (LogCapture log(LOG_BINL)).
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "_services/binl/binl_log.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

using nimbo::test::LogCapture;
using nimbo::test::ReadFile;
using nimbo::test::TempFolder;
using nimbo::test::WriteFile;
