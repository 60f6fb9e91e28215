// File helpers shared by the service tests (reading and writing are the shared ones).
#pragma once
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "tests/support/temp_folder.h"

// n bytes from a seeded generator: the same bytes for the same seed.
inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

using nimbo::test::ReadFile;
using nimbo::test::WriteFile;
