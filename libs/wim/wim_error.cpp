#include "libs/wim/wim_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
thread_local WimFailure t_failure;
}  // namespace

bool WimFail(const char* step, int err) {
  // The first failure is the cause; what fails while unwinding after it is not.
  if (!t_failure.step) t_failure = WimFailure{step, err};
  return false;
}

bool WimFail(const char* step) { return WimFail(step, errno); }

void WimClearFailure() { t_failure = WimFailure{}; }

WimFailure WimLastFailure() { return t_failure; }

const char* WimFailureText() {
  thread_local char text[256];
  if (!t_failure.step) return "no cause recorded";
  if (!t_failure.err) {
    snprintf(text, sizeof text, "%s", t_failure.step);
  } else {
    char buf[128];
    snprintf(text, sizeof text, "%s: %s", t_failure.step, strerror_r(t_failure.err, buf, sizeof buf));
  }
  return text;
}
