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

# The manual names the description file's path; the installed one names the path this build
# compiled in. It is compressed as packages and man(1) on both systems expect.
set(n2k_manual_source "${PROJECT_SOURCE_DIR}/man/n2k-listen.1")
set(n2k_manual "${PROJECT_BINARY_DIR}/man/n2k-listen.1")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${n2k_manual_source}")
file(READ "${n2k_manual_source}" n2k_manual_text)
string(REPLACE "/usr/share/drelvin/n2k-devices.conf" "${N2K_DEFAULT_CONFIG_PATH}" n2k_manual_text
    "${n2k_manual_text}")
file(CONFIGURE OUTPUT "${n2k_manual}" CONTENT "${n2k_manual_text}" @ONLY)

# gzip -n leaves out the name and time, so that the same manual always gives the same bytes.
find_program(N2K_GZIP gzip)
if(N2K_GZIP)
    add_custom_command(OUTPUT "${n2k_manual}.gz"
        COMMAND "${N2K_GZIP}" -9 -n -c "${n2k_manual}" > "${n2k_manual}.gz"
        DEPENDS "${n2k_manual}"
        COMMENT "Compressing the manual")
    add_custom_target(n2k_manual ALL DEPENDS "${n2k_manual}.gz")
    install(FILES "${n2k_manual}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    add_custom_target(n2k_manual)
    install(FILES "${n2k_manual}" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(TARGETS n2k-listen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES share/n2k-devices.conf DESTINATION "${n2k_config_dir}" RENAME "${n2k_config_name}")

# A Debian package carries its licence as a copyright file and its changelog; `make package`
# builds with this on. The package is native (the project packages itself, there is no Debian
# revision), so the changelog is changelog.gz. The copyright file is made from LICENSE, so the
# two never differ.
option(N2K_DEBIAN_DOCS "Install the Debian copyright file and changelog" OFF)
if(N2K_DEBIAN_DOCS)
    if(NOT N2K_GZIP)
        message(FATAL_ERROR "N2K_DEBIAN_DOCS needs gzip")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
        "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/packaging/changelog")
    file(READ "${PROJECT_SOURCE_DIR}/LICENSE" n2k_license)
    # The licence text without its copyright lines, as a DEP-5 paragraph: every line indented,
    # empty lines as " .".
    string(REGEX REPLACE "^[^\n]*\n[^\n]*\n\n" "" n2k_license "${n2k_license}")
    string(REGEX REPLACE "\n$" "" n2k_license "${n2k_license}")
    string(REPLACE "\n\n" "\n.\n" n2k_license "${n2k_license}")
    string(REPLACE "\n" "\n " n2k_license "${n2k_license}")
    set(n2k_copyright "${PROJECT_BINARY_DIR}/debian/copyright")
    file(CONFIGURE OUTPUT "${n2k_copyright}" CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: n2k-listen
Upstream-Contact: n2k-listen maintainers <n2k-listen@drelvin.invalid>

Files: *
Copyright: 2026 Drelvin and the n2k-listen maintainers
License: BSD-2-Clause
 ${n2k_license}
" @ONLY)
    set(n2k_changelog "${PROJECT_BINARY_DIR}/debian/changelog.gz")
    add_custom_command(OUTPUT "${n2k_changelog}"
        COMMAND "${N2K_GZIP}" -9 -n -c "${PROJECT_SOURCE_DIR}/packaging/changelog"
            > "${n2k_changelog}"
        DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog")
    add_custom_target(n2k_debian_docs ALL DEPENDS "${n2k_changelog}")
    add_dependencies(n2k_manual n2k_debian_docs)
    install(FILES "${n2k_copyright}" "${n2k_changelog}"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/n2k-listen)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME n2k-listen)
set(CPACK_PACKAGE_VENDOR "Drelvin")
set(CPACK_PACKAGE_CONTACT "n2k-listen maintainers <n2k-listen@drelvin.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NMEA 2000 listener for J1939 CAN sockets")
# Lines of the extended description stay within 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "n2k-listen prints every NMEA 2000 message that the kernel's J1939 layer\n"
    "delivers on a CAN interface, as raw lines or as JSON objects decoded through\n"
    "a PGN description file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
