#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "libs/platform/named_semaphore.h"
#include "tests/support/temp_folder.h"

using nimbo::test::TempFolder;

TEST(NamedSemaphore, OneSlotSharedByName) {
    TempFolder dir("nimbo_sem.");
    NamedSemaphore a, b, other;
    ASSERT_TRUE(a.Create("slot", dir.path()));
    ASSERT_TRUE(b.Create("slot", dir.path()));
    ASSERT_TRUE(other.Create("another", dir.path()));
    EXPECT_FALSE(a.Release()) << "nothing taken yet";
    EXPECT_TRUE(a.TryTake());
    EXPECT_FALSE(a.TryTake()) << "one slot";
    EXPECT_FALSE(b.TryTake()) << "the same name";
    EXPECT_TRUE(other.TryTake()) << "another name";
    EXPECT_TRUE(a.Release());
    EXPECT_FALSE(a.Release());
    EXPECT_TRUE(b.TryTake());
    b.Close();  // closing gives the slot back
    EXPECT_TRUE(a.TryTake());
}

TEST(NamedSemaphore, HolderThatEndsGivesTheSlotBack) {
    TempFolder dir("nimbo_sem.");
    int held[2], go[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(go[1]);
        NamedSemaphore s;
        char c = s.Create("slot", dir.path()) && s.TryTake() ? 'y' : 'n';
        (void)!write(held[1], &c, 1);
        (void)!read(go[0], &c, 1);
        _exit(0);  // without releasing
    }
    char c = 0;
    ASSERT_EQ(read(held[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    NamedSemaphore s;
    ASSERT_TRUE(s.Create("slot", dir.path()));
    EXPECT_FALSE(s.TryTake()) << "another process holds it";
    close(go[1]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(s.TryTake());
    for (int fd : {held[0], held[1], go[0]}) close(fd);
}

TEST(NamedSemaphore, RefusesWhatIsNotItsOwnFile) {
    TempFolder dir("nimbo_sem.");
    NamedSemaphore s;
    errno = 0;
    EXPECT_FALSE(s.Create("a/b", dir.path()));
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(symlink("/etc/passwd", (dir.path() + "/link").c_str()), 0);
    EXPECT_FALSE(s.Create("link", dir.path()));
    EXPECT_FALSE(s.shared());
    // Still one slot for its own users.
    EXPECT_TRUE(s.TryTake());
    EXPECT_FALSE(s.TryTake());
    EXPECT_TRUE(s.Release());
}
