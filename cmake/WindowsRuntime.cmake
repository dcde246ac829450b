# The DLLs a Windows build of the viewer loads besides Qt's own: SQLite's
# and, with MinGW, the compiler's runtime. Found once, for running the
# tests under Wine and for the package.

# sqlite3.dll lies in bin/ beside the lib/ of its import library.
function(tabulon_sqlite_dll out)
    get_filename_component(lib_dir "${SQLite3_LIBRARY}" DIRECTORY)
    find_file(TABULON_SQLITE_DLL sqlite3.dll HINTS "${lib_dir}/../bin" "${lib_dir}" NO_DEFAULT_PATH)
    if(NOT TABULON_SQLITE_DLL)
        message(FATAL_ERROR "sqlite3.dll not found beside ${SQLite3_LIBRARY} (looked in ${lib_dir}/../bin)")
    endif()
    set(${out} "${TABULON_SQLITE_DLL}" PARENT_SCOPE)
endfunction()

# The runtime DLLs of the compiler that built the program, which are what
# it was linked against.
function(tabulon_compiler_runtime_dlls out)
    set(dlls "")
    if(MINGW)
        foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
            execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
            if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
                message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${name} is")
            endif()
            get_filename_component(path "${path}" REALPATH)
            list(APPEND dlls "${path}")
        endforeach()
    endif()
    set(${out} "${dlls}" PARENT_SCOPE)
endfunction()

# Every folder holding one of those DLLs or Qt's.
function(tabulon_windows_dll_dirs out)
    get_target_property(qt_core Qt5::Core IMPORTED_LOCATION_RELEASE)
    tabulon_sqlite_dll(sqlite)
    tabulon_compiler_runtime_dlls(runtime)
    set(dirs "")
    foreach(dll IN LISTS runtime qt_core sqlite)
        get_filename_component(dir "${dll}" DIRECTORY)
        list(APPEND dirs "${dir}")
    endforeach()
    list(REMOVE_DUPLICATES dirs)
    set(${out} "${dirs}" PARENT_SCOPE)
endfunction()
