# Run by cpack (CPACK_PROJECT_CONFIG_FILE) in a cross build, where
# dpkg-shlibdeps cannot ask the build host's package database about the
# target's libraries. Each package depends on the packages of the libraries
# its binaries need, at the lowest version that defines every symbol version
# they use, as Debian's symbols files state it: libc6 (>= N) for GLIBC_N,
# libgcc-s1 (>= N) for GCC_N, and for libstdc++6 the release that Debian's
# symbols file records for each GLIBCXX_ and CXXABI_ version, which are the
# same on every architecture. The project's own libraries come with the
# runtime package, which the others depend on already.
cmake_policy(VERSION 3.25) # cpack reads this with the policies of CMake 2.x
include(${CPACK_MARL_BINARIES_FILE})

# marl_depends(OUT BINARY...): the Depends field for the binaries.
function(marl_depends out)
    set(packages "")
    foreach(binary IN LISTS ARGN)
        execute_process(COMMAND ${MARL_READELF} --wide --dynamic --version-info ${binary}
            OUTPUT_VARIABLE elf COMMAND_ERROR_IS_FATAL ANY)
        string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]+\\]|File: [^ ]+|Name: [^ ]+" words "${elf}")
        set(package "")
        foreach(word IN LISTS words)
            if(word MATCHES "\\[(.+)\\]$|^File: (.+)$")
                set(soname ${CMAKE_MATCH_1}${CMAKE_MATCH_2})
                if(soname MATCHES "^(libc\\.so\\.6|libm\\.so\\.6|ld\\.so\\.1)$")
                    set(package libc6)
                elseif(soname STREQUAL "libgcc_s.so.1")
                    set(package libgcc-s1)
                elseif(soname STREQUAL "libstdc++.so.6")
                    set(package libstdc++6)
                elseif(soname MATCHES "^lib(marlclient|cmnHal)\\.so\\.1$")
                    set(package "")
                else()
                    message(FATAL_ERROR "${binary} needs ${soname}, whose Debian package is not known here")
                endif()
                if(package AND NOT package IN_LIST packages)
                    list(APPEND packages ${package})
                    set(minimum_${package} 0)
                endif()
            elseif(package AND word MATCHES "^Name: ((GLIBC|GCC)_([0-9.]+)|(GLIBCXX|CXXABI)_[0-9.]+)$")
                set(version ${CMAKE_MATCH_3})
                if(CMAKE_MATCH_4)
                    file(GLOB symbols /var/lib/dpkg/info/libstdc++6:*.symbols /var/lib/dpkg/info/libstdc++6.symbols)
                    file(STRINGS "${symbols}" line REGEX "^ ${CMAKE_MATCH_1}@${CMAKE_MATCH_1} ")
                    if(NOT line MATCHES " ([^ ]+)$")
                        message(FATAL_ERROR "No release of libstdc++6 is known for ${CMAKE_MATCH_1} (${symbols})")
                    endif()
                    set(version ${CMAKE_MATCH_1})
                endif()
                if(version VERSION_GREATER minimum_${package})
                    set(minimum_${package} ${version})
                endif()
            endif()
        endforeach()
    endforeach()
    list(SORT packages)
    set(depends "")
    foreach(package IN LISTS packages)
        list(APPEND depends "${package} (>= ${minimum_${package}})")
    endforeach()
    list(JOIN depends ", " depends)
    set(${out} "${depends}" PARENT_SCOPE)
endfunction()

marl_depends(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ${MARL_RUNTIME_BINARIES})
marl_depends(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${MARL_TOOLS_BINARIES})
