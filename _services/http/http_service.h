// Registers the HTTP server with the service host: the thread of row TH_HTTP.
#pragma once
#include <cstddef>
#include <cstdint>

void RegisterHttpService();

// The thread of row TH_HTTP and its parts (exposed for tests).
void HttpServiceThread();
int HttpStart();
void HttpStop();
