# cmake --install and the Debian package (cpack -G DEB). Paths are relative to the prefix, which
# the package sets to /usr.
include(GNUInstallDirs)

set(CORVANE_PACKAGE_MAINTAINER "The Corvane project <corvane@example.org>"
    CACHE STRING "The package's Maintainer field")
# The project has no public site yet: these stand in until it has one.
set(CORVANE_HOMEPAGE "https://corvane.example.org/" CACHE STRING "The project's web site")
set(CORVANE_SCREENSHOT_URL "https://corvane.example.org/screenshots"
    CACHE STRING "Where the screenshots of docs/screenshots are published")
# Released packages carry the date of their release; it does not follow the clock, so that the
# same sources make the same package.
set(CORVANE_RELEASE_DATE 2026-12-08)
# Fixed for good: software centres know the program by it.
set(CORVANE_APPSTREAM_ID org.example.corvane)

set(corvane_docdir ${CMAKE_INSTALL_DATADIR}/doc/corvane)
set(corvane_data ${PROJECT_SOURCE_DIR}/data)
set(corvane_gen ${CMAKE_BINARY_DIR}/package)

install(TARGETS corvane corvane-logger-sim corvane-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${CMAKE_BINARY_DIR}/src/app/UsrMan.pdf ${PROJECT_SOURCE_DIR}/docs/user-manual.md
              ${corvane_data}/copyright ${corvane_data}/README.Debian
        DESTINATION ${corvane_docdir})

install(FILES ${corvane_data}/corvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${corvane_data}/icons/corvane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${corvane_data}/icons/corvane-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME corvane.png)
endforeach()

configure_file(${corvane_data}/corvane.metainfo.xml.in
               ${corvane_gen}/${CORVANE_APPSTREAM_ID}.metainfo.xml @ONLY)
install(FILES ${corvane_gen}/${CORVANE_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The monitor as a service, one instance a line, with its options under /etc/corvane.
install(FILES ${corvane_data}/corvane-monitor@.service DESTINATION lib/systemd/system)
install(FILES ${corvane_data}/monitor-example.conf DESTINATION /etc/corvane)
file(CONFIGURE OUTPUT ${corvane_gen}/conffiles CONTENT "/etc/corvane/monitor-example.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${corvane_gen}/conffiles)

install(FILES ${corvane_data}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME corvane)

# Compressed as Debian wants them: gzip -9 without a name or time stamp, so the bytes depend on
# the text alone. The man pages' version line follows the project's.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(corvane_gzipped)
function(corvane_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND ${GZIP_EXECUTABLE} -9nc ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    set(corvane_gzipped ${corvane_gzipped} ${output} PARENT_SCOPE)
endfunction()

foreach(page corvane corvane-cli corvane-logger-sim)
    file(READ ${PROJECT_SOURCE_DIR}/docs/${page}.1 text)
    string(REGEX REPLACE "\"Corvane [0-9.]+\"" "\"Corvane ${PROJECT_VERSION}\"" text "${text}")
    file(CONFIGURE OUTPUT ${corvane_gen}/${page}.1 CONTENT "${text}" @ONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${PROJECT_SOURCE_DIR}/docs/${page}.1)
    corvane_gzip(${corvane_gen}/${page}.1 ${corvane_gen}/${page}.1.gz)
    install(FILES ${corvane_gen}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

execute_process(COMMAND date -R -u -d "${CORVANE_RELEASE_DATE} 12:00:00"
                OUTPUT_VARIABLE CORVANE_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
# The version has no Debian revision, so the package is a native one, whose changelog Debian
# names changelog.gz.
configure_file(${corvane_data}/changelog.in ${corvane_gen}/changelog @ONLY)
corvane_gzip(${corvane_gen}/changelog ${corvane_gen}/changelog.gz)
install(FILES ${corvane_gen}/changelog.gz DESTINATION ${corvane_docdir})

add_custom_target(corvane-package-files ALL DEPENDS ${corvane_gzipped})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "The Corvane project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CORVANE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configure and read out QTR pulse loggers over Modbus RTU")
set(CPACK_PACKAGE_DESCRIPTION
    "Corvane is the desktop tool a service engineer uses to configure and read
out QTR-8D, QTR-6D and QTR-4D pulse-counting data loggers over one RS-485
line, as a Modbus RTU master: parameters, counters, clock, bus settings, work
files and CSV export.
.
The package also holds corvane-cli, which runs the same commands from
scripts, and corvane-logger-sim, simulated loggers for training and tests.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CORVANE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${CORVANE_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so the library scan cannot see them: the window's display plugins, and
# the opener of the user manual.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
