#include "libs/platform/share_info.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <vector>

extern char** environ;

namespace {
std::mutex g_configLock;
std::string g_configFile;

struct ToolResult {
    bool started = false;
    int status = -1;  // exit code, or -1 when killed or not started
    std::string out;
    std::string err;
};

// Runs a tool with its output captured; it is killed after 10 s.
ToolResult RunTool(const std::vector<std::string>& argv) {
    ToolResult r;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return r;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return r;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return r;
    }
    r.started = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        int n = poll(fds, 2, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                std::string& dst = i == 0 ? r.out : r.err;
                if (dst.size() < 65536) dst.append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int st = 0;
    if (open > 0) kill(pid, SIGKILL);
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    // posix_spawnp reports a missing program as exit code 127 from the child.
    if (r.status == 127) r.started = false;
    return r;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return s.substr(i);
}

bool Denied(const ToolResult& r) {
    return r.err.find("Permission denied") != std::string::npos ||
           r.err.find("NT_STATUS_ACCESS_DENIED") != std::string::npos;
}
}  // namespace

void SetShareConfigFile(const std::string& file) {
    std::lock_guard<std::mutex> lock(g_configLock);
    g_configFile = file;
}

int ShareGetPath(const std::string& name, std::string* path) {
    path->clear();
    std::string conf;
    {
        std::lock_guard<std::mutex> lock(g_configLock);
        conf = g_configFile;
    }
    std::vector<std::string> argv = {"testparm", "-s", "--section-name=" + name, "--parameter-name=path"};
    if (!conf.empty()) argv.push_back(conf);
    ToolResult tp = RunTool(argv);
    bool anyTool = tp.started;
    if (tp.started && tp.status == 0) {
        std::string p = Trim(tp.out);
        if (!p.empty() && p.find('\n') == std::string::npos) {
            *path = p;
            return kShareOk;
        }
    }
    bool denied = tp.started && Denied(tp);
    // A private configuration names every share the test wants: no user shares then.
    if (conf.empty()) {
        ToolResult us = RunTool({"net", "usershare", "info", name});
        anyTool = anyTool || us.started;
        if (us.started && us.status == 0) {
            size_t at = us.out.find("\npath=");
            if (at == std::string::npos && us.out.rfind("path=", 0) == 0)
                at = 0;
            else if (at != std::string::npos)
                ++at;
            if (at != std::string::npos) {
                size_t end = us.out.find('\n', at);
                *path = Trim(us.out.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5));
                if (!path->empty()) return kShareOk;
            }
        }
        denied = denied || (us.started && Denied(us));
    }
    if (!anyTool) return kShareNoServer;
    return denied ? kShareAccessDenied : kShareNotFound;
}
