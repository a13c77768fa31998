// The terminal face: the same page in a terminal, for scripts, service benches and machines
// without a display.
#pragma once

#include "ui/Session.h"

// Runs the page until the session ends; returns the exit code.
int RunConsoleFace(CSession& session);
