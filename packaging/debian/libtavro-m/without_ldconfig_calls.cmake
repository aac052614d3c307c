# CPack gives every package with a shared library under /usr/lib a postinst
# and a postrm that call ldconfig. The library's package declares dpkg's
# ldconfig trigger instead (triggers, next to this file), as Debian's own
# library packages do, so it is rebuilt here without those two scripts.
# Runs as a CPack post-build script (CPACK_PACKAGE_FILES lists the packages).
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    execute_process(COMMAND ${DPKG_DEB} --field ${deb} Package
        OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    if(NOT package STREQUAL CPACK_TAVRO_LIBRARY_PACKAGE)
        continue()
    endif()
    set(tree ${deb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND ${DPKG_DEB} --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build ${tree} ${deb}
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
