# What a Windows user gets: one folder holding veltra.exe, veltra-replay.exe, the DLLs
# they load and Qt's plugins for the windowing system and the native style, as an
# installer (`make package-windows`) and as a ZIP of the same folder.

install(FILES LICENSE README.md DESTINATION .)
install(DIRECTORY docs DESTINATION .) # the pages the README links to
# Plugins Qt loads by name at run time, from folders beside the program.
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

# The DLLs are found by following the binaries' imports through the folders of the
# libraries built for Windows and of MinGW's run-time: what is not found there is
# Windows' own. Shipped stripped, as the programs are, all in the install code below.
get_target_property(opencvDll opencv_core IMPORTED_LOCATION_RELEASE)
get_filename_component(opencvBin ${opencvDll} DIRECTORY)
set(dllFolders ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS} ${opencvBin})
foreach(runtime IN ITEMS libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(folder ${found} DIRECTORY)
    list(APPEND dllFolders ${folder})
endforeach()
list(REMOVE_DUPLICATES dllFolders)
# The same folders, one a line, for Wine's search path when the built programs and the
# tests run in the build (scripts/wine-run.sh).
list(JOIN dllFolders "\n" lines)
file(WRITE ${CMAKE_BINARY_DIR}/dll-folders "${lines}\n")
# CMake matches a PE file's imports in lower case, as Windows would, but this file
# system is case-sensitive (Qt6Core.dll): the DLLs are looked for through links named in
# lower case.
set(dllIndex ${CMAKE_BINARY_DIR}/dll-index)
file(REMOVE_RECURSE ${dllIndex})
file(MAKE_DIRECTORY ${dllIndex})
foreach(folder IN LISTS dllFolders)
    file(GLOB dlls ${folder}/*.dll)
    foreach(dll IN LISTS dlls)
        get_filename_component(name ${dll} NAME)
        string(TOLOWER ${name} name)
        file(CREATE_LINK ${dll} ${dllIndex}/${name} SYMBOLIC)
    endforeach()
endforeach()
# strip writes the time it runs into a PE file's header, unless told a time: the
# commit's, so that the same commit gives the same files.
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE commitTime OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT commitTime)
    set(commitTime 1)
endif()
install(CODE "
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${CMAKE_OBJDUMP}\")
    set(dllIndex \"${dllIndex}\")
    set(strip \"${CMAKE_COMMAND}\" -E env SOURCE_DATE_EPOCH=${commitTime} \"${CMAKE_STRIP}\" --strip-unneeded)
")
install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(GET_RUNTIME_DEPENDENCIES
        EXECUTABLES "${root}/veltra.exe" "${root}/veltra-replay.exe"
        MODULES "${root}/platforms/qwindows.dll" "${root}/styles/qwindowsvistastyle.dll"
        DIRECTORIES ${dllIndex}
        RESOLVED_DEPENDENCIES_VAR shipped
        UNRESOLVED_DEPENDENCIES_VAR windowsOwn)
    list(SORT windowsOwn CASE INSENSITIVE)
    message(STATUS "Windows' own DLLs, not shipped: ${windowsOwn}")
    foreach(link IN LISTS shipped)
        get_filename_component(dll "${link}" REALPATH)
        file(INSTALL "${dll}" DESTINATION "${root}")
        get_filename_component(name "${dll}" NAME)
        execute_process(COMMAND ${strip} "${root}/${name}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    foreach(file IN ITEMS veltra.exe veltra-replay.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll)
        execute_process(COMMAND ${strip} "${root}/${file}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
]])

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME Veltra)
set(CPACK_PACKAGE_VENDOR "The Veltra developers")
# The installed-apps entry tells builds apart by their commit's number in the history:
# an upgrade from one commit to the next is seen as one.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-list --count HEAD
    OUTPUT_VARIABLE commits OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE gitFailed ERROR_QUIET)
if(NOT gitFailed AND commits)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.${commits})
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "track a coloured marker in the camera picture and paint its trail")
set(CPACK_PACKAGE_FILE_NAME veltra-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Veltra)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Veltra)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES OFF) # stripped above, with the commit's time
# A Start-menu entry for the program, and the installer, the uninstaller and the
# installed apps' list showing the program's icon.
set(CPACK_PACKAGE_EXECUTABLES veltra Veltra)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .) # beside its DLLs, not in bin/
set(CPACK_NSIS_DISPLAY_NAME Veltra)
set(CPACK_NSIS_PACKAGE_NAME Veltra)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/packaging/icons/veltra.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/packaging/icons/veltra.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME veltra.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit installer for a 64-bit program: into Program Files, not Program Files
# (x86), and its entry in the 64-bit registry.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_EXECUTABLE ${PROJECT_SOURCE_DIR}/packaging/windows/makensis-amd64.sh)
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# The values reach the installer's script as written here (NSIS's ${...} among them).
set(CPACK_VERBATIM_VARIABLES ON)

# An upgrade replaces the earlier version in place: the installer runs the earlier
# version's uninstaller first (above), and then writes one installed-apps entry, with
# the folder it went to and its size beside CPack's own fields.
set(uninstallKey "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "
  WriteRegStr SHCTX \"${uninstallKey}\" \"InstallLocation\" \"$INSTDIR\"
  \${GetSize} \"$INSTDIR\" \"/S=0K\" $0 $1 $2
  IntFmt $0 \"0x%08X\" $0
  WriteRegDWORD SHCTX \"${uninstallKey}\" \"EstimatedSize\" \"$0\"")
# Windows keeps a running program's files from being replaced or removed: an installer
# or uninstaller run while Veltra runs would leave a half-replaced folder. Both stop
# first while the program's mark (a named mutex it holds, platform/instance_win.cpp)
# exists; silently, with exit code 2. The check goes first in CMake's own NSIS script.
# The installer records no file times (the files take the time they are installed at),
# so that the same commit gives the same installer; the ZIP takes the commit's time
# (SOURCE_DATE_EPOCH, scripts/package-windows.sh).
set(CPACK_NSIS_DEFINES "!include FileFunc.nsh
SetDateSave off
!macro VeltraNotRunning ID
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w \"${VELTRA_RUNNING_MARK}\") p .r9'
  IntPtrCmp $9 0 veltra_not_running_\${ID}
  System::Call 'kernel32::CloseHandle(p r9)'
  MessageBox MB_OK|MB_ICONSTOP \"Veltra is running. Close it, then try again.\" /SD IDOK
  SetErrorLevel 2
  Quit
  veltra_not_running_\${ID}:
!macroend")
file(READ ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in template)
foreach(function IN ITEMS .onInit un.onInit)
    string(FIND "${template}" "\nFunction ${function}\n" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "CMake's NSIS script has no function ${function} to check in")
    endif()
    string(MAKE_C_IDENTIFIER "${function}" id)
    string(REPLACE "\nFunction ${function}\n" "\nFunction ${function}\n  !insertmacro VeltraNotRunning ${id}\n"
        template "${template}")
endforeach()
# Whether the user is an administrator is asked of NSIS's UserInfo plugin. When that
# plugin cannot be called, CMake's script still installs for all users, into Program
# Files, but leaves the registry context at the current user's: the installed-apps entry
# goes to HKCU, where the next installer's look for an earlier version (HKLM) misses it.
# Both the installer and the uninstaller take the all-users context then.
string(REGEX MATCHALL "\n  noLM:\n" unknownUser "${template}")
list(LENGTH unknownUser unknownUser)
if(NOT unknownUser EQUAL 2)
    message(FATAL_ERROR "CMake's NSIS script has ${unknownUser} places for a user it cannot tell, not 2")
endif()
string(REPLACE "\n  noLM:\n" "\n  noLM:\n    SetShellVarContext all\n" template "${template}")
file(WRITE ${CMAKE_BINARY_DIR}/nsis/NSIS.template.in "${template}")
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_BINARY_DIR}/nsis)
include(CPack)
