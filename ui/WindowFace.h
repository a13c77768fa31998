// The window face, whichever toolkit draws it (ui/qt/ on Linux): the updater page in the program's
// main window. The build defines KALVO_HAVE_WINDOW when it builds one.
#pragma once

#include "ui/Session.h"

// Runs the main window until the user closes it; returns 0 then.
int RunWindowFace(CSession& session, int argc, char** argv);
