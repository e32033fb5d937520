# The property sheet's tests and its screenshots (included from this folder's CMakeLists.txt).
add_library(sheet_modules SHARED ${CMAKE_CURRENT_LIST_DIR}/SheetModules.c)
target_include_directories(sheet_modules PRIVATE ${CMAKE_SOURCE_DIR}/include)
set_target_properties(sheet_modules PROPERTIES C_VISIBILITY_PRESET default C_STANDARD 11)

foreach(pair test_sheet:SheetTest test_sheet_grid:SheetGridTest test_sheet_run:SheetRunTest
             test_sheet_workflow:SheetWorkflowTest test_sheet_keys:SheetKeysTest)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 name)
    list(GET pair 1 source)
    add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${source}.cpp)
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(${name} PRIVATE kestrel_testsupport_qt)
    add_test(NAME editor.${name} COMMAND ${name})
    set_tests_properties(editor.${name} PROPERTIES TIMEOUT 120)
endforeach()
# The DLL tests start the module runner from beside the test program.
add_dependencies(test_sheet_run kestrel-module-runner sample_module sheet_modules)
target_compile_definitions(test_sheet_run PRIVATE
    KESTREL_SAMPLE_MODULE="$<TARGET_FILE:sample_module>"
    KESTREL_SHEET_MODULES="$<TARGET_FILE:sheet_modules>")

# The whole module is read back from its file by the command-line tool.
add_dependencies(test_sheet_workflow kestrel-tool)
target_compile_definitions(test_sheet_workflow PRIVATE KESTREL_TOOL_PATH="$<TARGET_FILE:kestrel-tool>")

add_executable(screenshots_sheet ${CMAKE_CURRENT_LIST_DIR}/ScreenshotsSheet.cpp)
target_include_directories(screenshots_sheet PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(screenshots_sheet PRIVATE kestrel_testsupport_qt)
