// The root confinement: paths, links and case twins, each resolved beneath the root or refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "libs/platform/beneath.h"
#include "tests/support/temp_folder.h"

namespace {

struct Tree {
    nimbo::test::TempFolder folder{"nimbo-beneath-"};
    std::string top = folder.path(), root = top + "/root";
    int rootFd = -1;
    Tree() {
        mkdir(root.c_str(), 0755);
        mkdir((top + "/outside").c_str(), 0755);
        nimbo::test::WriteFile(top + "/outside/secret", "secret");
        mkdir((root + "/Boot").c_str(), 0755);
        nimbo::test::WriteFile(root + "/Boot/PXEboot.N12", "pxe");
        nimbo::test::WriteFile(root + "/twin", "1");
        nimbo::test::WriteFile(root + "/TWIN", "2");
        nimbo::test::WriteFile(root + "/Only", "only");
        symlink("PXEboot.N12", (root + "/Boot/alias").c_str());        // relative, stays inside
        symlink("Boot", (root + "/dirlink").c_str());                  // a folder inside
        symlink("../..", (root + "/Boot/up").c_str());                 // relative, leads out
        symlink("/etc", (root + "/absout").c_str());                   // absolute, leads out
        symlink((root + "/Only").c_str(), (root + "/absin").c_str());  // absolute, names a file inside
        symlink("loop2", (root + "/loop1").c_str());
        symlink("loop1", (root + "/loop2").c_str());
        rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    ~Tree() { close(rootFd); }
};

// What a descriptor reads, "<fd error>" for none.
std::string ReadFd(int fd) {
    if (fd < 0) return "<fd error>";
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    return n < 0 ? "<read error>" : std::string(buffer, size_t(n));
}

constexpr const char* kMissing = "ENOENT";
constexpr const char* kRefused = "refused";  // EXDEV or ELOOP: the root's boundary

// The outcome of an open as a word: the content read, or why there was none.
std::string Outcome(int fd) {
    if (fd >= 0) return ReadFd(fd);
    if (errno == ENOENT) return kMissing;
    if (errno == EXDEV || errno == ELOOP) return kRefused;
    return "errno " + std::to_string(errno);
}

}  // namespace

TEST(Beneath, OpensWithinTheRootOnly) {
    Tree t;
    ASSERT_GE(t.rootFd, 0);
    struct Case {
        const char* path;
        std::string exact, unique, first;  // OpenBeneath, then the two case policies
    } cases[] = {
        {"Boot/PXEboot.N12", "pxe", "pxe", "pxe"},
        {"boot/pxeboot.n12", kMissing, "pxe", "pxe"},
        {"twin", "1", "1", "1"},
        {"TWIN", "2", "2", "2"},
        {"Twin", kMissing, kMissing, "first twin"},  // two names differ only in case
        {"Boot/alias", "pxe", "pxe", "pxe"},
        {"BOOT/ALIAS", kMissing, "pxe", "pxe"},
        {"dirlink/PXEboot.N12", "pxe", "pxe", "pxe"},
        {"DIRLINK/pxeboot.n12", kMissing, "pxe", "pxe"},
        {"Boot/../Only", "only", "only", "only"},
        {"../outside/secret", kRefused, kRefused, kRefused},
        {"Boot/../../outside/secret", kRefused, kRefused, kRefused},
        {"Boot/up/outside/secret", kRefused, kRefused, kRefused},
        {"boot/UP/outside/secret", kMissing, kRefused, kRefused},
        {"/etc/passwd", kRefused, kRefused, kRefused},
        {"absout/passwd", kRefused, kRefused, kRefused},
        {"ABSOUT/passwd", kMissing, kRefused, kRefused},
        {"absin", kRefused, kRefused, kRefused},  // absolute links are refused even when they name the inside
        {"loop1", kRefused, kRefused, kRefused},
        {"missing", kMissing, kMissing, kMissing},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Outcome(OpenBeneath(t.rootFd, c.path, O_RDONLY)), c.exact) << c.path;
        EXPECT_EQ(Outcome(OpenBeneathNoCase(t.rootFd, c.path, O_RDONLY, CaseMatch::Unique)), c.unique) << c.path;
        std::string first = Outcome(OpenBeneathNoCase(t.rootFd, c.path, O_RDONLY, CaseMatch::First));
        if (c.first == "first twin") {
            EXPECT_TRUE(first == "1" || first == "2") << c.path << ": " << first;
        } else {
            EXPECT_EQ(first, c.first) << c.path;
        }
    }
}

TEST(Beneath, DescriptorsAreCloseOnExec) {
    Tree t;
    int fd = OpenBeneath(t.rootFd, "Only", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    EXPECT_EQ(OpenBeneath(-1, "Only", O_RDONLY), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Beneath, LinksSeenWithoutFollowing) {
    Tree t;
    struct Case {
        const char* path;
        bool isLink;
        const char* text;  // nullptr: no link text (not a link, or refused)
    } cases[] = {
        {"Boot/up", true, "../.."}, {"absout", true, "/etc"}, {"Boot/alias", true, "PXEboot.N12"},
        {"loop1", true, "loop2"},   {"Only", false, nullptr}, {"Boot/up/etc", false, nullptr},
    };
    for (const Case& c : cases) {
        struct stat st {};
        const bool seen = LstatBeneath(t.rootFd, c.path, &st);
        EXPECT_EQ(seen && S_ISLNK(st.st_mode), c.isLink) << c.path;
        std::string text;
        EXPECT_EQ(ReadLinkBeneath(t.rootFd, c.path, &text), c.text != nullptr) << c.path;
        if (c.text) { EXPECT_EQ(text, c.text) << c.path; }
    }
    struct stat st {};
    EXPECT_FALSE(LstatBeneath(t.rootFd, "Boot/up/outside", &st));  // the folders above stay inside
    EXPECT_FALSE(StatBeneath(t.rootFd, "Boot/up", &st));           // following it would leave
    EXPECT_TRUE(StatBeneath(t.rootFd, "Boot/alias", &st) && S_ISREG(st.st_mode));
}

TEST(Beneath, EntryAndNamesToCreate) {
    Tree t;
    BeneathEntry entry;
    ASSERT_TRUE(entry.Open(t.rootFd, "Boot/PXEboot.N12"));
    EXPECT_EQ(entry.name(), "PXEboot.N12");
    struct stat st {};
    EXPECT_TRUE(StatEntry(entry.dir(), entry.name().c_str(), &st) && S_ISREG(st.st_mode));
    EXPECT_TRUE(StatEntry(entry.dir(), "up", &st) && S_ISLNK(st.st_mode));  // leads out: itself
    BeneathEntry root, up, dots;
    EXPECT_TRUE(root.Open(t.rootFd, ".") && root.IsRoot());
    EXPECT_FALSE(up.Open(t.rootFd, "Boot/up/file"));
    EXPECT_FALSE(dots.Open(t.rootFd, "Boot/.."));

    std::string found;
    EXPECT_TRUE(FindBeneathNoCase(t.rootFd, "BOOT/NewFile", CaseMatch::First, true, &found));
    EXPECT_EQ(found, "Boot/NewFile");
    EXPECT_FALSE(FindBeneathNoCase(t.rootFd, "BOOT/NewFile", CaseMatch::First, false, &found));
    EXPECT_FALSE(FindBeneathNoCase(t.rootFd, "NoFolder/NewFile", CaseMatch::First, true, &found));
    EXPECT_TRUE(FindBeneathNoCase(t.rootFd, "boot/PXEBOOT.n12", CaseMatch::Unique, false, &found));
    EXPECT_EQ(found, "Boot/PXEboot.N12");
}
