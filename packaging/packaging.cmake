# Debian packages, one per install component:
#   cmake -S . -B build -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build
#   cd build && cpack -G DEB
# Included after the subdirectories: a program's package exists only when
# this configuration builds the program.

set(TAVRO_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TAVRO_PACKAGING_BINARY_DIR ${PROJECT_BINARY_DIR}/packaging)
set(TAVRO_MAINTAINER "the tavro developers <tavro@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")

# --- Install-time choices --------------------------------------------------
# One build installs into /usr (the packages) and into any private prefix
# (cmake --install --prefix DIR), so these are decided when installing: under
# /usr the loader finds the library by itself and the configuration belongs
# in /etc; elsewhere the programs keep their RUNPATH and nothing lands
# outside the prefix.
function(tavro_drop_system_rpath target component)
    install(CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            file(RPATH_REMOVE FILE
                \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\")
        endif()" COMPONENT ${component})
endfunction()

function(tavro_install_etc_file file subdir component)
    install(CODE "
        set(etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            set(etc /etc)
        endif()
        file(INSTALL DESTINATION \"\${etc}/${subdir}\" TYPE FILE FILES \"${file}\")"
        COMPONENT ${component})
endfunction()

# A man page, gzip'd with the best compression and no timestamp.
function(tavro_install_man_page page component)
    set(gz ${TAVRO_PACKAGING_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${gz}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVRO_PACKAGING_BINARY_DIR}/man
        COMMAND gzip -9nc ${TAVRO_PACKAGING_DIR}/man/${page} > ${gz}
        DEPENDS ${TAVRO_PACKAGING_DIR}/man/${page})
    add_custom_target(man_${page} ALL DEPENDS ${gz})
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# --- Components and what each adds ------------------------------------------
# runtime and dev: the library, installed by device_link/.
set(tavro_components runtime dev)

foreach(program tavro_cli tavro_sim)
    if(TARGET ${program})
        tavro_drop_system_rpath(${program} tools)
        tavro_install_man_page(${program}.1 tools)
        list(APPEND tavro_components tools)
    endif()
endforeach()

if(TARGET tavro_ex)
    tavro_drop_system_rpath(tavro_ex console)
    tavro_install_man_page(tavro_ex.1 console)
    install(FILES ${TAVRO_PACKAGING_DIR}/tavro_ex.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT console)
    install(FILES ${TAVRO_PACKAGING_DIR}/tavro_ex.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT console)
    list(APPEND tavro_components console)
endif()

# The caller popup for counter PCs goes with the console.
if(TARGET tavro_popup)
    tavro_drop_system_rpath(tavro_popup console)
    tavro_install_man_page(tavro_popup.1 console)
    install(FILES ${TAVRO_PACKAGING_DIR}/tavro_popup.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT console)
    install(FILES ${TAVRO_PACKAGING_DIR}/tavro_popup.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT console)
    install(FILES ${TAVRO_PACKAGING_DIR}/tavro_popup-autostart.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavro-console/examples COMPONENT console)
    list(APPEND tavro_components console)
endif()

if(TARGET tavrod)
    set(TAVRO_CONF_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tavro/tavrod.conf)
    configure_file(${TAVRO_PACKAGING_DIR}/systemd/tavrod.service.in
        ${TAVRO_PACKAGING_BINARY_DIR}/tavrod.service @ONLY)
    tavro_drop_system_rpath(tavrod tavrod)
    tavro_install_man_page(tavrod.1 tavrod)
    tavro_install_etc_file(${TAVRO_PACKAGING_DIR}/tavrod.conf tavro tavrod)
    install(FILES ${TAVRO_PACKAGING_BINARY_DIR}/tavrod.service
        DESTINATION lib/systemd/system COMPONENT tavrod)
    install(FILES ${TAVRO_PACKAGING_DIR}/udev/99-tavro.rules
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrod/examples COMPONENT tavrod)
    list(APPEND tavro_components tavrod)
endif()
list(REMOVE_DUPLICATES tavro_components)

# --- Debian package names, descriptions, relations --------------------------
set(tavro_runtime_package libtavro-m${PROJECT_VERSION_MAJOR})
set(tavro_dev_package libtavro-m-dev)
set(tavro_tools_package tavro-tools)
set(tavro_console_package tavro-console)
set(tavro_tavrod_package tavrod)

set(tavro_runtime_section libs)
set(tavro_dev_section libdevel)
set(tavro_tools_section comm)
set(tavro_console_section comm)
set(tavro_tavrod_section comm)

set(tavro_runtime_summary "device link to a caller-ID terminal on a serial line - library")
set(tavro_runtime_text "The shared library tavro_m: one control that owns up to four serial ports,
sends the terminal's commands, frames and decodes what it sends (calls,
handset, answers, stored lists; Korean text in code page 949) and reports
it as Qt signals.")
set(tavro_dev_summary "device link to a caller-ID terminal - development files")
set(tavro_dev_text "The header <tavro/tavro_m.h>, the CMake package (find_package(tavro_m))
and the pkg-config file (tavro_m) for building hosts of the tavro_m
library.")
set(tavro_tools_summary "device link to a caller-ID terminal - command-line tools")
set(tavro_tools_text "tavro_cli hosts the device link without a window and speaks JSON lines on
standard input and output; tavro_sim plays the terminal on a
pseudo-terminal for tests and demonstrations without hardware.")
set(tavro_console_summary "device link to a caller-ID terminal - operator's console")
set(tavro_console_text "tavro_ex is the operator's window: it opens the ports, sends every command
of the terminal from a menu, and shows the decoded events in Korean.
tavro_popup shows a card with the caller of every call from the tavrod
service on a counter PC, from its tray icon.")
set(tavro_tavrod_summary "device link to a caller-ID terminal - service")
set(tavro_tavrod_text "tavrod stores every call and event of the terminal and serves them over an
HTTP and WebSocket API and a dashboard. It runs as a systemd service
(disabled until enabled) under its own system user.")

# Each package carries the copyright and a changelog in its doc folder.
configure_file(${TAVRO_PACKAGING_DIR}/debian/changelog.in
    ${TAVRO_PACKAGING_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${TAVRO_PACKAGING_BINARY_DIR}/changelog.gz
    COMMAND gzip -9nc ${TAVRO_PACKAGING_BINARY_DIR}/changelog
            > ${TAVRO_PACKAGING_BINARY_DIR}/changelog.gz
    DEPENDS ${TAVRO_PACKAGING_BINARY_DIR}/changelog)
add_custom_target(package_changelog ALL DEPENDS ${TAVRO_PACKAGING_BINARY_DIR}/changelog.gz)

foreach(component IN LISTS tavro_components)
    string(TOUPPER ${component} C)
    set(package ${tavro_${component}_package})
    install(FILES ${TAVRO_PACKAGING_DIR}/debian/copyright ${TAVRO_PACKAGING_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${package})
    set(CPACK_DEBIAN_${C}_PACKAGE_SECTION ${tavro_${component}_section})
    set(CPACK_COMPONENT_${C}_DESCRIPTION
        "${tavro_${component}_summary}\n${tavro_${component}_text}")
    if(NOT component STREQUAL "runtime")
        set(CPACK_COMPONENT_${C}_DEPENDS runtime)
    endif()
endforeach()

# dpkg's ldconfig trigger refreshes the loader cache; the ldconfig calls
# CPack writes into the library's maintainer scripts are taken out again
# after packaging.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${TAVRO_PACKAGING_DIR}/debian/libtavro-m/triggers)
set(CPACK_TAVRO_LIBRARY_PACKAGE ${tavro_runtime_package})
set(CPACK_POST_BUILD_SCRIPTS ${TAVRO_PACKAGING_DIR}/debian/libtavro-m/without_ldconfig_calls.cmake)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev")
# The SQLite driver is a Qt plugin, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_TAVROD_PACKAGE_DEPENDS "adduser, libqt6sql6-sqlite")
set(CPACK_DEBIAN_TAVROD_PACKAGE_SUGGESTS "libqt6sql6-psql")
set(CPACK_DEBIAN_TAVROD_PACKAGE_CONTROL_EXTRA
    ${TAVRO_PACKAGING_DIR}/debian/tavrod/postinst
    ${TAVRO_PACKAGING_DIR}/debian/tavrod/postrm
    ${TAVRO_PACKAGING_DIR}/debian/tavrod/conffiles)
set(CPACK_DEBIAN_TAVROD_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# --- CPack ------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavro)
set(CPACK_PACKAGE_VENDOR "the tavro developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${tavro_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAVRO_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tavro.example.org/")
# Dependencies from dpkg-shlibdeps; the programs' own library is found in the
# build tree and becomes an exact dependency on libtavro-m1 through the
# component relations above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/device_link)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
