# Flags shared by every target of the project.

# Log lines name source files as "src/..." and similar, relative to the
# project, whatever the build or source directory: strip the source
# directory's path from __FILE__. Targets map their own directories on top of
# this (the later, more specific mapping wins).
add_compile_options(-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)

if(MARL_SANITIZE)
    add_compile_options(-fsanitize=${MARL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${MARL_SANITIZE})
endif()

# Coverage feedback for libFuzzer from all the code a target runs, not only
# from the target's own file; the targets link libFuzzer itself.
if(MARL_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
    add_link_options(-fsanitize=fuzzer-no-link)
endif()

# The project's own code is built with these warnings; third-party code built
# in the tree (GoogleTest for the cross build) does not link this target. They
# are errors in our builds and CI (MARL_WERROR=ON, which scripts/ sets), not
# for a user who builds the library with another compiler.
option(MARL_WERROR "Treat the project's warnings as errors" OFF)
add_library(marl_warnings INTERFACE)
target_compile_options(marl_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wundef $<$<BOOL:${MARL_WERROR}>:-Werror>
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor>)

# The stricter set for code that handles bytes and sizes.
add_library(marl_strict_warnings INTERFACE)
target_link_libraries(marl_strict_warnings INTERFACE marl_warnings)
target_compile_options(marl_strict_warnings INTERFACE -Wconversion -Wsign-conversion -Wcast-align)
