# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack's -dbgsym packages (.ddeb) hold the debugging symbols alone. Debian's
# own carry their package's documentation as a link,
# /usr/share/doc/PACKAGE-dbgsym -> PACKAGE, which is the licence's place and
# which the dbgsym package may use because it depends on PACKAGE at its exact
# version: each .ddeb is made again with that link added, and with its
# md5sums listing the files by their paths in the package (CMake 3.25 writes
# the paths of its staging folder there).
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT ddeb MATCHES "\\.ddeb$")
        continue()
    endif()
    set(tree ${ddeb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${ddeb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND dpkg-deb -f ${ddeb} Package OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE
        COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "-dbgsym$" "" documented ${package})
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK ${documented} ${tree}/usr/share/doc/${package} SYMBOLIC)
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/usr/*)
    set(sums "")
    foreach(path IN LISTS files)
        if(NOT IS_SYMLINK ${tree}/${path})
            file(MD5 ${tree}/${path} sum)
            string(APPEND sums "${sum}  ${path}\n")
        endif()
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${ddeb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
