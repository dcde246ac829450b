; Installer of the Tabulon viewer for 64-bit Windows, made on Debian with
; makensis 3 by scripts/package-windows.sh:
;
;   makensis -DVERSION=1.0.0 -DFILES=files.nsh -DOUTFILE=setup.exe \
;            -DSIZE_KB=15000 packaging/windows/Tabulon.nsi
;
; FILES holds two macros made from the staged package, TabulonInstallFiles
; (File lines) and TabulonRemoveFiles (a Delete per file, then RMDir per
; folder, deepest first), so that the uninstaller removes exactly what was
; installed and nothing an operator put beside it.
;
; Command line: /S silent; /DATA=folder the line's data folder, which the
; Start-menu shortcut starts the viewer in; /D=folder the install folder
; (last, without quotes). The data folder is only named in the shortcut
; and the registry: the installer looks whether it holds the database but
; never creates or changes it, and the uninstaller never touches it.

!macro TabulonRequire name
    !ifndef ${name}
        !error "${name} must be defined: makensis -D${name}=..."
    !endif
!macroend
!insertmacro TabulonRequire VERSION
!insertmacro TabulonRequire FILES
!insertmacro TabulonRequire OUTFILE
!insertmacro TabulonRequire SIZE_KB

Target amd64-unicode
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include "${FILES}"

!define SETTINGS_KEY "Software\Tabulon"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tabulon"
!define SHORTCUT "$SMPROGRAMS\Tabulon.lnk"
; The data folder a first install proposes; the page and /DATA= change it.
!define DEFAULT_DATA "C:\QOR"

Name "Tabulon ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tabulon"
InstallDirRegKey HKLM "${SETTINGS_KEY}" "InstallDir"
BrandingText "Tabulon ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

Var DataDir
Var DataArg
Var DataGiven

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY

!define MUI_PAGE_HEADER_TEXT "$(DataHeader)"
!define MUI_PAGE_HEADER_SUBTEXT "$(DataSubheader)"
!define MUI_DIRECTORYPAGE_TEXT_TOP "$(DataTop)"
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "$(DataFolder)"
!define MUI_DIRECTORYPAGE_VARIABLE $DataDir
!define MUI_PAGE_CUSTOMFUNCTION_SHOW DataPageShow
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DataPageLeave
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the one for systems in neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString DataHeader ${LANG_ENGLISH} "Data folder"
LangString DataHeader ${LANG_SIMPCHINESE} "数据文件夹"
LangString DataSubheader ${LANG_ENGLISH} "Choose the folder of the line's database."
LangString DataSubheader ${LANG_SIMPCHINESE} "请选择本产线数据库所在的文件夹。"
LangString DataTop ${LANG_ENGLISH} "The Start-menu shortcut starts Tabulon in this folder, which must hold sqlDatabase\QOR-database.db. The viewer writes its snapshot of the database beside it, so the operators must be able to write in sqlDatabase\. Setup does not create or change anything in this folder, and uninstalling leaves it alone."
LangString DataTop ${LANG_SIMPCHINESE} "开始菜单中的快捷方式以此文件夹为工作文件夹启动 Tabulon，文件夹中应有 sqlDatabase\QOR-database.db。查看器在它旁边写数据库的快照，所以操作员必须能在 sqlDatabase\ 中写文件。安装程序不会在此文件夹中建立或修改任何东西，卸载时也不会动它。"
LangString DataFolder ${LANG_ENGLISH} "Data folder"
LangString DataFolder ${LANG_SIMPCHINESE} "数据文件夹"
LangString DataMissing ${LANG_ENGLISH} "$DataDir holds no sqlDatabase\QOR-database.db, so the viewer will show nothing there until the database is in place.$\r$\n$\r$\nUse this folder anyway?"
LangString DataMissing ${LANG_SIMPCHINESE} "$DataDir 中没有 sqlDatabase\QOR-database.db，数据库放好之前查看器没有内容可显示。$\r$\n$\r$\n仍然使用这个文件夹吗？"
LangString DataInvalid ${LANG_ENGLISH} "The data folder must be a full path, such as D:\line3: $DataDir"
LangString DataInvalid ${LANG_SIMPCHINESE} "数据文件夹必须是完整路径，例如 D:\line3：$DataDir"
LangString ShortcutFailed ${LANG_ENGLISH} "The Start-menu shortcut could not be made."
LangString ShortcutFailed ${LANG_SIMPCHINESE} "无法建立开始菜单快捷方式。"
LangString ShortcutComment ${LANG_ENGLISH} "Production records of the line"
LangString ShortcutComment ${LANG_SIMPCHINESE} "产线生产记录"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Tabulon"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Tabulon ${VERSION} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" ""

; A drive path (D:\...) or a network one (\\server\...).
Function IsFullPath
    Exch $0
    Push $1
    StrCpy $1 $0 2 1
    ${If} $1 == ":\"
        StrCpy $0 1
    ${Else}
        StrCpy $1 $0 2
        ${If} $1 == "\\"
            StrCpy $0 1
        ${Else}
            StrCpy $0 0
        ${EndIf}
    ${EndIf}
    Pop $1
    Exch $0
FunctionEnd

; /DATA= from the command line, in any of the forms /DATA=D:\line3,
; /DATA="D:\line 3" and "/DATA=D:\line 3" (the way programs quote an
; argument with spaces, which NSIS's GetOptions does not read). The value
; ends at its closing quote, or else before the next " /".
Function ReadDataOption
    Push $0
    Push $1
    Push $2
    Push $3
    Push $4
    ; LogicLib's comparisons quote their operands: the quote character
    ; goes in a register.
    StrCpy $4 '"'
    StrCpy $DataGiven 0
    StrCpy $DataArg ""
    ${GetParameters} $0
    StrCpy $1 0
    ${Do}
        StrCpy $2 $0 6 $1
        ${If} $2 == ""
            Goto done
        ${EndIf}
        ${IfThen} $2 == "/DATA=" ${|} ${ExitDo} ${|}
        IntOp $1 $1 + 1
    ${Loop}
    StrCpy $DataGiven 1
    StrCpy $3 ""
    ${If} $1 > 0
        IntOp $2 $1 - 1
        StrCpy $2 $0 1 $2
        ${IfThen} $2 == $4 ${|} StrCpy $3 $4 ${|}
    ${EndIf}
    IntOp $1 $1 + 6
    StrCpy $0 $0 "" $1
    StrCpy $2 $0 1
    ${If} $3 == ""
    ${AndIf} $2 == $4
        StrCpy $3 $4
        StrCpy $0 $0 "" 1
    ${EndIf}
    StrCpy $1 0
    ${Do}
        StrCpy $2 $0 1 $1
        ${IfThen} $2 == "" ${|} ${ExitDo} ${|}
        ${If} $3 == $4
            ${IfThen} $2 == $4 ${|} ${ExitDo} ${|}
        ${Else}
            StrCpy $2 $0 2 $1
            ${IfThen} $2 == " /" ${|} ${ExitDo} ${|}
        ${EndIf}
        IntOp $1 $1 + 1
    ${Loop}
    StrCpy $DataArg $0 $1
    ${Do}
        StrCpy $2 $DataArg 1 -1
        ${IfThen} $2 != " " ${|} ${ExitDo} ${|}
        StrCpy $DataArg $DataArg -1
    ${Loop}
    ; D:\line3\ names the same folder as D:\line3; a drive's root keeps it.
    StrLen $1 $DataArg
    StrCpy $2 $DataArg 1 -1
    ${If} $2 == "\"
    ${AndIf} $1 > 3
        StrCpy $DataArg $DataArg -1
    ${EndIf}
    done:
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

Function .onInit
    SetRegView 64
    SetShellVarContext all
    ReadRegStr $DataDir HKLM "${SETTINGS_KEY}" "DataDir"
    ${If} $DataDir == ""
        StrCpy $DataDir "${DEFAULT_DATA}"
    ${EndIf}
    Call ReadDataOption
    ${If} $DataGiven == 1
        StrCpy $DataDir $DataArg
        Push $DataDir
        Call IsFullPath
        Pop $1
        ${If} $1 != 1
            MessageBox MB_OK|MB_ICONSTOP "$(DataInvalid)" /SD IDOK
            SetErrorLevel 2
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

; Nothing is installed into the data folder: the page's lines of space
; needed and free (controls 1023 and 1024) would only mislead.
Function DataPageShow
    FindWindow $0 "#32770" "" $HWNDPARENT
    GetDlgItem $1 $0 1023
    ShowWindow $1 ${SW_HIDE}
    GetDlgItem $1 $0 1024
    ShowWindow $1 ${SW_HIDE}
FunctionEnd

Function DataPageLeave
    Push $DataDir
    Call IsFullPath
    Pop $0
    ${If} $0 != 1
        MessageBox MB_OK|MB_ICONEXCLAMATION "$(DataInvalid)"
        Abort
    ${EndIf}
    ${IfNot} ${FileExists} "$DataDir\sqlDatabase\QOR-database.db"
        MessageBox MB_YESNO|MB_ICONEXCLAMATION "$(DataMissing)" IDYES keep
        Abort
        keep:
    ${EndIf}
FunctionEnd

Section "-Tabulon"
    SetOutPath "$INSTDIR"
    !insertmacro TabulonInstallFiles
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    ; A shortcut's working directory is $OUTDIR. It is set here without
    ; SetOutPath, which would create the data folder.
    StrCpy $OUTDIR $DataDir
    ClearErrors
    CreateShortCut "${SHORTCUT}" "$INSTDIR\Tabulon.exe" "" "$INSTDIR\Tabulon.exe" 0 SW_SHOWNORMAL "" "$(ShortcutComment)"
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$(ShortcutFailed)" /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    StrCpy $OUTDIR $INSTDIR

    WriteRegStr HKLM "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${SETTINGS_KEY}" "DataDir" "$DataDir"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tabulon"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Tabulon.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Uninstall"
    ; Only the files installed, by name: an operator's own files, and
    ; the folders holding them, stay.
    !insertmacro TabulonRemoveFiles
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    Delete "${SHORTCUT}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "${SETTINGS_KEY}"
SectionEnd
