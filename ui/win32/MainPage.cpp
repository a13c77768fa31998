// The native main window and the updater page built from their dialog templates.
#include "ui/win32/MainPage.h"

#include "app/PageTexts.h"
#include "core/Version.h"
#include "res/resource.h"
#include "ui/Session.h"
#include "ui/win32/Graphics.h"
#include "ui/win32/Medit.h"

namespace {

// The status texts are Russian and Chinese.
const char* const kStatusSample = "升级完成，请重新上电 Обновление ПО...: 100 %";

// Sent to child windows once their top-level window has moved to a screen of another DPI
// (Windows 10 1703 and later); the page then fits its picture and pane font anew.
constexpr UINT WM_DPICHANGED_AFTERPARENT_ = 0x02E3;
constexpr UINT WM_KALVO_FIT = WM_APP + 2;

HICON LoadProgramIcon(int metricX, int metricY) {
    return static_cast<HICON>(::LoadImageW(win32ui::Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                           IMAGE_ICON, ::GetSystemMetrics(metricX),
                                           ::GetSystemMetrics(metricY), 0));
}

}  // namespace

CMainPage::CMainPage(CSession* session, PageConfig config)
    : m_pSession(session), m_pWnd(std::make_unique<CWin32WindowSystem>()) {
    m_hIcon = LoadProgramIcon(SM_CXICON, SM_CYICON);
    m_hIconSmall = LoadProgramIcon(SM_CXSMICON, SM_CYSMICON);
    m_pWnd->SetEventHandler(
        [this](PageEvent event, const std::string& detail) { OnPageEvent(event, detail); });
    m_pPage = std::make_unique<CKalvoDlg>(m_pWnd.get(), std::move(config));
}

CMainPage::~CMainPage() {
    if (m_hWnd != nullptr) ::DestroyWindow(m_hWnd);
    Shutdown();
    if (m_hPicture != nullptr) ::DeleteObject(m_hPicture);
    if (m_hStatusFont != nullptr) ::DeleteObject(m_hStatusFont);
    if (m_hIcon != nullptr) ::DestroyIcon(m_hIcon);
    if (m_hIconSmall != nullptr) ::DestroyIcon(m_hIconSmall);
}

void CMainPage::DoModal() {
    m_bModal = true;
    ::DialogBoxParamW(win32ui::Instance(), MAKEINTRESOURCEW(IDD_MAINPAGE), nullptr,
                      &CMainPage::MainProc, reinterpret_cast<LPARAM>(this));
    Shutdown();
}

bool CMainPage::Create() {
    m_bModal = false;
    HWND hwnd = ::CreateDialogParamW(win32ui::Instance(), MAKEINTRESOURCEW(IDD_MAINPAGE), nullptr,
                                     &CMainPage::MainProc, reinterpret_cast<LPARAM>(this));
    if (hwnd == nullptr) return false;
    ::ShowWindow(hwnd, SW_SHOW);
    return true;
}

void CMainPage::Close() {
    if (m_hWnd == nullptr) return;
    if (m_bModal) {
        ::EndDialog(m_hWnd, 0);
    } else {
        ::DestroyWindow(m_hWnd);
        Shutdown();
    }
}

bool CMainPage::ConfirmClose() {
    if (!m_pPage || !m_pPage->IsWriting()) return true;
    // A second close while the question is open is the same question.
    if (m_bAsking) return false;
    m_bAsking = true;
    // The box's own loop runs the window meanwhile: the run goes on while the user reads.
    int answer = ::MessageBoxW(m_hWnd, win32ui::Wide(TEXT_CLOSE_QUESTION).c_str(),
                               win32ui::Wide(TEXT_CLOSE_CAPTION).c_str(),
                               MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    m_bAsking = false;
    return answer == IDYES;
}

void CMainPage::Shutdown() {
    if (!m_pPage) return;
    // Done already by the page window's WM_DESTROY, unless there never was one.
    m_pPage->OnDestroy();
    // Stops the page's worker thread.
    m_pPage.reset();
    m_pWnd->Detach();
}

// ---------------------------------------------------------------------------------------------
// Main window

INT_PTR CALLBACK CMainPage::MainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CMainPage*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    switch (msg) {
        case WM_INITDIALOG:
            self = reinterpret_cast<CMainPage*>(lParam);
            ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            return self->OnInitDialog(hwnd);
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                ::DialogBoxParamW(win32ui::Instance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd,
                                  &CMainPage::AboutProc, 0);
                return TRUE;
            }
            return FALSE;
        case WM_COMMAND:
            // Enter and Esc must neither start an update nor close the window in the middle of
            // one: only the close box, Alt+F4 and the system menu close it.
            return LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL;
        case WM_CLOSE:
            // The close box, Alt+F4 and the system menu's Close.
            if (self != nullptr && self->ConfirmClose()) self->Close();
            return TRUE;
        case WM_NCDESTROY:
            if (self != nullptr) self->m_hWnd = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

BOOL CMainPage::OnInitDialog(HWND hwnd) {
    m_hWnd = hwnd;
    m_hTab = ::GetDlgItem(hwnd, IDC_TAB);
    ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));

    // The about box on the system menu of the window the user sees.
    wchar_t about[128] = {};
    HMENU menu = ::GetSystemMenu(hwnd, FALSE);
    if (menu != nullptr && ::LoadStringW(win32ui::Instance(), IDS_ABOUTBOX, about, 128) > 0) {
        ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
    }

    ::CreateDialogParamW(win32ui::Instance(), MAKEINTRESOURCEW(IDD_KALVO_DIALOG), m_hTab,
                         &CMainPage::PageProc, reinterpret_cast<LPARAM>(this));
    if (m_hPage != nullptr) {
        // The tab control has no tabs: the page fills it but for its left, right and bottom edges.
        RECT rc;
        ::GetClientRect(m_hTab, &rc);
        ::SetWindowPos(m_hPage, HWND_TOP, rc.left + 1, rc.top, rc.right - rc.left - 2,
                       rc.bottom - rc.top - 1, SWP_SHOWWINDOW);
    }
    return TRUE;
}

INT_PTR CALLBACK CMainPage::AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM /*lParam*/) {
    switch (msg) {
        case WM_INITDIALOG:
            ::SetDlgItemTextW(hwnd, IDC_ABOUT_VERSION,
                              win32ui::Wide(std::string("Kalvo Updater ") + KALVO_VERSION).c_str());
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

// ---------------------------------------------------------------------------------------------
// Updater page

INT_PTR CALLBACK CMainPage::PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CMainPage*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CMainPage*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->OnInitPage(hwnd);
        return FALSE;
    }
    if (self == nullptr) return FALSE;
    if (self->m_pWnd->HandleMessage(msg, wParam)) return TRUE;
    switch (msg) {
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_BTN_UPDATE && HIWORD(wParam) == BN_CLICKED) {
                if (self->m_pPage) self->m_pPage->OnBnClickedUpdate();
                return TRUE;
            }
            return FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(self->m_hIcon);
        case WM_DPICHANGED_AFTERPARENT_:
            // After the dialog's own handling, which gives every control the page's new font.
            ::PostMessageW(hwnd, WM_KALVO_FIT, 0, 0);
            return FALSE;
        case WM_KALVO_FIT:
            self->FitToDpi();
            return TRUE;
        case WM_DESTROY:
            self->OnDestroyPage();
            return FALSE;
        default:
            return FALSE;
    }
}

void CMainPage::OnInitPage(HWND hwnd) {
    m_hPage = hwnd;
    ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));
    HWND status = Control(IDC_EDIT_STATUS);
    CMedit::Subclass(status);
    FitToDpi();
    m_pWnd->Attach({hwnd, Control(IDC_PROGRESS), status, Control(IDC_BTN_UPDATE), m_hWnd,
                    Control(IDC_NOTICE)});
    if (m_pPage) m_pPage->OnInitDialog();
}

void CMainPage::FitToDpi() {
    // The page's font has no Chinese: the pane takes a face that has, where the system has one.
    HWND status = Control(IDC_EDIT_STATUS);
    auto pageFont = reinterpret_cast<HFONT>(::SendMessageW(m_hPage, WM_GETFONT, 0, 0));
    HFONT font = win32ui::ChooseFontFor(pageFont, win32ui::Wide(kStatusSample));
    if (font != nullptr) {
        ::SendMessageW(status, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        // The line under the pane speaks Chinese too.
        ::SendMessageW(Control(IDC_NOTICE), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        if (m_hStatusFont != nullptr) ::DeleteObject(m_hStatusFont);
        m_hStatusFont = font;
    }
    // The picture is drawn for the control's size in pixels.
    HWND picture = Control(IDC_PICTURE);
    RECT rc;
    ::GetClientRect(picture, &rc);
    HBITMAP bitmap = win32ui::LoadPicture(IDB_PICTURE, rc.right - rc.left, rc.bottom - rc.top);
    if (bitmap != nullptr) {
        ::SendMessageW(picture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
        if (m_hPicture != nullptr) ::DeleteObject(m_hPicture);
        m_hPicture = bitmap;
    }
}

void CMainPage::OnDestroyPage() {
    // The task manager stops and the port closes; the worker thread ends with the page object.
    if (m_pPage) m_pPage->OnDestroy();
    m_pWnd->Detach();
}

void CMainPage::OnPageEvent(PageEvent event, const std::string& detail) {
    if (m_pSession == nullptr || !m_pPage) return;
    // The service operations start from here too; when one ends, the window stays open until the
    // user closes it, so the exit code is not needed.
    m_pSession->OnEvent(*m_pPage, event, detail, false);
}
