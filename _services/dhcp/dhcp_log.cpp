#include "dhcp_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<DhcpLogSink> g_sink{nullptr};
std::atomic<DhcpLogGate> g_gate{nullptr};
}  // namespace

void SetDhcpLogSink(DhcpLogSink sink, DhcpLogGate gate) {
    g_sink = sink;
    g_gate = gate;
}

bool DhcpLogEnabled(int level) {
    if (!g_sink.load()) return false;
    DhcpLogGate gate = g_gate;
    return level < 0 || !gate || level <= gate();
}

void DhcpLog(int level, const char* format, ...) {
    DhcpLogSink sink = g_sink;
    if (!sink) return;
    DhcpLogGate gate = g_gate;
    if (level >= 0 && gate && level > gate()) return;
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    sink(level, text);
}

int DhcpThreadId() {
    return static_cast<int>(::syscall(SYS_gettid));
}
