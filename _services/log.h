// Logging lives in libs/log; this name stays until the includes are rewritten.
#pragma once
#include "libs/log/log.h"
