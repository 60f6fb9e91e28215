// Small helpers shared by the XML tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// The temporary folder and the file helpers are the shared ones (nimbo::test::TempFolder,
// ReadFile, WriteFile).
#include "tests/support/temp_folder.h"
