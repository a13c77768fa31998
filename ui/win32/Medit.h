// The status pane: a read-only multi-line edit without scroll bars or border that shows the page's
// status text and ignores left mouse presses and double clicks, so clicking it neither moves the
// caret nor selects while the text keeps being written.
#pragma once

#include <string>

#include "ui/win32/Win32.h"

class CMedit {
public:
    // Makes edit, a read-only multi-line edit control, the status pane.
    static void Subclass(HWND edit);
    // Shows the whole status text (UTF-8): appended text and a line changed in place scroll into
    // view, a new text shows its top.
    static void SetStatusText(HWND edit, const std::string& utf8);
    // Lines break at CR LF only; a lone CR or LF is not shown.
    static std::wstring ToDisplay(const std::string& utf8);

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                 DWORD_PTR data);
};
