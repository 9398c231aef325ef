# How the project is installed and consumed: the CMake package and the
# pkg-config file.
#
# Three install components:
#   runtime      libmarlclient.so.1 and libcmnHal.so.1
#   development  headers, development links, CMake package, marlclient.pc
#   tools        marl, marld and the Wireshark dissector
include(CMakePackageConfigHelpers)

set(MARL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/marlclient)

# The CMake package. It is relocatable: every path in it is found from the
# folder it was installed in.
install(EXPORT marlclientTargets
    NAMESPACE marlclient::
    DESTINATION ${MARL_INSTALL_CMAKEDIR}
    COMPONENT development)
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

# The pkg-config file names the configured prefix.
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
configure_file(${PROJECT_SOURCE_DIR}/cmake/marlclient.pc.in ${PROJECT_BINARY_DIR}/marlclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/marlclient.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
