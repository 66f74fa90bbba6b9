# Installation and the Debian package. The program and its manual go under the install prefix;
# the description file goes to the path compiled into the program, wherever the prefix is, so
# that the installed program always finds it. DESTDIR is prepended to both.
include(GNUInstallDirs)

# Installing and packaging take what the build made; they never start a build of everything
# (the tests included) of their own.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

if(NOT IS_ABSOLUTE "${N2K_DEFAULT_CONFIG_PATH}")
    message(FATAL_ERROR "N2K_DEFAULT_CONFIG_PATH must be an absolute path, not "
                        "'${N2K_DEFAULT_CONFIG_PATH}'")
endif()
get_filename_component(n2k_config_dir "${N2K_DEFAULT_CONFIG_PATH}" DIRECTORY)
get_filename_component(n2k_config_name "${N2K_DEFAULT_CONFIG_PATH}" NAME)

install(TARGETS n2k-listen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/n2k-listen.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES share/n2k-devices.conf DESTINATION "${n2k_config_dir}" RENAME "${n2k_config_name}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME n2k-listen)
set(CPACK_PACKAGE_VENDOR "Drelvin")
set(CPACK_PACKAGE_CONTACT "n2k-listen maintainers <n2k-listen@drelvin.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NMEA 2000 listener for J1939 CAN sockets")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "n2k-listen prints every NMEA 2000 message that the kernel's J1939 layer delivers on a CAN "
    "interface, as raw lines or as JSON objects decoded through a PGN description file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
