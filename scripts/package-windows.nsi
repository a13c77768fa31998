; The installer of the Windows program, made by scripts/package-windows.sh with makensis:
;   makensis -INPUTCHARSET UTF8 -DVERSION=0.2 -DSTAGE=dir -DOUTFILE=setup.exe -DICON=res/kalvo.ico
;            package-windows.nsi
; Per user, without administrator rights: the payload files go beside the program, and the user
; must be able to put them there.
; A 64-bit installer for the 64-bit program (and no 32-bit wine needed to test it).
Target amd64-unicode
Unicode true
; Common controls 6 come from the system's side-by-side store, never from the download's folder;
; the installer itself loads its other system DLLs from the system folder only, and unpacks its
; plug-ins into a private folder of its own under the user's temporary folder.
XPStyle on
ManifestSupportedOS all
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define PRODUCT "Zorvik Tool"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KalvoUpdater"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
InstallDir "$LOCALAPPDATA\Programs\Kalvo Updater"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\kalvo-updater.exe"
; The last page says where the payload files go, and opens that folder.
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_FINISHPAGE_TEXT "$(FinishText)"
!define MUI_FINISHPAGE_SHOWREADME
!define MUI_FINISHPAGE_SHOWREADME_TEXT "$(OpenFolderText)"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION OpenPayloadFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"
!insertmacro MUI_LANGUAGE "SimpChinese"

!define PAYLOADS "DE7811_project.hex, flagdata.bin, audioHead.bin, rdfw.bin"
LangString FinishText ${LANG_ENGLISH} "${PRODUCT} is installed.$\r$\n$\r$\nPut the payload files (${PAYLOADS}) into its folder:$\r$\n$INSTDIR$\r$\n$\r$\nThen connect the device and start ${PRODUCT}."
LangString FinishText ${LANG_RUSSIAN} "${PRODUCT} установлен.$\r$\n$\r$\nПоложите файлы обновления (${PAYLOADS}) в его папку:$\r$\n$INSTDIR$\r$\n$\r$\nЗатем подключите устройство и запустите ${PRODUCT}."
LangString FinishText ${LANG_SIMPCHINESE} "${PRODUCT} 已安装。$\r$\n$\r$\n请将升级文件（${PAYLOADS}）放入程序文件夹：$\r$\n$INSTDIR$\r$\n$\r$\n然后连接设备并启动 ${PRODUCT}。"
LangString OpenFolderText ${LANG_ENGLISH} "Open the folder for the payload files"
LangString OpenFolderText ${LANG_RUSSIAN} "Открыть папку для файлов обновления"
LangString OpenFolderText ${LANG_SIMPCHINESE} "打开放置升级文件的文件夹"

Function OpenPayloadFolder
    ExecShell "open" "$INSTDIR"
FunctionEnd

Section
    SetShellVarContext current
    SetOutPath "$INSTDIR"
    File "${STAGE}/kalvo-updater.exe"
    File "${STAGE}/kalvo-updater.com"
    File "${STAGE}/README.txt"
    File "${STAGE}/LICENSE.txt"
    File "${STAGE}/THIRD-PARTY-NOTICES.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; Started from the menu, the program writes its log beside itself.
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\kalvo-updater.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kalvo-updater.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    Delete "$INSTDIR\kalvo-updater.exe"
    Delete "$INSTDIR\kalvo-updater.com"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\THIRD-PARTY-NOTICES.txt"
    Delete "$INSTDIR\uninstall.exe"
    ; The payload files and the log the user put there stay, and with them the folder.
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
