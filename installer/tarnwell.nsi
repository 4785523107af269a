; The Tarnwell installer: tarnwell.exe into Program Files with a Start-menu shortcut, an
; uninstaller registered in Add/Remove Programs, and, when asked, the Tarnwell service with
; its settings. Built by the Windows build (installer/CMakeLists.txt) with Debian's makensis:
;   -DARCH=x86   -DPROGRAM_X86=... -DPROGRAM_X64=...  tarnwell-setup.exe: runs on 32-bit and
;                                                     64-bit Windows, installs the program of
;                                                     the machine's architecture
;   -DARCH=amd64 -DPROGRAM_X64=...                    a 64-bit installer of the 64-bit program
;   -DVERSION=... -DOUTFILE=...
; Silent: /S [/SERVICE] [/POOLS=...] [/INTERVAL=...] [/TEXTFILE=...] [/HTTP=...] [/METABASE=...]
; [/D=folder]; the uninstaller: /S [/REMOVELOGS]. README.md's Windows section says more.

!macro Needs name
  !ifndef ${name}
    !error "makensis needs -D${name}"
  !endif
!macroend
!insertmacro Needs ARCH
!insertmacro Needs VERSION
!insertmacro Needs OUTFILE
!insertmacro Needs PROGRAM_X64
Target ${ARCH}-unicode
!if ${ARCH} == x86
  !ifndef PROGRAM_X86
    !error "the x86 installer carries both programs: -DPROGRAM_X86 too"
  !endif
!endif

!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh

!define PRODUCT "Tarnwell"
!define SERVICE "Tarnwell"  ; the service's name, as tarnwell.exe --install-service registers it
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnwell"
!define SETTINGS_FILE "tarnwell-service.ini"

Name "${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin  ; the service and Program Files need an administrator
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
; No InstallDir: an empty $INSTDIR in .onInit tells that /D was not given.

; The program's icon for the installer and the uninstaller; the shortcut to tarnwell.exe
; takes it from the program itself.
!define MUI_ICON "${__FILEDIR__}/../app/icons/tarnwell.ico"
!define MUI_UNICON "${__FILEDIR__}/../app/icons/tarnwell.ico"
!define MUI_ABORTWARNING

Var Service        ; 1: install the service
Var Pools
Var Interval
Var TextfileDir
Var HttpAddress    ; where the service serves its latest pass (http-address)
Var Metabase
Var HadService     ; the service's state before this install (0: none; 4: running)
Var RemoveLogs     ; uninstaller: 1 removes the log folder too

; --- Pages ----------------------------------------------------------------------------
!insertmacro MUI_PAGE_DIRECTORY
Page custom ServicePage ServicePageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
UninstPage custom un.LogsPage un.LogsPageLeave
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; --- What both sides share ---------------------------------------------------------------

; The 64-bit program's folders and registry on 64-bit Windows, whichever installer runs.
!macro UseMachineViews
  !if ${ARCH} == x86
    ${If} ${RunningX64}
      SetRegView 64
    ${EndIf}
  !else
    SetRegView 64
  !endif
!macroend

; The Tarnwell service's state on the stack: 0 when it is not installed, else its
; SERVICE_STATUS dwCurrentState (1 stopped, 4 running, ...).
!macro ServiceStateFunction un
Function ${un}ServiceState
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $3 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r0'  ; SC_MANAGER_CONNECT
  ${If} $0 P<> 0
    System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE}", i 4) p .r1'  ; SERVICE_QUERY_STATUS
    ${If} $1 P<> 0
      System::Call '*(i, i, i, i, i, i, i) p .r2'
      System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
      ${If} $3 <> 0
        System::Call '*$2(i, i .r3)'
      ${Else}
        StrCpy $3 1  ; installed, its state unknown
      ${EndIf}
      System::Free $2
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
  Exch $3  ; the answer on top, the registers as they were
  Exch
  Pop $2
  Exch
  Pop $1
  Exch
  Pop $0
FunctionEnd
!macroend
!insertmacro ServiceStateFunction ""
!insertmacro ServiceStateFunction "un."

; Only an administrator writes Program Files and the service control manager: anyone else
; is told so before any page, and the exit code is 5 (access denied).
!macro NeedsAdministrator
  UserInfo::GetAccountType
  Pop $R0
  ${If} $R0 != "admin"
    MessageBox MB_ICONSTOP|MB_OK "Tarnwell is installed and removed by an administrator." /SD IDOK
    SetErrorLevel 5
    Quit
  ${EndIf}
!macroend

; tarnwell.exe with a service command, answering quietly (--quiet: no box, the answer in the
; details, the exit code on the stack).
!macro RunTarnwell exe arguments
  nsExec::ExecToLog '"${exe}" ${arguments} --quiet'
!macroend

; --- The installer -------------------------------------------------------------------------

Function .onInit
  !insertmacro NeedsAdministrator
  !insertmacro UseMachineViews
  ${If} $INSTDIR == ""
    ReadRegStr $INSTDIR HKLM "${UNINSTALL_KEY}" "InstallLocation"  ; an upgrade stays where it was
  ${EndIf}
  ${If} $INSTDIR == ""
    !if ${ARCH} == x86
      ${If} ${RunningX64}
        StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
      ${Else}
        StrCpy $INSTDIR "$PROGRAMFILES\${PRODUCT}"
      ${EndIf}
    !else
      StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    !endif
  ${EndIf}

  StrCpy $Service 0
  StrCpy $Interval 3
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SERVICE" $R1
  ${IfNot} ${Errors}
    StrCpy $Service 1
  ${EndIf}
  ; A setting given asks for the service too.
  !macro SettingSwitch switch var
    ClearErrors
    ${GetOptions} $R0 "/${switch}=" $R1
    ${IfNot} ${Errors}
      StrCpy ${var} $R1
      StrCpy $Service 1
    ${EndIf}
  !macroend
  !insertmacro SettingSwitch POOLS $Pools
  !insertmacro SettingSwitch INTERVAL $Interval
  !insertmacro SettingSwitch TEXTFILE $TextfileDir
  !insertmacro SettingSwitch HTTP $HttpAddress
  !insertmacro SettingSwitch METABASE $Metabase
FunctionEnd

; The service's page: ticked, the service is installed with these settings.
Var ServiceBox
Var PoolsField
Var IntervalField
Var TextfileField
Var HttpField
Var MetabaseField

!macro SettingRow y label field var
  ${NSD_CreateLabel} 0 ${y} 28% 12u "${label}"
  Pop $R9
  ${NSD_CreateText} 30% ${y} 69% 12u ${var}
  Pop ${field}
!macroend

Function ServicePage
  !insertmacro MUI_HEADER_TEXT "The Tarnwell service" \
    "Monitors the pools into the logs beside tarnwell.exe while nobody is logged on."
  nsDialogs::Create 1018
  Pop $R0
  ${NSD_CreateCheckbox} 0 0 100% 12u "&Install the Tarnwell service (starts with Windows, as LocalSystem)"
  Pop $ServiceBox
  ${NSD_OnClick} $ServiceBox ServiceBoxClicked
  !insertmacro SettingRow 18u "&Pools filter" $PoolsField $Pools
  !insertmacro SettingRow 34u "I&nterval (minutes)" $IntervalField $Interval
  !insertmacro SettingRow 50u "&Textfile folder" $TextfileField $TextfileDir
  ; The HTTP address the service serves its latest pass at, as http-address in the settings.
  !insertmacro SettingRow 66u "&HTTP address" $HttpField $HttpAddress
  !insertmacro SettingRow 82u "&MetaBase.xml" $MetabaseField $Metabase
  ${NSD_CreateLabel} 0 100u 100% 18u \
    "Empty, each takes its default: every pool; every 3 minutes (0: back to back); no tarnwell.prom; no HTTP address (a URL such as http://+:9185/metrics/); the local IIS."
  Pop $R9
  ${NSD_CreateLabel} 0 122u 100% 18u \
    "The settings go to ${SETTINGS_FILE} beside tarnwell.exe. The service is not started: start it with sc start Tarnwell, or restart the server."
  Pop $R9
  ${If} $Service == 1
    ${NSD_Check} $ServiceBox
  ${EndIf}
  Call ServiceBoxClicked
  nsDialogs::Show
FunctionEnd

Function ServiceBoxClicked
  ${NSD_GetState} $ServiceBox $R0
  ${If} $R0 == ${BST_CHECKED}
    StrCpy $R0 1
  ${Else}
    StrCpy $R0 0
  ${EndIf}
  EnableWindow $PoolsField $R0
  EnableWindow $IntervalField $R0
  EnableWindow $TextfileField $R0
  EnableWindow $HttpField $R0
  EnableWindow $MetabaseField $R0
FunctionEnd

Function ServicePageLeave
  ${NSD_GetState} $ServiceBox $R0
  ${If} $R0 == ${BST_CHECKED}
    StrCpy $Service 1
  ${Else}
    StrCpy $Service 0
  ${EndIf}
  ${NSD_GetText} $PoolsField $Pools
  ${NSD_GetText} $IntervalField $Interval
  ${NSD_GetText} $TextfileField $TextfileDir
  ${NSD_GetText} $HttpField $HttpAddress
  ${NSD_GetText} $MetabaseField $Metabase
FunctionEnd

; Writes the text on the stack to the file handle in $R8 as UTF-8: the settings file's
; encoding (FileWrite would write the system's code page).
Function WriteUtf8
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w R0, i -1, p 0, i 0, p 0, p 0) i .R1'
  ${If} $R1 > 1
    System::Alloc $R1
    Pop $R2
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w R0, i -1, p R2, i R1, p 0, p 0)'
    IntOp $R1 $R1 - 1  ; not its terminating zero
    System::Call 'kernel32::WriteFile(p R8, p R2, i R1, *i .R1, p 0) i .R3'
    System::Free $R2
    ${If} $R3 == 0
      SetErrors
    ${EndIf}
  ${EndIf}
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

!macro SettingLine key value
  ${If} ${value} != ""
    Push "${key} = ${value}$\r$\n"
    Call WriteUtf8
  ${EndIf}
!macroend

Section "Tarnwell" SecProgram
  SectionIn RO
  SetShellVarContext all  ; the shortcut is every user's
  Call ServiceState
  Pop $HadService

  SetOutPath $INSTDIR
  ; A service installed before is stopped and removed first: its program is about to be
  ; replaced. It comes back below, with its settings as found.
  ${If} $HadService <> 0
  ${AndIf} ${FileExists} "$INSTDIR\tarnwell.exe"
    DetailPrint "Stopping and removing the Tarnwell service for the upgrade"
    !insertmacro RunTarnwell "$INSTDIR\tarnwell.exe" "--uninstall-service"
    Pop $R0
  ${EndIf}

  !if ${ARCH} == x86
    ${If} ${RunningX64}
      File "/oname=tarnwell.exe" "${PROGRAM_X64}"
    ${Else}
      File "/oname=tarnwell.exe" "${PROGRAM_X86}"
    ${EndIf}
  !else
    File "/oname=tarnwell.exe" "${PROGRAM_X64}"
  !endif

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\tarnwell.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tarnwell.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $R0 $R1 $R2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $R0
SectionEnd

Section "-Service" SecService
  ${If} $Service == 1
    ; Written where the installer keeps its own files; tarnwell.exe reads it, says what is
    ; wrong with it, and copies it beside itself.
    InitPluginsDir
    ClearErrors
    FileOpen $R8 "$PLUGINSDIR\${SETTINGS_FILE}" w
    ${If} ${Errors}
      Abort "Cannot write $PLUGINSDIR\${SETTINGS_FILE}"
    ${EndIf}
    Push "# Written by the Tarnwell installer.$\r$\n"
    Call WriteUtf8
    !insertmacro SettingLine "pools" $Pools
    !insertmacro SettingLine "interval" $Interval
    !insertmacro SettingLine "textfile-dir" $TextfileDir
    !insertmacro SettingLine "http-address" $HttpAddress
    !insertmacro SettingLine "metabase" $Metabase
    FileClose $R8
    ${If} ${Errors}
      Abort "Cannot write $PLUGINSDIR\${SETTINGS_FILE}"
    ${EndIf}
    !insertmacro RunTarnwell "$INSTDIR\tarnwell.exe" '--install-service --settings "$PLUGINSDIR\${SETTINGS_FILE}"'
  ${ElseIf} $HadService <> 0
    !insertmacro RunTarnwell "$INSTDIR\tarnwell.exe" "--install-service"
  ${Else}
    Return
  ${EndIf}
  Pop $R0
  ${If} $R0 != 0
    ; The program stays installed; the reason is in the details, above.
    MessageBox MB_ICONSTOP|MB_OK "The Tarnwell service could not be installed (tarnwell.exe answered $R0): see the details." /SD IDOK
    SetErrorLevel 3
    Abort "The Tarnwell service was not installed."
  ${EndIf}
  ; An upgrade leaves the service as it found it: running when it ran.
  ${If} $HadService == 4
    nsExec::ExecToLog '"$SYSDIR\sc.exe" start ${SERVICE}'
    Pop $R0
  ${EndIf}
SectionEnd

; --- The uninstaller ---------------------------------------------------------------------

Var LogsBox

Function un.onInit
  !insertmacro NeedsAdministrator
  !insertmacro UseMachineViews
  StrCpy $RemoveLogs 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVELOGS" $R1
  ${IfNot} ${Errors}
    StrCpy $RemoveLogs 1
  ${EndIf}
FunctionEnd

Function un.LogsPage
  ${IfNot} ${FileExists} "$INSTDIR\log\*.*"
    Abort  ; no logs: nothing to ask
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "The logs" "The monitoring logs stay unless you remove them."
  nsDialogs::Create 1018
  Pop $R0
  ${NSD_CreateCheckbox} 0 0 100% 12u "&Remove the logs too ($INSTDIR\log)"
  Pop $LogsBox
  ${If} $RemoveLogs == 1
    ${NSD_Check} $LogsBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function un.LogsPageLeave
  ${NSD_GetState} $LogsBox $R0
  ${If} $R0 == ${BST_CHECKED}
    StrCpy $RemoveLogs 1
  ${Else}
    StrCpy $RemoveLogs 0
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  Call un.ServiceState
  Pop $R0
  ${If} $R0 <> 0
    !insertmacro RunTarnwell "$INSTDIR\tarnwell.exe" "--uninstall-service"
    Pop $R0
    ${If} $R0 != 0
      ; Its program stays, so that nothing is left running without one.
      MessageBox MB_ICONSTOP|MB_OK "The Tarnwell service could not be removed (tarnwell.exe answered $R0): see the details. Nothing else was removed." /SD IDOK
      SetErrorLevel 3
      Abort "The Tarnwell service was not removed."
    ${EndIf}
  ${EndIf}

  Delete "$INSTDIR\tarnwell.exe"
  Delete "$INSTDIR\${SETTINGS_FILE}"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  ${If} $RemoveLogs != 1
    DetailPrint "The logs stay in $INSTDIR\log"
  ${EndIf}
  ; A process that has just ended (the service's, stopped a moment ago) may hold a file here
  ; a little longer, and the folder can only go once it lets go: try again for a while.
  StrCpy $R1 0
  ${Do}
    ${If} $RemoveLogs == 1
      RMDir /r "$INSTDIR\log"
    ${EndIf}
    RMDir "$INSTDIR"  ; only when empty: the logs keep it
    ${IfNot} ${FileExists} "$INSTDIR\*.*"
      ${Break}
    ${EndIf}
    ${If} $RemoveLogs != 1
    ${AndIf} ${FileExists} "$INSTDIR\log\*.*"
      ${Break}
    ${EndIf}
    IntOp $R1 $R1 + 1
    ${If} $R1 > 40
      DetailPrint "$INSTDIR could not be removed"
      ${Break}
    ${EndIf}
    Sleep 250
  ${Loop}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
