# Which source folders may include which: the lower layers never reach up. Run with
# cmake -DSOURCE_DIR=<repository> -P Layering.cmake; fails with the offending lines.
set(rules
    "core:core|kestrel"
    "repository:core|kestrel|repository"
    "accounts:core|kestrel|accounts|ui"
)
set(failures "")
foreach(rule IN LISTS rules)
    string(REPLACE ":" ";" parts "${rule}")
    list(GET parts 0 folder)
    list(GET parts 1 allowed)
    file(GLOB_RECURSE files "${SOURCE_DIR}/src/${folder}/*.h" "${SOURCE_DIR}/src/${folder}/*.cpp")
    foreach(file IN LISTS files)
        file(STRINGS "${file}" includes REGEX "^#include \"[^\"]+/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" target "${line}")
            if(NOT target MATCHES "^(${allowed})$")
                file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
                string(APPEND failures "  ${shown}: ${line}\n")
            endif()
        endforeach()
    endforeach()
endforeach()
if(failures)
    message(FATAL_ERROR "includes that reach up a layer:\n${failures}")
endif()
