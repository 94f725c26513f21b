# Install rules beyond the programs and libraries, the consumers' view of the install (CMake
# package, pkg-config files), and the tarball. Included last from the top CMakeLists.txt, once
# every target exists. The Debian packages are made by debhelper from debian/ (scripts/package).
include(CMakePackageConfigHelpers)

set(VAK_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Vak")
set(VAK_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# ---- CMake package: find_package(Vak) gives Vak::vak (linking Vak::orv) and the static pair.
install(EXPORT VakTargets NAMESPACE Vak:: DESTINATION "${VAK_CMAKE_DIR}" FILE VakTargets.cmake)
if(VAK_SYSTEM_LAYOUT)
  set(VAK_TOOLS_DIR "${VAK_SYSTEM_TOOLS_DIR}/bin")
else()
  set(VAK_TOOLS_DIR tools/bin)
endif()
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/VakConfig.cmake.in"
                              "${CMAKE_BINARY_DIR}/pkg/VakConfig.cmake"
                              INSTALL_DESTINATION "${VAK_CMAKE_DIR}" PATH_VARS VAK_TOOLS_DIR)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/pkg/VakConfigVersion.cmake"
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/pkg/VakConfig.cmake"
              "${CMAKE_BINARY_DIR}/pkg/VakConfigVersion.cmake" DESTINATION "${VAK_CMAKE_DIR}")

# ---- pkg-config. The prefix is derived from the file's own place, so that an install moved with
# `cmake --install --prefix`, DESTDIR or an unpacked package still names its own headers and
# libraries.
file(RELATIVE_PATH VAK_PC_TO_PREFIX "/prefix/${VAK_PKGCONFIG_DIR}" "/prefix")
string(REGEX REPLACE "/$" "" VAK_PC_TO_PREFIX "${VAK_PC_TO_PREFIX}")
foreach(pc vak orv)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in" "${CMAKE_BINARY_DIR}/pkg/${pc}.pc" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/pkg/${pc}.pc" DESTINATION "${VAK_PKGCONFIG_DIR}")
endforeach()

# ---- Commands on the search path. Install-root discovery walks up from the directory that holds
# the command as found along PATH, without resolving links: from <prefix>/bin it reaches <prefix>,
# whose tools/bin/orv_root marks the install root. A relative link in <prefix>/bin is therefore
# enough, and it survives relocation of the whole tree. vakbd is linked too: applications that live
# outside the install hierarchy find the daemon along PATH.
# The system layout has the programs themselves in bin and sbin; its tools directory gets a link to
# vakbd, so that the library's bin/vakbd there is the daemon in sbin.
set(VAK_LINK_DIR "${CMAKE_BINARY_DIR}/pkg/bin")
file(MAKE_DIRECTORY "${VAK_LINK_DIR}")
if(VAK_SYSTEM_LAYOUT)
  file(RELATIVE_PATH vakbd_link "/p/${VAK_SYSTEM_TOOLS_DIR}/bin" "/p/${CMAKE_INSTALL_SBINDIR}/vakbd")
  file(CREATE_LINK "${vakbd_link}" "${VAK_LINK_DIR}/vakbd" SYMBOLIC)
  install(FILES "${VAK_LINK_DIR}/vakbd" DESTINATION "${VAK_SYSTEM_TOOLS_DIR}/bin")
else()
  foreach(program vakAdminTool editlock vakbd)
    file(CREATE_LINK "../tools/bin/${program}" "${VAK_LINK_DIR}/${program}" SYMBOLIC)
    install(FILES "${VAK_LINK_DIR}/${program}" DESTINATION "${CMAKE_INSTALL_BINDIR}")
  endforeach()
endif()

# ---- Documentation and shell completion.
install(FILES "${CMAKE_SOURCE_DIR}/man/vakAdminTool.1" "${CMAKE_SOURCE_DIR}/man/editlock.1"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${CMAKE_SOURCE_DIR}/man/vak.3" DESTINATION "${CMAKE_INSTALL_MANDIR}/man3")
install(FILES "${CMAKE_SOURCE_DIR}/man/vakbd.8" "${CMAKE_SOURCE_DIR}/man/vakcompatd.8"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES "${CMAKE_SOURCE_DIR}/completion/vakAdminTool"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions")
install(FILES "${CMAKE_SOURCE_DIR}/README.md" "${CMAKE_SOURCE_DIR}/LICENSE"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/editlock")

# ---- The system service: vakbd from boot on, logging to the journal (see the unit's head). Below
# the prefix, as systemd reads /usr/lib/systemd/system and /usr/local/lib/systemd/system.
install(FILES "${CMAKE_SOURCE_DIR}/packaging/systemd/vakbd.service"
        DESTINATION lib/systemd/system)

# ---- The license in Debian's machine-readable copyright format, the one file for the packages
# and for every install.
install(FILES "${CMAKE_SOURCE_DIR}/debian/copyright" DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/editlock")

# ---- Tests of the install, the consumers, the manual pages and the completion.
if(TARGET install_test)
  # The whole install must be built before the test installs it.
  add_dependencies(install_test vak orv vak_static orv_static vakAdminTool editlock vakbd
                   vakcompatd)
  set(consumer_flags "")
  if(VAK_SANITIZE)
    # An instrumented library needs an instrumented program, and the checks then cover both.
    set(consumer_flags "-fsanitize=address,undefined -fno-omit-frame-pointer")
  endif()
  target_compile_definitions(
    install_test PRIVATE VAK_CMAKE_COMMAND="${CMAKE_COMMAND}" VAK_C_COMPILER="${CMAKE_C_COMPILER}" VAK_CXX_COMPILER="${CMAKE_CXX_COMPILER}"
                         VAK_CONSUMER_FLAGS="${consumer_flags}"
                         VAK_HARDENED=$<BOOL:${VAK_HARDENING}> VAK_FORTIFIED=$<BOOL:${VAK_FORTIFIED}>)
endif()

# ---- The install tree as a tarball: `cpack` in the build folder.
set(CPACK_PACKAGE_NAME "editlock")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR "TGZ")
set(CPACK_STRIP_FILES ON)
include(CPack)
