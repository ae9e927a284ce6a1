# At install time: every DLL that an installed .exe or .dll imports, and that
# Windows does not bring (system-dlls.txt), is copied beside the programs from
# TORVAN_RUNTIME_DIRS; one found nowhere fails the install. CMake reads the PE
# imports and looks each DLL up by its lower-case name, as Windows matches
# them, then names it as imported: so it looks in a folder of links to the
# real files under both names, and the real files are installed.
set(prefix "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(REMOVE_RECURSE "${TORVAN_SCRATCH}")
file(MAKE_DIRECTORY "${TORVAN_SCRATCH}")
foreach(dir ${TORVAN_RUNTIME_DIRS})
    file(GLOB dlls "${dir}/*.dll")
    foreach(dll ${dlls})
        get_filename_component(name "${dll}" NAME)
        string(TOLOWER "${name}" lower)
        file(CREATE_LINK "${dll}" "${TORVAN_SCRATCH}/${lower}" SYMBOLIC)
        if(NOT name STREQUAL lower)
            file(CREATE_LINK "${dll}" "${TORVAN_SCRATCH}/${name}" SYMBOLIC)
        endif()
    endforeach()
endforeach()

file(STRINGS "${TORVAN_SYSTEM_DLLS}" system_dlls)
set(system_regexes "^api-ms-win-")
foreach(dll ${system_dlls})
    string(REPLACE "." "\\." dll "${dll}")
    list(APPEND system_regexes "^${dll}$")
endforeach()

file(GLOB_RECURSE programs "${prefix}/*.exe")
file(GLOB_RECURSE libraries "${prefix}/*.dll")
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${TORVAN_OBJDUMP}")
file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES ${programs}
    LIBRARIES ${libraries}
    DIRECTORIES "${TORVAN_SCRATCH}"
    PRE_EXCLUDE_REGEXES ${system_regexes}
    RESOLVED_DEPENDENCIES_VAR resolved
    UNRESOLVED_DEPENDENCIES_VAR unresolved)
if(unresolved)
    list(JOIN unresolved ", " unresolved)
    message(FATAL_ERROR "imported, but neither shipped nor part of Windows: ${unresolved}")
endif()
foreach(link ${resolved})
    file(REAL_PATH "${link}" dll)
    file(INSTALL "${dll}" DESTINATION "${prefix}")
endforeach()
