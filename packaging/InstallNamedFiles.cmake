# Runs when installing: writes the files that name the installed launcher, and puts the
# menu entry where desktops look for one (they never look inside the program's folder).
# QUENVAR_TEMPLATES is the folder of the *.in files.

set(QUENVAR_LAUNCHER "${CMAKE_INSTALL_PREFIX}/bin/quenvar")
set(QUENVAR_ICON "${CMAKE_INSTALL_PREFIX}/share/icons/hicolor/scalable/apps/quenvar.svg")

# A macro, so that the install manifest (used to uninstall) learns each file.
macro(quenvar_install_named template path)
    set(_quenvar_target "$ENV{DESTDIR}${path}")
    message(STATUS "Installing: ${_quenvar_target}")
    configure_file("${QUENVAR_TEMPLATES}/${template}" "${_quenvar_target}" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_quenvar_target}")
endmacro()

quenvar_install_named(quenvar.desktop.in "${CMAKE_INSTALL_PREFIX}/share/applications/quenvar.desktop")
quenvar_install_named(quenvar.service.in "${CMAKE_INSTALL_PREFIX}/share/quenvar/quenvar.service")
quenvar_install_named(quenvar-autostart.desktop.in "${CMAKE_INSTALL_PREFIX}/share/quenvar/quenvar-autostart.desktop")

if(NOT "$ENV{DESTDIR}" STREQUAL "")
    # A package being built: the system's menu, and the launcher on every user's PATH.
    set(_quenvar_menu /usr/share/applications)
    set(_quenvar_command_link /usr/bin/quenvar)
else()
    file(REAL_PATH "$ENV{HOME}" _quenvar_home)
    file(REAL_PATH "${CMAKE_INSTALL_PREFIX}" _quenvar_prefix)
    string(FIND "${_quenvar_prefix}/" "${_quenvar_home}/" _quenvar_in_home)
    if(NOT "$ENV{HOME}" STREQUAL "" AND _quenvar_in_home EQUAL 0)
        set(_quenvar_menu "$ENV{HOME}/.local/share/applications")
    else()
        set(_quenvar_menu /usr/local/share/applications)
    endif()
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" -E make_directory "$ENV{DESTDIR}${_quenvar_menu}"
                RESULT_VARIABLE _quenvar_no_menu OUTPUT_QUIET ERROR_QUIET)
if(NOT _quenvar_no_menu)
    execute_process(COMMAND test -w "$ENV{DESTDIR}${_quenvar_menu}" RESULT_VARIABLE _quenvar_no_menu)
endif()
if(_quenvar_no_menu)
    message(STATUS "Not in the menu: ${_quenvar_menu} is not writable; "
                   "${CMAKE_INSTALL_PREFIX}/share/applications/quenvar.desktop can be copied there")
else()
    quenvar_install_named(quenvar.desktop.in "${_quenvar_menu}/quenvar.desktop")
endif()

# A package's licence, changelog and manual page, where Debian tools and man look for them,
# compressed as Debian wants them.
macro(quenvar_install_compressed source path)
    message(STATUS "Installing: $ENV{DESTDIR}${path}")
    get_filename_component(_quenvar_folder "$ENV{DESTDIR}${path}" DIRECTORY)
    file(MAKE_DIRECTORY "${_quenvar_folder}")
    execute_process(COMMAND gzip -9 -n -c "${source}" OUTPUT_FILE "$ENV{DESTDIR}${path}" COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${path}")
endmacro()

if(DEFINED _quenvar_command_link)
    # The licence after its copyright line, in the copyright file's layout: each line indented,
    # an empty one written as ".".
    file(READ "${QUENVAR_LICENSE}" _quenvar_license)
    string(FIND "${_quenvar_license}" "Permission" _quenvar_terms)
    string(SUBSTRING "${_quenvar_license}" ${_quenvar_terms} -1 _quenvar_license)
    string(STRIP "${_quenvar_license}" _quenvar_license)
    string(REPLACE "\n\n" "\n.\n" _quenvar_license "${_quenvar_license}")
    string(REPLACE "\n" "\n " QUENVAR_LICENSE_TEXT " ${_quenvar_license}")
    quenvar_install_named(copyright.in /usr/share/doc/quenvar/copyright)
    quenvar_install_compressed("${QUENVAR_TEMPLATES}/changelog" /usr/share/doc/quenvar/changelog.gz)
    quenvar_install_compressed("${QUENVAR_TEMPLATES}/quenvar.1" /usr/share/man/man1/quenvar.1.gz)

    message(STATUS "Installing: $ENV{DESTDIR}${_quenvar_command_link}")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}/usr/bin")
    file(CREATE_LINK "${QUENVAR_LAUNCHER}" "$ENV{DESTDIR}${_quenvar_command_link}" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${_quenvar_command_link}")
endif()
