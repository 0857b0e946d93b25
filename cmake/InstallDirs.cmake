# Where `cmake --install` and the Debian package put things, and the run-time search paths that
# go with it. Included before any target exists, so that the RPATH defaults reach every target.
#   programs            ${CMAKE_INSTALL_BINDIR}
#   private libraries   ${QOR_INSTALL_PRIVATE_LIBDIR}   (lib/qor-viewers)
#   modules             ${QOR_INSTALL_MODULEDIR}        (lib/qor-viewers/modules)
#   IDL files           ${QOR_INSTALL_IDLDIR}           (share/qor-viewers/idl)
#   sample rtc.conf     ${QOR_INSTALL_DATADIR}          (share/qor-viewers)
#   documentation       ${CMAKE_INSTALL_DOCDIR}         (share/doc/qor-viewers)
include(GNUInstallDirs)
# The package's name, not the CMake project's, as Debian requires; a -DCMAKE_INSTALL_DOCDIR given
# on the command line stays.
if(CMAKE_INSTALL_DOCDIR STREQUAL "${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME}")
  set(CMAKE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/qor-viewers)
endif()

set(QOR_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/qor-viewers)
set(QOR_INSTALL_MODULEDIR ${QOR_INSTALL_PRIVATE_LIBDIR}/modules)
set(QOR_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/qor-viewers)
set(QOR_INSTALL_IDLDIR ${QOR_INSTALL_DATADIR}/idl)

# Programs find our private libraries relative to themselves, so an installed tree can move. An
# installed OpenRTM-aist outside the loader's default directories is named as well. Modules set
# their own INSTALL_RPATH (${QOR_MODULE_INSTALL_RPATH}).
set(_qor_rpath "$ORIGIN/../${QOR_INSTALL_PRIVATE_LIBDIR}")
set(_qor_system_dirs /lib /usr/lib /lib64 /usr/lib64 ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES}
  ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES})
foreach(dir IN LISTS QOR_OPENRTM_LIBRARY_DIRS)
  if(NOT dir IN_LIST _qor_system_dirs)
    list(APPEND _qor_rpath ${dir})
    list(APPEND CMAKE_BUILD_RPATH ${dir})
  endif()
endforeach()
set(CMAKE_INSTALL_RPATH ${_qor_rpath})
set(QOR_MODULE_INSTALL_RPATH "$ORIGIN/..")
foreach(dir IN LISTS QOR_OPENRTM_LIBRARY_DIRS)
  if(NOT dir IN_LIST _qor_system_dirs)
    list(APPEND QOR_MODULE_INSTALL_RPATH ${dir})
  endif()
endforeach()
