; morvane-setup.exe: installs MorvaneCore.exe, morvanectl.exe and libnat.dll into Program Files,
; registers MorvaneCore as a service started at boot and starts it. The uninstaller stops and
; removes the service and the programs; the data in ProgramData\Morvane (the login, the domains,
; the logs) stay, as a reinstall expects to find them.
;
;   makensis -DVERSION=1.0.0.1 -DBINDIR=<folder with the programs> -DOUTFILE=<morvane-setup.exe> morvane.nsi

; The programs are 64-bit only, and so is the installer (it runs where 32-bit programs cannot).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
Name "Morvane ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Morvane"
ShowInstDetails show
ShowUninstDetails show

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Morvane"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "Morvane"
VIAddVersionKey "FileDescription" "Morvane setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Morvane developers"

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Morvane"
  SetOutPath "$INSTDIR"
  ; An earlier version's service holds the programs open: stop it first (a fresh machine has none).
  IfFileExists "$INSTDIR\morvanectl.exe" 0 +2
    nsExec::ExecToLog '"$INSTDIR\morvanectl.exe" service stop'
  File "${BINDIR}\MorvaneCore.exe"
  File "${BINDIR}\morvanectl.exe"
  File "${BINDIR}\libnat.dll"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The data directory, ProgramData\Morvane: its files inherit ProgramData's access list (the
  ; service and administrators write, users read and add their own).
  SetShellVarContext all
  CreateDirectory "$APPDATA\Morvane"

  ; Registered through morvanectl, which uses the service control manager as the service itself does;
  ; an existing registration (an earlier install into this folder) is kept.
  nsExec::ExecToLog '"$INSTDIR\morvanectl.exe" service install "$INSTDIR\MorvaneCore.exe"'
  Pop $0
  StrCmp $0 0 +3
    DetailPrint "The service could not be registered (morvanectl exit code $0)."
    Abort "The service could not be registered."
  nsExec::ExecToLog '"$INSTDIR\morvanectl.exe" service start'
  Pop $0
  StrCmp $0 0 +2
    DetailPrint "The service is registered but did not start (morvanectl exit code $0): see the log in ProgramData\Morvane."

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Morvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Morvane developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  nsExec::ExecToLog '"$INSTDIR\morvanectl.exe" service stop'
  Pop $0
  nsExec::ExecToLog '"$INSTDIR\morvanectl.exe" service remove'
  Pop $0
  StrCmp $0 0 +3
  StrCmp $0 2 +2
    DetailPrint "The service could not be removed (morvanectl exit code $0); remove it with: sc delete MORVANE"
  ; The service's process may outlive its "stopped" report by a moment: up to 10 s for it to go.
  StrCpy $1 0
  retry:
    ClearErrors
    Delete "$INSTDIR\MorvaneCore.exe"
    IfErrors 0 deleted
    IntOp $1 $1 + 1
    IntCmp $1 20 deleted
    Sleep 500
    Goto retry
  deleted:
  IfFileExists "$INSTDIR\MorvaneCore.exe" 0 +2
    DetailPrint "MorvaneCore.exe is still in use; it is removed at the next restart."
  Delete /REBOOTOK "$INSTDIR\MorvaneCore.exe"
  Delete "$INSTDIR\morvanectl.exe"
  Delete "$INSTDIR\libnat.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
