// Standard output of the terminal face.
#pragma once

namespace plat {

// Prepares standard output for UTF-8 text. True when it is a terminal that understands control
// sequences (carriage return and erase-line redraw a live progress line), false when plain lines
// are wanted (a pipe, a file, an old console).
bool PrepareConsoleOutput();

}  // namespace plat
