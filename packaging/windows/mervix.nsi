; The Windows installer of mervix: the window, the command line and the
; simulator beside it, with the Qt libraries, plugins and translations the
; window loads, under Program Files; a Start menu entry for the window; an
; uninstaller that takes away everything the installer put there.
;
; scripts/package-windows makes it from its staging folder:
;   makensis -DVERSION=0.1.0 -DSTAGE=<folder> -DFILES=<files.nsh> -DOUTFILE=<setup.exe> mervix.nsi
; FILES lists the staged files and folders as Delete and RMDir lines, so
; that the uninstaller removes those and nothing else.
; A 64-bit installer for 64-bit programs (it runs where they run, Wine's
; 64-bit prefix included).
Target amd64-unicode
SetCompressor /SOLID lzma
!include "MUI2.nsh"

Name "mervix ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\mervix"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\mervix"
; Where the window keeps its settings, for the user who uninstalls.
!define SETTINGS_KEY "Software\Brevlund\mervix"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The installer speaks the language of the system, English or Japanese.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Japanese"

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "mervix"
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateShortcut "$SMPROGRAMS\mervix.lnk" "$INSTDIR\mervix.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "mervix"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\mervix.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\mervix.lnk"
  !include "${FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "Software\Brevlund"
SectionEnd
