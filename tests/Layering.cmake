# Which source folders may include which: the lower layers never reach up, the models and
# engines never include Qt, and every folder of src/ is in the table and builds its own target.
# Run with cmake -DSOURCE_DIR=<repository> -P Layering.cmake; fails with the offending lines.
#
# Each rule: folder, whether it may use Qt, and the folders it may include besides itself
# ("kestrel" is the module header in include/).
cmake_policy(VERSION 3.22)
set(rules
    # Qt-free models and engines
    "core          | no-qt | kestrel"
    "accounts      | no-qt | core"
    "accounts/helper | no-qt | core accounts"
    "repository    | no-qt | core kestrel"
    "testing       | no-qt | core kestrel repository"
    "testing/db    | no-qt | core repository testing"
    "testing/runner| no-qt | core kestrel testing"
    "testing/engine| no-qt | core repository testing testing/db testing/runner"
    "testing/batch | no-qt | core repository testing testing/db testing/runner testing/engine"
    # widgets and the report library
    "ui            | qt    | core"
    "printing      | qt    | core ui"
    "printing/report | qt  | core repository ui printing"
    "testing/widgets | qt  | core repository testing testing/db ui"
    "accounts/windows | qt | core accounts ui"
    "editor        | qt    | core accounts accounts/windows repository testing testing/db testing/engine testing/batch
                             testing/widgets printing/report ui"
    "accounts/entry | qt   | core accounts accounts/windows editor ui"
    # programs
    "host          | qt    | core accounts repository testing testing/db"
    "tool          | qt    | core accounts repository testing testing/db testing/engine testing/batch printing printing/report ui"
)

set(failures "")
set(known "")
foreach(rule IN LISTS rules)
    string(REPLACE "|" ";" parts "${rule}")
    list(GET parts 0 folder)
    list(GET parts 1 qt)
    list(GET parts 2 allowed)
    string(STRIP "${folder}" folder)
    string(STRIP "${qt}" qt)
    string(REGEX REPLACE "[ \n]+" ";" allowed "${allowed}")
    list(REMOVE_ITEM allowed "")
    list(APPEND allowed "${folder}")
    list(APPEND known "${folder}")

    if(NOT EXISTS "${SOURCE_DIR}/src/${folder}/CMakeLists.txt")
        string(APPEND failures "  src/${folder}: no CMakeLists.txt of its own\n")
    endif()
    file(GLOB files "${SOURCE_DIR}/src/${folder}/*.h" "${SOURCE_DIR}/src/${folder}/*.cpp")
    foreach(file IN LISTS files)
        file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
        file(STRINGS "${file}" includes REGEX "^#include [\"<]")
        foreach(line IN LISTS includes)
            if(line MATCHES "^#include \"(.+)/[^/\"]+\"")
                list(FIND allowed "${CMAKE_MATCH_1}" at)
                if(at EQUAL -1)
                    string(APPEND failures "  ${shown}: ${line}\n")
                endif()
            elseif(qt STREQUAL "no-qt" AND line MATCHES "^#include <Q")
                string(APPEND failures "  ${shown}: ${line} (a Qt-free folder)\n")
            endif()
        endforeach()
    endforeach()
endforeach()

# A folder the table does not know has no rule, so it would pass unchecked.
file(GLOB_RECURSE all_files LIST_DIRECTORIES false "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp")
foreach(file IN LISTS all_files)
    get_filename_component(dir "${file}" DIRECTORY)
    file(RELATIVE_PATH dir "${SOURCE_DIR}/src" "${dir}")
    list(FIND known "${dir}" at)
    if(at EQUAL -1)
        string(APPEND failures "  src/${dir}: a folder without a rule\n")
        list(APPEND known "${dir}")
    endif()
endforeach()

if(failures)
    message(FATAL_ERROR "includes that reach up a layer, or folders outside the table:\n${failures}")
endif()
