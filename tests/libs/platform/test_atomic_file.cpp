// The atomic replace: a process killed at any point of it leaves the old file or the new one whole
// under the target's name, never a mix.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "libs/platform/atomic_file.h"
#include "tests/support/temp_folder.h"

namespace {

using nimbo::test::TempFolder;

// The names in a folder, "." and ".." left out.
std::vector<std::string> Names(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void Put(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

std::string NewContent() {
    std::string s;
    for (int i = 0; s.size() < 32768; ++i) s += "new line " + std::to_string(i) + "\n";
    return s;
}

// The replace that the child runs: eight writes, so that a kill can fall between two of them.
[[noreturn]] void ReplaceInChild(const std::string& target, const std::string& content) {
    AtomicFile file;
    bool ok = file.Open(target, 0640);
    const size_t chunk = content.size() / 8 + 1;
    for (size_t at = 0; ok && at < content.size(); at += chunk)
        ok = file.Write(content.data() + at, std::min(chunk, content.size() - at));
    ok = ok && file.Commit();
    _exit(ok ? 0 : 1);
}

enum class Outcome { Killed, Finished, Failed };

// Runs the replace in a traced child and kills it with SIGKILL at its stopAt-th system call stop
// (entry or exit). Finished when the child got through before that.
Outcome RunAndKill(const std::string& target, const std::string& content, int stopAt) {
    pid_t pid = fork();
    if (pid < 0) return Outcome::Failed;
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(2);
        raise(SIGSTOP);
        ReplaceInChild(target, content);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return Outcome::Failed;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD));
    for (int stops = 0;;) {
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr) != 0) break;
        if (waitpid(pid, &status, 0) != pid) return Outcome::Failed;
        if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? Outcome::Finished : Outcome::Failed;
        if (WIFSIGNALED(status)) return Outcome::Failed;
        if (WIFSTOPPED(status) && WSTOPSIG(status) == (SIGTRAP | 0x80) && ++stops >= stopAt) break;
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) == pid && !WIFSIGNALED(status) && !WIFEXITED(status)) {}
    return Outcome::Killed;
}

bool CanTrace() {
    pid_t pid = fork();
    if (pid == 0) _exit(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 0 : 1);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(AtomicFile, KilledAtEveryStepLeavesOldOrNewWhole) {
    if (!CanTrace()) GTEST_SKIP() << "this machine does not allow tracing a child";
    TempFolder folder("nimbo-atomic-");
    const std::string target = folder / "settings.ini";
    const std::string old = "old content\n", fresh = NewContent();
    const std::regex temporary(R"(\.settings\.ini\.[0-9a-f]{12}\.tmp)");
    bool sawOld = false, sawNew = false, finished = false;
    for (int stopAt = 1; stopAt < 2000 && !finished; ++stopAt) {
        Put(target, old);
        chmod(target.c_str(), 0600);
        for (const std::string& name : Names(folder.path()))
            if (name != "settings.ini") unlink((folder / name).c_str());
        const Outcome outcome = RunAndKill(target, fresh, stopAt);
        ASSERT_NE(outcome, Outcome::Failed) << "stop " << stopAt;
        finished = outcome == Outcome::Finished;
        const std::string now = Read(target);
        ASSERT_TRUE(now == old || now == fresh)
            << "torn target after stop " << stopAt << ": " << now.size() << " bytes";
        // Once the new content is in place, a later kill never brings the old one back.
        if (now == old) { ASSERT_FALSE(sawNew) << "stop " << stopAt; }
        sawOld = sawOld || now == old;
        sawNew = sawNew || now == fresh;
        struct stat st {};
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, now == fresh ? 0640u : 0600u) << "stop " << stopAt;
        // What a kill leaves besides the target is a hidden temporary, never another name.
        for (const std::string& name : Names(folder.path())) {
            if (name != "settings.ini") { EXPECT_TRUE(std::regex_match(name, temporary)) << name; }
        }
        if (finished) { EXPECT_EQ(Names(folder.path()), std::vector<std::string>{"settings.ini"}); }
    }
    EXPECT_TRUE(finished);
    EXPECT_TRUE(sawOld);
    EXPECT_TRUE(sawNew);
}

TEST(AtomicFile, UncommittedTemporaryIsRemoved) {
    TempFolder folder("nimbo-atomic-");
    const std::string target = folder / "boot.ini";
    Put(target, "old");
    {
        AtomicFile file;
        ASSERT_TRUE(file.Open(target));
        ASSERT_TRUE(file.Write("new", 3));
        EXPECT_EQ(Names(folder.path()).size(), 2u);
    }
    EXPECT_EQ(Names(folder.path()), std::vector<std::string>{"boot.ini"});
    EXPECT_EQ(Read(target), "old");

    // Two writers never share a temporary.
    AtomicFile a, b;
    ASSERT_TRUE(a.Open(target));
    ASSERT_TRUE(b.Open(target));
    EXPECT_NE(a.TempPath(), b.TempPath());
}

TEST(AtomicFile, FailedCommitKeepsTargetAndRemovesTemporary) {
    TempFolder folder("nimbo-atomic-");
    // A folder under the target's name cannot be replaced by a file.
    const std::string target = folder / "store";
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    EXPECT_FALSE(ReplaceFile(target, "x", 1));
    EXPECT_EQ(Names(folder.path()), std::vector<std::string>{"store"});
    rmdir(target.c_str());
}

TEST(AtomicFile, CommitIfAbsentKeepsExistingFile) {
    TempFolder folder("nimbo-atomic-");
    const std::string target = folder / "unattend.txt";
    AtomicFile first;
    ASSERT_TRUE(first.Open(target, 0644) && first.Write("one", 3));
    ASSERT_TRUE(first.CommitIfAbsent());
    AtomicFile second;
    ASSERT_TRUE(second.Open(target, 0644) && second.Write("two", 3));
    EXPECT_TRUE(second.CommitIfAbsent());
    EXPECT_EQ(Read(target), "one");
    EXPECT_EQ(Names(folder.path()), std::vector<std::string>{"unattend.txt"});
}
