# Fails when the shared library exports anything but its public API: what
# the public header marks TAVRO_M_EXPORT, and the standard-library templates
# it instantiates. Run with -DLIBRARY=<library> -DHEADER=<public header>.
find_program(NM nm REQUIRED)

# The names the header exports: "class TAVRO_M_EXPORT Name", "TAVRO_M_EXPORT
# Type name(".
file(STRINGS ${HEADER} declarations REGEX "TAVRO_M_EXPORT")
set(public "")
foreach(line IN LISTS declarations)
    if(line MATCHES "(class|struct) TAVRO_M_EXPORT ([A-Za-z_0-9]+)")
        list(APPEND public ${CMAKE_MATCH_2})
    elseif(line MATCHES "TAVRO_M_EXPORT [^(]*[ *&]([A-Za-z_0-9]+)\\(")
        list(APPEND public ${CMAKE_MATCH_1})
    endif()
endforeach()
list(JOIN public "|" public_names)
execute_process(COMMAND ${NM} -DC --defined-only ${LIBRARY}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" symbols "${symbols}")
set(leaks "")
set(count 0)
foreach(line IN LISTS symbols)
    # Sanitizer builds add their own markers (e.g. __odr_asan.<name>) for exported data.
    if(line STREQUAL "" OR line MATCHES " __odr_asan|__asan_|__ubsan_")
        continue()
    endif()
    math(EXPR count "${count} + 1")
    # Strip the public names; any project name left over is an internal.
    string(REGEX REPLACE "tavro::(${public_names})" "" rest "${line}")
    if(rest MATCHES "tavro::|detail|anonymous namespace|SerialSlot")
        list(APPEND leaks "${line}")
    endif()
    # Data: only the meta-object of the control.
    if(line MATCHES "^[0-9a-f]+ [BDbdGgSs] " AND NOT line MATCHES "tavro_m::staticMetaObject$")
        list(APPEND leaks "${line}")
    endif()
endforeach()
if(count LESS 10)
    message(FATAL_ERROR "only ${count} exported symbols in ${LIBRARY}: not the library?")
endif()
if(leaks)
    list(REMOVE_DUPLICATES leaks)
    list(JOIN leaks "\n  " text)
    message(FATAL_ERROR "${LIBRARY} exports internals:\n  ${text}")
endif()
message(STATUS "${count} exported symbols, all public API")
