// What this machine lets a test do. A test that needs what the machine cannot give skips
// (GoogleTest's "[  SKIPPED ]", which CTest counts as skipped); it never passes instead.
//
//   NIMBO_SKIP_IF(NeedRoot());
//   NIMBO_SKIP_IF(NeedPrivateNetwork());
//   NIMBO_SKIP_IF(NeedTools({"wimlib-imagex", "xmllint"}));
#pragma once
#include <initializer_list>
#include <string>

namespace nimbo::test {

bool IsRoot();
// True when the program is found on PATH and may be run.
bool OnPath(const std::string& program);
// Moves the calling process into a new private network namespace with loopback up, so that
// the services' fixed ports are free and nothing leaves the machine. False when the machine
// does not allow it (not root, no namespaces). Every call makes a new namespace.
bool EnterPrivateNetwork();

// Each gives why the test cannot run here, or "" when it can.
std::string NeedRoot();
std::string NeedPrivateNetwork();  // enters a new private network namespace when it can
std::string NeedTools(std::initializer_list<const char*> programs);

}  // namespace nimbo::test

// Skips the running test (or, in SetUp, the test about to run) when reason is not empty.
#define NIMBO_SKIP_IF(reason)                                      \
    do {                                                           \
        const std::string nimboSkipWhy_ = (reason);                \
        if (!nimboSkipWhy_.empty()) GTEST_SKIP() << nimboSkipWhy_; \
    } while (0)
