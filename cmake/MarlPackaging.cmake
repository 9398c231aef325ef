# How the project is installed and consumed: the CMake package, the
# pkg-config file and the Debian packages.
#
# Three install components, one Debian package each:
#   runtime      libmarlclient1     libmarlclient.so.1 and libcmnHal.so.1
#   development  libmarlclient-dev  headers, development links, CMake package,
#                                   marlclient.pc, libmarlclient(3)
#   tools        marlclient-tools   marl, marld, the Wireshark dissector and
#                                   their manual pages
include(CMakePackageConfigHelpers)

set(MARL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/marlclient)

# The CMake package. It is relocatable: every path in it is found from the
# folder it was installed in.
install(EXPORT marlclientTargets
    NAMESPACE marlclient::
    DESTINATION ${MARL_INSTALL_CMAKEDIR}
    COMPONENT development)
# The same targets for the build tree, so that -Dmarlclient_DIR=BUILD_DIR
# finds this build's libraries and headers without installing them.
export(EXPORT marlclientTargets NAMESPACE marlclient:: FILE ${PROJECT_BINARY_DIR}/marlclientTargets.cmake)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/marlclientConfig.cmake.in
    ${PROJECT_BINARY_DIR}/marlclientConfig.cmake
    INSTALL_DESTINATION ${MARL_INSTALL_CMAKEDIR})
# Any 1.x serves a caller built against 1.y (the SONAME stays
# libmarlclient.so.1); the file also refuses a library built for a pointer
# size other than the caller's, such as the 32-bit PowerPC one on x86-64.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/marlclientConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
        ${PROJECT_BINARY_DIR}/marlclientConfig.cmake
        ${PROJECT_BINARY_DIR}/marlclientConfigVersion.cmake
    DESTINATION ${MARL_INSTALL_CMAKEDIR}
    COMPONENT development)

# The pkg-config file finds its prefix from the folder it lies in
# (${pcfiledir}), so it holds under whatever prefix the files are installed or
# moved to. Outside the system's prefix, where the dynamic linker would not
# look, its Libs also give the consumer a run path to the libraries; the
# prefix it is installed under decides, so both forms are made here and the
# install picks one.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(MARL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(MARL_PC_DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
    file(RELATIVE_PATH up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
    string(REGEX REPLACE "/$" "" up "${up}")
    set(MARL_PC_PREFIX "\${pcfiledir}/${up}")
    set(MARL_PC_DESTINATION "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
foreach(dir LIBDIR INCLUDEDIR)
    set(relative ${CMAKE_INSTALL_${dir}})
    if(dir STREQUAL INCLUDEDIR)
        set(relative ${MARL_INSTALL_INCLUDEDIR})
    endif()
    if(IS_ABSOLUTE "${relative}")
        set(MARL_PC_${dir} "${relative}")
    else()
        set(MARL_PC_${dir} "\${prefix}/${relative}")
    endif()
endforeach()
foreach(form system run-path)
    set(MARL_PC_RUN_PATH "")
    if(form STREQUAL run-path)
        set(MARL_PC_RUN_PATH " -Wl,-rpath,\${libdir}")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/marlclient.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${form}/marlclient.pc @ONLY)
endforeach()
install(CODE "
    set(form run-path)
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
        set(form system)
    endif()
    file(INSTALL \"${PROJECT_BINARY_DIR}/pkgconfig/\${form}/marlclient.pc\" DESTINATION \"${MARL_PC_DESTINATION}\")"
    COMPONENT development)

# Run paths. An installed program or library finds the project's libraries
# relative to its own folder ($ORIGIN), so that an install works where it
# lies, under any prefix and after a move, without LD_LIBRARY_PATH. lintian
# accepts $ORIGIN-relative paths, and in /usr they name the folder the
# dynamic linker searches anyway, so the packages carry them too.
set(installed_binaries marlclient marl marld)
set(their_folders LIBDIR BINDIR SBINDIR)
foreach(target dir IN ZIP_LISTS installed_binaries their_folders)
    file(RELATIVE_PATH to_libdir ${CMAKE_INSTALL_FULL_${dir}} ${CMAKE_INSTALL_FULL_LIBDIR})
    if(to_libdir)
        set(to_libdir /${to_libdir})
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN${to_libdir}")
endforeach()

# Installed as root into a folder that the dynamic linker searches through
# its cache (/usr/local/lib, the default, is one), the libraries are usable by
# any program only once the cache knows them: the install refreshes it, as the
# package's trigger does. Staged installs (DESTDIR) and other folders are left
# alone; the programs and pkg-config consumers find them by their run paths.
if(NOT CMAKE_CROSSCOMPILING)
    install(CODE "set(MARL_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")" COMPONENT runtime)
    install(CODE [[
        execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(uid STREQUAL "0" AND "$ENV{DESTDIR}" STREQUAL "")
            cmake_path(ABSOLUTE_PATH MARL_INSTALL_LIBDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
                OUTPUT_VARIABLE libdir)
            string(REGEX REPLACE "/$" "" libdir "${libdir}")
            execute_process(COMMAND ldconfig -N -X -v OUTPUT_VARIABLE searched ERROR_QUIET)
            string(FIND "\n${searched}" "\n${libdir}:" at)
            if(at GREATER -1)
                message(STATUS "Refreshing the dynamic linker's cache: ldconfig")
                execute_process(COMMAND ldconfig COMMAND_ERROR_IS_FATAL ANY)
            endif()
        endif()]] COMPONENT runtime)
endif()

# Debian packages: `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marlclient)
set(MARL_PACKAGE_MAINTAINER "marlclient maintainers <marlclient@example.org>" CACHE STRING
    "Maintainer of the Debian packages, as \"Name <address>\"")
set(CPACK_PACKAGE_CONTACT "${MARL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MARL_PACKAGE_MAINTAINER}")
# Binaries and libraries go stripped; their debugging symbols go into a
# -dbgsym package beside each (.ddeb).
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

# Each package documents itself as Debian expects: the licence and a
# changelog (maximally compressed, reproducibly), and the lintian overrides
# that hold a written reason. The changelog is made while configuring: it
# depends on nothing that is built.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/debian/changelog COMMAND_ERROR_IS_FATAL ANY)
set(MARL_COMPONENTS runtime development tools)
set(MARL_PACKAGES libmarlclient1 libmarlclient-dev marlclient-tools)
foreach(component package IN ZIP_LISTS MARL_COMPONENTS MARL_PACKAGES)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    if(EXISTS ${PROJECT_SOURCE_DIR}/cmake/debian/${package}.lintian-overrides)
        install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
    endif()
endforeach()
# The packages hold what `cmake --install` installs, under the configured
# prefix: configure with -DCMAKE_INSTALL_PREFIX=/usr for packages that put
# the libraries in the multiarch folder and the pkg-config file's paths there.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${MARL_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Component dependencies become Depends on the package of the same version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# A shlibs file in the library package, so that packages built against it
# depend on it through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Descriptions: the first line is the package's synopsis. CPack would put
# the project's description in front of each unless the summary is empty.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libmarlclient1)
# CMake 3.25's DEB generator writes no Multi-Arch field: the Section value
# carries it on a line of its own. The library packages of several
# architectures install side by side; their shared files are byte-identical.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs\nMulti-Arch: same")
# The dynamic linker's cache must learn of the libraries wherever the prefix
# puts them; CPack runs ldconfig by itself only for /lib and /usr/lib.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
    ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Point client library\nlibmarlclient.so.1 raises, clears and queries named alarm points at the\npoint service of the central node over UDP. This package also holds\nlibcmnHal.so.1, a stand-in for the platform library that names the\ncentral node (CMN_HAL_CENTRAL_ADDRESS, default 127.0.0.1).")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmarlclient-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel\nMulti-Arch: same")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Point client library - development files\nHeaders, development links, the CMake package (find_package(marlclient)),\nthe pkg-config file marlclient.pc and the manual page libmarlclient(3).")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME marlclient-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Point service and command-line client\nmarld, a point service for one machine, with its systemd units; marl,\nwhich raises, clears and queries points from the shell; a Wireshark\ndissector for the datagrams; their manual pages.")
# Its units are enabled and started as dh_installsystemd would.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/tools/postinst
    ${PROJECT_SOURCE_DIR}/cmake/debian/tools/prerm ${PROJECT_SOURCE_DIR}/cmake/debian/tools/postrm)

# The -dbgsym packages get their documentation link (see the script).
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/dbgsymDocs.cmake)

# The architecture is that of the code in the packages. A cross toolchain
# file names it (cmake/toolchains/); on the build host, CPack asks dpkg.
if(CMAKE_CROSSCOMPILING)
    if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
        message(WARNING "The toolchain file sets no CPACK_DEBIAN_PACKAGE_ARCHITECTURE: "
            "the Debian packages would be labelled with the build host's architecture")
    endif()
    # dpkg-shlibdeps looks binaries up in the build host's package database,
    # which knows nothing of the target's libraries: the dependencies come
    # from the binaries' own symbol versions instead, when cpack runs.
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/debian/binaries.cmake CONTENT "set(MARL_READELF \"${CMAKE_READELF}\")
set(MARL_RUNTIME_BINARIES \"$<TARGET_FILE:marlclient>;$<TARGET_FILE:cmnHal>\")
set(MARL_TOOLS_BINARIES \"$<TARGET_FILE:marl>;$<TARGET_FILE:marld>\")
")
    set(CPACK_MARL_BINARIES_FILE ${PROJECT_BINARY_DIR}/debian/binaries.cmake)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/debian/crossDepends.cmake)
else()
    # The tools need libmarlclient.so.1 from the runtime package, which the
    # host's package database does not know: dpkg-shlibdeps, run in each
    # package's folder, finds it in the runtime package's folder and leaves
    # the dependency to the Depends above.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../runtime${CMAKE_INSTALL_FULL_LIBDIR})
endif()

include(CPack)
