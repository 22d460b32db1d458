# Helpers shared by the folders' build files.

# korv_library(NAME <target> SOURCES_DIR <dir> [EXCLUDE units...] [DEFINITIONS ...] [LINKS ...])
# One static library per source folder: every .cpp of the folder, so a unit is
# added by adding its file pair. EXCLUDE names units that another library of
# the folder holds.
function(korv_library name)
    cmake_parse_arguments(ARG "" "SOURCES_DIR" "EXCLUDE;DEFINITIONS;LINKS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${ARG_SOURCES_DIR}/*.cpp)
    foreach(unit ${ARG_EXCLUDE})
        list(REMOVE_ITEM sources ${ARG_SOURCES_DIR}/${unit}.cpp)
    endforeach()
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    if(ARG_DEFINITIONS)
        target_compile_definitions(${name} PUBLIC ${ARG_DEFINITIONS})
    endif()
    if(ARG_LINKS)
        target_link_libraries(${name} PUBLIC ${ARG_LINKS})
    endif()
endfunction()

# korv_program(<target> <sources>...): a shipped Windows program; its imports are checked.
# The target korv_programs builds the shipped programs alone (./run.sh).
add_custom_target(korv_programs)
function(korv_program name)
    add_executable(${name} WIN32 ${ARGN})
    set_property(GLOBAL APPEND PROPERTY KORV_PROGRAMS ${name})
    add_dependencies(korv_programs ${name})
endfunction()
