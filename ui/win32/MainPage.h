// The main window "Zorvik Tool v0.2": a fixed dialog with a tab control that hosts the updater
// page, the page's controls (picture, progress bar, status pane, update button), the icon and the
// about box on the system menu. Built from the dialog templates in res/kalvo-dialogs.rc.
#pragma once

#include <memory>
#include <string>

#include "app/KalvoDlg.h"
#include "ui/win32/Win32.h"
#include "ui/win32/Win32WindowSystem.h"

class CSession;

class CMainPage {
public:
    // session may be null; it is told the page's milestones and starts the service operations.
    CMainPage(CSession* session, PageConfig config);
    ~CMainPage();
    CMainPage(const CMainPage&) = delete;
    CMainPage& operator=(const CMainPage&) = delete;

    // Runs the window until the user closes it; the page has ended when this returns.
    void DoModal();
    // The window without a loop of its own (the tests run the messages); false when it cannot be
    // made (no display).
    bool Create();
    // Closes the window as its close box does; the page ends with it.
    void Close();

    // For the tests and the screenshot.
    HWND Hwnd() const { return m_hWnd; }
    HWND Tab() const { return m_hTab; }
    HWND PageWindow() const { return m_hPage; }
    HWND Control(int id) const { return ::GetDlgItem(m_hPage, id); }
    CKalvoDlg* Page() const { return m_pPage.get(); }
    CWin32WindowSystem* WindowSystem() const { return m_pWnd.get(); }

private:
    static INT_PTR CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog(HWND hwnd);
    void OnInitPage(HWND hwnd);
    // The pane's font and the picture for the page's present size and DPI.
    void FitToDpi();
    void OnDestroyPage();
    void OnPageEvent(PageEvent event, const std::string& detail);
    // While a payload is being written, asks whether to stop it; true: close.
    bool ConfirmClose();
    void Shutdown();

    CSession* m_pSession;
    bool m_bModal = false;
    bool m_bAsking = false;
    HWND m_hWnd = nullptr;
    HWND m_hTab = nullptr;
    HWND m_hPage = nullptr;
    HICON m_hIcon = nullptr;
    HICON m_hIconSmall = nullptr;
    HFONT m_hStatusFont = nullptr;
    HBITMAP m_hPicture = nullptr;
    // The page calls its window system until it is gone, so it is declared after it.
    std::unique_ptr<CWin32WindowSystem> m_pWnd;
    std::unique_ptr<CKalvoDlg> m_pPage;
};
