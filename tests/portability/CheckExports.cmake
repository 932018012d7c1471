# Checks the export table of the shared library against a list of names.
#
#   cmake -DLIBRARY=<DAVRO64u.dll or libdavro.so> -DLIST=<Exports.txt> -DFORMAT=pe|elf
#         -DDUMP=<objdump for pe, nm for elf> -DDEMANGLE=<c++filt> [-DPRINT=ON]
#         -P CheckExports.cmake
#
# Every name in LIST must be exported, written as c++filt prints it. A line "!text" forbids
# every export whose demangled name contains `text`. Win32 types are written without
# namespace or tag prefix (FILETIME, not _FILETIME or davro::win32::FILETIME). PRINT=ON
# lists the library's exports (demangled) instead, to help grow the list.
foreach(var LIBRARY LIST FORMAT DUMP DEMANGLE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "CheckExports.cmake: ${var} is not set")
    endif()
endforeach()

function(run output)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out
                    ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${err}")
    endif()
    set(${output} "${out}" PARENT_SCOPE)
endfunction()

# The mangled names that the library exports.
set(mangled)
if(FORMAT STREQUAL "pe")
    # objdump -p prints the export table as "\t[ordinal] name" lines after this heading.
    run(dump ${DUMP} -p ${LIBRARY})
    string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
    if(start EQUAL -1)
        message(FATAL_ERROR "${LIBRARY} has no export table")
    endif()
    string(SUBSTRING "${dump}" ${start} -1 dump)
    string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" lines "${dump}")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${line}")
        list(APPEND mangled "${name}")
    endforeach()
elseif(FORMAT STREQUAL "elf")
    # nm -D --defined-only: "address type name"; every defined dynamic symbol is exported.
    run(dump ${DUMP} -D --defined-only ${LIBRARY})
    string(REGEX MATCHALL "[^\n]+" lines "${dump}")
    foreach(line IN LISTS lines)
        if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] (.+)$")
            list(APPEND mangled "${CMAKE_MATCH_1}")
        endif()
    endforeach()
else()
    message(FATAL_ERROR "FORMAT must be pe or elf, not '${FORMAT}'")
endif()
list(LENGTH mangled count)
if(count EQUAL 0)
    message(FATAL_ERROR "no exports found in ${LIBRARY}")
endif()

# Demangle them all in one run of c++filt, one name per line in and out.
get_filename_component(work "${LIBRARY}" DIRECTORY)
set(file "${work}/exports-mangled.txt")
list(JOIN mangled "\n" text)
file(WRITE "${file}" "${text}\n")
execute_process(COMMAND ${DEMANGLE} INPUT_FILE "${file}" RESULT_VARIABLE result
                OUTPUT_VARIABLE text)
file(REMOVE "${file}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${DEMANGLE} failed (${result})")
endif()
string(REPLACE ";" "\\;" text "${text}")
# One spelling on both systems: <windows.h> names its structures by their tags (_FILETIME),
# the Linux layer puts the same types in davro::win32.
string(REPLACE "davro::win32::" "" text "${text}")
string(REGEX REPLACE "([^A-Za-z0-9_])_(FILETIME|SYSTEMTIME)" "\\1\\2" text "${text}")
string(REGEX MATCHALL "[^\n]+" exports "${text}")

if(PRINT)
    list(SORT exports)
    list(JOIN exports "\n" text)
    message("${text}")
    return()
endif()

# Compare with the list.
file(STRINGS "${LIST}" wanted)
set(failures)
set(checked 0)
foreach(line IN LISTS wanted)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
        continue()
    endif()
    math(EXPR checked "${checked} + 1")
    if(line MATCHES "^!(.+)$")
        set(forbidden "${CMAKE_MATCH_1}")
        foreach(name IN LISTS exports)
            string(FIND "${name}" "${forbidden}" at)
            if(NOT at EQUAL -1)
                list(APPEND failures "exported but must not be: ${name}")
            endif()
        endforeach()
    else()
        list(FIND exports "${line}" at)
        if(at EQUAL -1)
            list(APPEND failures "not exported: ${line}")
        endif()
    endif()
endforeach()

list(LENGTH exports count)
if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "${LIBRARY} (${count} exports):\n  ${text}")
endif()
message(STATUS "${LIBRARY}: ${checked} entries of ${LIST} hold (${count} exports)")
