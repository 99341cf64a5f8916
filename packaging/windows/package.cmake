# What a Windows user gets: one folder holding veltra.exe, veltra-replay.exe, the DLLs
# they load and Qt's plugins for the windowing system and the native style, as an
# installer (`make package-windows`) and as a ZIP of the same folder.

install(FILES LICENSE README.md DESTINATION .)
# Plugins Qt loads by name at run time, from folders beside the program.
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

# The DLLs are found by following the binaries' imports through the folders of the
# libraries built for Windows and of MinGW's run-time: what is not found there is
# Windows' own. Shipped stripped, as the programs are.
get_filename_component(opencvBin ${OpenCV_core_LIBRARY} DIRECTORY)
get_filename_component(opencvBin ${opencvBin}/../bin ABSOLUTE)
set(dllFolders ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS} ${opencvBin})
foreach(runtime IN ITEMS libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(folder ${found} DIRECTORY)
    list(APPEND dllFolders ${folder})
endforeach()
list(REMOVE_DUPLICATES dllFolders)
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
find_program(VELTRA_OBJDUMP ${CMAKE_CXX_COMPILER_TARGET}objdump NAMES x86_64-w64-mingw32-objdump REQUIRED)
install(CODE "
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${VELTRA_OBJDUMP}\")
    set(dllIndex \"${dllIndex}\")
    set(strip \"${CMAKE_STRIP}\")
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
        execute_process(COMMAND "${strip}" --strip-unneeded "${root}/${name}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    foreach(plugin IN ITEMS platforms/qwindows.dll styles/qwindowsvistastyle.dll)
        execute_process(COMMAND "${strip}" --strip-unneeded "${root}/${plugin}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
]])

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME Veltra)
set(CPACK_PACKAGE_VENDOR "The Veltra developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "track a coloured marker in the camera picture and paint its trail")
set(CPACK_PACKAGE_FILE_NAME veltra-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Veltra)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Veltra)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# A Start-menu entry for the program, and the installer, the uninstaller and the
# installed apps' list showing the program's icon.
set(CPACK_PACKAGE_EXECUTABLES veltra Veltra)
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
include(CPack)
