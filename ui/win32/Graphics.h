// The page's picture and the choice of a face for the status texts.
#pragma once

#include <string>

#include "ui/win32/Win32.h"

namespace win32ui {

// The PNG in resource id, scaled to fill width x height pixels with its proportions kept (what
// sticks out on either side is trimmed). Null when it cannot be read; the caller owns the bitmap.
HBITMAP LoadPicture(int id, int width, int height);

// A font like base, of the first installed face of a list of Chinese UI faces that has a glyph
// for every character of sample. Null when base has them all, or when no such face is installed:
// base will do then. The caller owns the font.
HFONT ChooseFontFor(HFONT base, const std::wstring& sample);

// Whether font has a glyph for every character of text.
bool FontCovers(HFONT font, const std::wstring& text);

}  // namespace win32ui
