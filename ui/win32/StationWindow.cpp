// The station window on Windows: a list view with one row per device run (port, adapter serial
// number, payload, a drawn progress bar, time, outcome); closing it ends every child cleanly.
#include <cstdio>
#include <vector>

#include "platform/Spawn.h"
#include "platform/Time.h"
#include "ui/station/StationFace.h"
#include "ui/win32/Graphics.h"
#include "ui/win32/Win32.h"

namespace {

constexpr UINT_PTR TIMER_REFRESH = 1;
constexpr int COL_PROGRESS = 3;
const wchar_t CLASS_NAME[] = L"KalvoStationWindow";

struct StationWnd {
    CStation* station = nullptr;
    HWND hwnd = nullptr, label = nullptr, list = nullptr;
    HFONT font = nullptr;
    std::vector<StationRow> rows;
    bool stopped = false;
};

void SetCell(HWND list, int row, int col, const std::string& text) {
    std::wstring w = win32ui::Wide(text);
    wchar_t old[512] = L"";
    ListView_GetItemText(list, row, col, old, 512);
    if (w != old) ListView_SetItemText(list, row, col, w.data());
}

void Refresh(StationWnd& s) {
    s.rows = s.station->Rows();
    uint32_t now = plat::GetTickCount();
    int count = ListView_GetItemCount(s.list);
    for (int i = count; i < static_cast<int>(s.rows.size()); ++i) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = const_cast<wchar_t*>(L"");
        ListView_InsertItem(s.list, &item);
    }
    for (size_t i = 0; i < s.rows.size(); ++i) {
        const StationRow& r = s.rows[i];
        int row = static_cast<int>(i);
        SetCell(s.list, row, 0, r.port);
        SetCell(s.list, row, 1, r.serial.empty() ? "-" : r.serial);
        SetCell(s.list, row, 2, StationPayloadCell(r));
        SetCell(s.list, row, COL_PROGRESS, r.payload < 0 ? "" : std::to_string(r.percent) + " %");
        SetCell(s.list, row, 4, StationElapsedCell(r, now));
        SetCell(s.list, row, 5, StationOutcomeCell(r));
    }
    ::InvalidateRect(s.list, nullptr, FALSE);
}

void Stop(StationWnd& s, int signal) {
    if (s.stopped) return;
    s.stopped = true;
    // Every child still at work is ended; its row says so before the window goes.
    s.station->Stop(signal);
    Refresh(s);
}

// The progress cell as a bar, and the rows that did not succeed in red.
LRESULT CustomDraw(StationWnd& s, NMLVCUSTOMDRAW* cd) {
    switch (cd->nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT:
            return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
            size_t i = cd->nmcd.dwItemSpec;
            if (i >= s.rows.size()) return CDRF_DODEFAULT;
            const StationRow& r = s.rows[i];
            bool failed = !r.running && r.exitCode != 0;
            cd->clrText = failed ? RGB(0xB0, 0x00, 0x20) : ::GetSysColor(COLOR_WINDOWTEXT);
            if (cd->iSubItem != COL_PROGRESS || r.payload < 0) return CDRF_NEWFONT;
            RECT rc;
            ListView_GetSubItemRect(s.list, static_cast<int>(i), COL_PROGRESS, LVIR_BOUNDS, &rc);
            ::InflateRect(&rc, -2, -2);
            ::FillRect(cd->nmcd.hdc, &rc, ::GetSysColorBrush(COLOR_WINDOW));
            ::FrameRect(cd->nmcd.hdc, &rc, ::GetSysColorBrush(COLOR_BTNSHADOW));
            RECT fill = rc;
            ::InflateRect(&fill, -1, -1);
            fill.right = fill.left + (fill.right - fill.left) * r.percent / 100;
            HBRUSH bar = ::CreateSolidBrush(failed ? RGB(0xE0, 0x90, 0x90) : RGB(0x06, 0xB0, 0x25));
            ::FillRect(cd->nmcd.hdc, &fill, bar);
            ::DeleteObject(bar);
            std::wstring text = std::to_wstring(r.percent) + L" %";
            ::SetBkMode(cd->nmcd.hdc, TRANSPARENT);
            ::SetTextColor(cd->nmcd.hdc, ::GetSysColor(COLOR_WINDOWTEXT));
            ::DrawTextW(cd->nmcd.hdc, text.c_str(), -1, &rc,
                        DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            return CDRF_SKIPDEFAULT;
        }
    }
    return CDRF_DODEFAULT;
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* s = reinterpret_cast<StationWnd*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_SIZE:
            if (s != nullptr && s->list != nullptr) {
                int w = LOWORD(lp), h = HIWORD(lp);
                ::MoveWindow(s->label, 8, 6, w - 16, 20, TRUE);
                ::MoveWindow(s->list, 8, 30, w - 16, h - 38, TRUE);
            }
            return 0;
        case WM_TIMER:
            if (s != nullptr) {
                if (plat::StopSignal() != 0) Stop(*s, plat::StopSignal());
                Refresh(*s);
                // --once, or a stop: the window closes by itself when every device has ended.
                if (s->station->Finished()) ::DestroyWindow(hwnd);
            }
            return 0;
        case WM_NOTIFY:
            if (s != nullptr && reinterpret_cast<NMHDR*>(lp)->hwndFrom == s->list &&
                reinterpret_cast<NMHDR*>(lp)->code == NM_CUSTOMDRAW)
                return CustomDraw(*s, reinterpret_cast<NMLVCUSTOMDRAW*>(lp));
            break;
        case WM_CLOSE:
            if (s != nullptr) Stop(*s, 0);
            ::DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            ::KillTimer(hwnd, TIMER_REFRESH);
            ::PostQuitMessage(0);
            return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int RunStationWindow(const UpdaterOptions& opts, int /*argc*/, char** /*argv*/) {
    StationConfig cfg;
    int code = 0;
    if (!MakeStationConfigOrSay(opts, cfg, code)) return code;
    std::string error;
    plat::CatchStopSignals();
    CStation station(cfg);
    if (!station.Start(error)) {
        std::fprintf(stderr, "kalvo-updater: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&icc);
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = win32ui::Instance();
    wc.hIcon = ::LoadIconW(win32ui::Instance(), MAKEINTRESOURCEW(128));
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = CLASS_NAME;
    ::RegisterClassW(&wc);
    StationWnd s;
    s.station = &station;
    s.hwnd = ::CreateWindowExW(0, CLASS_NAME, L"Zorvik Tool v0.2 \x2014 station",
                               WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 900, 260, nullptr,
                               nullptr, win32ui::Instance(), nullptr);
    if (s.hwnd == nullptr) return station.ExitCode();
    auto uiFont = reinterpret_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    // The outcomes are Chinese and Russian: a face that has them, where the system has one.
    s.font = win32ui::ChooseFontFor(uiFont, win32ui::Wide("串口连接已断开，请检查连接! Готово"));
    HFONT font = s.font != nullptr ? s.font : uiFont;
    std::wstring summary =
        win32ui::Wide("Payloads from " + cfg.payloadDir + "; each device run is recorded in " +
                      cfg.recordPath + ".");
    s.label = ::CreateWindowExW(0, L"STATIC", summary.c_str(), WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                                s.hwnd, nullptr, win32ui::Instance(), nullptr);
    s.list = ::CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                               WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SINGLESEL, 0, 0, 0, 0,
                               s.hwnd, nullptr, win32ui::Instance(), nullptr);
    ListView_SetExtendedListViewStyle(s.list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (HWND h : {s.label, s.list})
        ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    const struct {
        const wchar_t* title;
        int width;
    } cols[] = {{L"Port", 110}, {L"Adapter serial", 110}, {L"Payload", 110}, {L"Progress", 130},
                {L"Time", 55},  {L"Outcome", 340}};
    for (int i = 0; i < 6; ++i) {
        LVCOLUMNW c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH;
        c.pszText = const_cast<wchar_t*>(cols[i].title);
        c.cx = cols[i].width;
        ListView_InsertColumn(s.list, i, &c);
    }
    ::SetWindowLongPtrW(s.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&s));
    RECT rc;
    ::GetClientRect(s.hwnd, &rc);
    ::SendMessageW(s.hwnd, WM_SIZE, 0, MAKELPARAM(rc.right, rc.bottom));
    ::SetTimer(s.hwnd, TIMER_REFRESH, 200, nullptr);
    ::ShowWindow(s.hwnd, SW_SHOWNORMAL);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    station.Stop(0);
    if (s.font != nullptr) ::DeleteObject(s.font);
    return station.ExitCode();
}
