# cmake -DOBJDUMP=<objdump> -DEXE=<file> [-DFORBIDDEN=dll;...] -P check_imports.cmake
# Fails unless every DLL that EXE imports is a Windows system DLL, so that
# the program runs from its one file (no C++, GCC or threads runtime DLLs),
# and none of FORBIDDEN (names without ".dll").
cmake_minimum_required(VERSION 3.25)
set(system_dlls
    kernel32 user32 gdi32 comctl32 comdlg32 shell32 shlwapi advapi32 ole32 oleaut32
    uxtheme version msvcrt ntdll setupapi winmm imm32 ws2_32 bcrypt odbc32 winhttp)

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed (${rc})")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
    message(FATAL_ERROR "no imported DLL found in ${EXE}: not a PE file?")
endif()
set(foreign "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^DLL Name: *" "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" name)
    string(REGEX REPLACE "\\.dll$" "" name "${name}")
    message(STATUS "imports ${dll}")
    if(NOT name IN_LIST system_dlls)
        message(SEND_ERROR "not a Windows system DLL: ${dll}")
        list(APPEND foreign ${dll})
    elseif(name IN_LIST FORBIDDEN)
        message(SEND_ERROR "imports a DLL it must not use: ${dll}")
        list(APPEND foreign ${dll})
    endif()
endforeach()
if(foreign)
    message(FATAL_ERROR "${EXE} imports what it must not: ${foreign}")
endif()
