# Lindova's link graph: the program links the tray library; the tray library
# links the tray's build of the utility layer and the engine's file search;
# the file search links that utility layer alone. No engine library, no main
# program's build of the utility layer.
function(expect_links what actual expected)
    string(REPLACE "|" ";" actual "${actual}")
    list(SORT actual)
    list(SORT expected)
    if(NOT actual STREQUAL expected)
        message(FATAL_ERROR "${what} links '${actual}', expected '${expected}'")
    endif()
    message(STATUS "${what}: ${actual}")
endfunction()

expect_links(Lindova "${PROGRAM}" "korv_tray")
expect_links(korv_tray "${TRAY}" "korv_platform_tray;korv_filesearch_tray")
expect_links(korv_filesearch_tray "${FILESEARCH}" "korv_platform_tray")
