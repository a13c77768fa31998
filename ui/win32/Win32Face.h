// The window face on Windows: the updater page in a native window.
#pragma once

#include "ui/Session.h"

// Runs the main window until the user closes it; returns 0 then.
int RunWin32Face(CSession& session);
