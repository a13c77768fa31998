// The window face: the updater page in a Qt window.
#pragma once

#include "ui/Session.h"

// Runs the main window until the user closes it; returns 0 then.
int RunQtFace(CSession& session, int argc, char** argv);
