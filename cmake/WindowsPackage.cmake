# The operators' Windows package: Tabulon.exe at the top with every DLL it
# loads beside it, Qt's platform and style plugins in the folders Qt looks
# in (platforms\, styles\ beside the executable), a sample configuration and
# the guide. "cpack -G ZIP" in the build folder zips it as
# Tabulon-<version>-win64.zip; scripts/package-windows.sh also stages it with
# "cmake --install" and builds the installer from the staged files.
include(${PROJECT_SOURCE_DIR}/cmake/WindowsRuntime.cmake)

# Qt as the build found it; the configuration's own file for multi-config
# generators.
install(FILES $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Gui> $<TARGET_FILE:Qt5::Widgets> DESTINATION .)
foreach(plugin Qt5::QWindowsIntegrationPlugin Qt5::QWindowsVistaStylePlugin)
    if(NOT TARGET ${plugin})
        message(FATAL_ERROR "This Qt has no ${plugin}: the package cannot show a window")
    endif()
    get_target_property(plugin_type ${plugin} QT_PLUGIN_TYPE)
    install(FILES $<TARGET_FILE:${plugin}> DESTINATION ${plugin_type})
endforeach()

tabulon_sqlite_dll(tabulon_sqlite)
install(FILES ${tabulon_sqlite} DESTINATION .)

# The compiler's runtime DLLs carry debug sections (libstdc++-6.dll is 23 MB
# with them, 2 MB without): the package takes stripped copies made here.
tabulon_compiler_runtime_dlls(tabulon_runtime)
if(tabulon_runtime AND NOT CMAKE_STRIP)
    message(FATAL_ERROR "No strip program for ${CMAKE_CXX_COMPILER}: the package would carry the runtime's debug sections")
endif()
set(tabulon_stripped_runtime "")
foreach(dll IN LISTS tabulon_runtime)
    get_filename_component(name "${dll}" NAME)
    set(copy ${CMAKE_BINARY_DIR}/package-runtime/${name})
    add_custom_command(OUTPUT ${copy}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package-runtime
        COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${copy} ${dll}
        DEPENDS ${dll}
        COMMENT "Stripping ${name} for the package"
        VERBATIM)
    list(APPEND tabulon_stripped_runtime ${copy})
endforeach()
if(tabulon_stripped_runtime)
    add_custom_target(tabulon_package_runtime ALL DEPENDS ${tabulon_stripped_runtime})
    install(FILES ${tabulon_stripped_runtime} DESTINATION .)
endif()
if(MSVC)
    # An MSVC build loads Microsoft's C++ runtime instead.
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/Tabulon.ini DESTINATION config)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME Tabulon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME Tabulon-${PROJECT_VERSION}-win64)
else()
    set(CPACK_PACKAGE_FILE_NAME Tabulon-${PROJECT_VERSION}-win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Tabulon.exe keeps the C runtime's debug sections otherwise.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
