// Resource numbers of the window, shared by res/kalvo-dialogs.rc and ui/win32/.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_KALVO_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_MAINPAGE 130
#define IDB_PICTURE 136

#define IDC_PICTURE 1000
#define IDC_NOTICE 1001
#define IDC_TAB 1009
#define IDC_EDIT_STATUS 1023
#define IDC_PROGRESS 1246
#define IDC_BTN_UPDATE 1247
#define IDC_ABOUT_VERSION 1300

// System-menu command of the about box.
#define IDM_ABOUTBOX 0x0010
