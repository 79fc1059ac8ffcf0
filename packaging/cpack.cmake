# Debian packages, one per install component (`make package`). Dependencies on
# other Debian packages come from dpkg-shlibdeps; those between our own
# packages from the component graph below, pinned to the same version.

# component   package            section   depends on components
set(classroomPackages
    "wirelib    libwirelib1        libs"
    "codecwrap  libcodecwrap1      libs"
    "voicepipe  libvoicepipe1      libs      wirelib codecwrap"
    "dev        libclassroom-dev   libdevel  wirelib codecwrap voicepipe"
    "podium     podium             net       wirelib codecwrap"
    "pupil      pupil              net       wirelib voicepipe"
    "server     podium-server      net       podium"
    "tools      classroom-tools    net       wirelib codecwrap voicepipe")

set(CPACK_COMPONENT_WIRELIB_DESCRIPTION
    "classroom chat: packet transport library
Typed packet frames over TCP and UDP, the packet sockets and the session
command vocabulary of the classroom voice and text chat.")
set(CPACK_COMPONENT_CODECWRAP_DESCRIPTION
    "classroom chat: Opus codec wrapper library
Byte-oriented Opus encoder and decoder objects with the fixed codec settings
of the classroom voice and text chat.")
set(CPACK_COMPONENT_VOICEPIPE_DESCRIPTION
    "classroom chat: voice pipeline library
Voice encoders and decoders of the classroom voice and text chat: sequence
tracking, loss concealment, jitter smoothing, audio format helpers,
statistics, a packet loss simulator and WAV recording.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "classroom chat: development files of the libraries
Headers, a CMake package (find_package(classroom): classroom::wirelib,
classroom::codecwrap, classroom::voicepipe) and pkg-config files for the
packet transport, Opus wrapper and voice pipeline libraries of the classroom
voice and text chat.")
set(CPACK_COMPONENT_PODIUM_DESCRIPTION
    "classroom voice and text chat: assistant window and classroom server
podium joins a class and exchanges chat text, Opus voice and files with
everyone in it. It can run the classroom server in the same process, with its
window or headless on a server box (podium -s -n). The package
podium-server runs it as a service per class.")
set(CPACK_COMPONENT_PUPIL_DESCRIPTION
    "classroom voice and text chat: student client
pupil joins a class, plays the teacher's voice, shows and sends chat text,
asks the teacher for the floor and bridges a local companion program's data
to the class.")
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "classroom voice and text chat: a classroom server per class as a service
The systemd template unit podium-server@.service runs the classroom server of
podium headless with the settings of /etc/podium/CLASS.conf, as a dynamic
user, hardened, with its log in the journal. Several classes on one machine
are several instances.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "classroom voice and text chat: programs for technicians
classroom-client, a scripted client that joins a classroom server and shows
what it relays, and teacher-console, a stand-in for the teacher console that
runs a class of pupil students.")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME classroom)
set(CPACK_PACKAGE_VENDOR "The classroom chat developers")
set(CPACK_PACKAGE_CONTACT "The classroom chat developers <classroom@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are found in the build tree; dpkg-shlibdeps leaves them
# to the component dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The headers need Qt's.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qtbase5-dev, qtmultimedia5-dev")
# Without its plugins Qt has no audio devices at all.
set(CPACK_DEBIAN_PODIUM_PACKAGE_DEPENDS "libqt5multimedia5-plugins")
set(CPACK_DEBIAN_PUPIL_PACKAGE_DEPENDS "libqt5multimedia5-plugins")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "systemd")
# Rotates the file log beside the journal (/etc/logrotate.d/podium-server).
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_SERVER_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/podium-server/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/podium-server/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/podium-server/postrm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/podium-server/conffiles)

# The libraries' folder is indexed by libc's ldconfig trigger. CPack also
# writes maintainer scripts that call ldconfig, which does no harm; lintian is
# told so rather than given empty scripts that would stop CPack.
foreach(library wirelib codecwrap voicepipe)
    string(TOUPPER ${library} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA
        ${CMAKE_CURRENT_SOURCE_DIR}/debian/library/triggers)
    set(packageName lib${library}1)
    configure_file(debian/library/lintian-overrides.in
        ${CMAKE_CURRENT_BINARY_DIR}/debian/${packageName}.lintian-overrides @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/${packageName}.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${packageName}
        COMPONENT ${library})
endforeach()

set(CPACK_COMPONENTS_ALL)
foreach(row IN LISTS classroomPackages)
    string(REGEX REPLACE " +" ";" row "${row}")
    list(POP_FRONT row component packageName section)
    string(TOUPPER ${component} upper)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${packageName})
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
    set(CPACK_COMPONENT_${upper}_DEPENDS ${row})
    # Every Debian package carries its copyright and changelog.
    install(FILES debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${packageName} COMPONENT ${component})
endforeach()

include(CPack)
