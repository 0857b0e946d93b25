# The middleware the components build against, in this order unless QOR_MIDDLEWARE forces one:
#   1. an installed OpenRTM-aist 2.x through its CMake package (find_package(OpenRTM CONFIG), found
#      through CMAKE_PREFIX_PATH);
#   2. an installed OpenRTM-aist 1.x through pkg-config's openrtm-aist (found through
#      PKG_CONFIG_PATH);
#   3. the bundled stand-in under middleware/.
# 2.x also installs openrtm2.pc, whose Libs line cannot link (CMake list syntax, a wrong libdir,
# library names without their suffix), so that module is never asked for.
#
# Results: QOR_USE_OPENRTM (ON/OFF), QOR_RTM_IDL_DIR (where BasicDataType.idl is), OPENRTM_VERSION,
# and with an installed middleware the targets qor::rtm and qor::rtm_types. The choice is also kept
# in the cache as QOR_MIDDLEWARE_USED ("openrtm-cmake", "openrtm-pkgconfig" or "bundled").

# Reads the 2.x CMake package inside a function, so that the variables it sets (among them the
# OMNIORB_* of its own pkg-config check) do not replace ours; the ones we use are handed up.
function(_qor_find_openrtm_package)
  find_package(OpenRTM CONFIG QUIET)
  set(_qor_openrtm_package_found ${OpenRTM_FOUND} PARENT_SCOPE)
  if(NOT OpenRTM_FOUND)
    return()
  endif()
  foreach(var OPENRTM_VERSION OPENRTM_INCLUDE_DIR OPENRTM_INCLUDE_DIRS OPENRTM_LIBRARIES
              OPENRTM_LIBRARY_DIRS OPENRTM_LDFLAGS OPENRTM_CFLAGS OpenRTM_DIR)
    set(_qor_${var} "${${var}}" PARENT_SCOPE)
  endforeach()
endfunction()

function(_qor_middleware_target_from_package)
  # The package lists an include directory that it does not install (rtm/ext); keep those out.
  set(include_dirs)
  foreach(dir IN LISTS _qor_OPENRTM_INCLUDE_DIRS)
    if(IS_DIRECTORY "${dir}")
      list(APPEND include_dirs "${dir}")
    endif()
  endforeach()
  # Only definitions are taken from its compile flags: its -O2 and -Wall would override the build
  # type and our warning set.
  set(definitions)
  foreach(flag IN LISTS _qor_OPENRTM_CFLAGS)
    if(flag MATCHES "^-D(.+)")
      list(APPEND definitions "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  # Its link flags mix libraries (-luuid) with libtool's -export-dynamic, which the compiler driver
  # would read as "-e xport-dynamic" (an entry point); our programs export their symbols themselves.
  set(libraries ${_qor_OPENRTM_LIBRARIES})
  set(link_dirs ${_qor_OPENRTM_LIBRARY_DIRS})
  set(link_options)
  foreach(flag IN LISTS _qor_OPENRTM_LDFLAGS)
    if(flag MATCHES "^-l(.+)")
      list(APPEND libraries "${CMAKE_MATCH_1}")
    elseif(flag MATCHES "^-L(.+)")
      list(APPEND link_dirs "${CMAKE_MATCH_1}")
    elseif(flag MATCHES "^-(export-dynamic|rdynamic|Wl,--export-dynamic)$")
    elseif(NOT flag STREQUAL "")
      list(APPEND link_options "${flag}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES libraries)
  list(REMOVE_DUPLICATES link_dirs)

  add_library(qor_rtm INTERFACE)
  target_include_directories(qor_rtm SYSTEM INTERFACE ${include_dirs})
  target_compile_definitions(qor_rtm INTERFACE ${definitions})
  # The package names its libraries bare (RTC2, not a path), so its library directories must reach
  # the linker, and the loader at run time (see the RPATH below).
  target_link_directories(qor_rtm INTERFACE ${link_dirs})
  target_link_libraries(qor_rtm INTERFACE ${libraries} PkgConfig::OMNIORB Threads::Threads)
  target_link_options(qor_rtm INTERFACE ${link_options})
  set(QOR_OPENRTM_LIBRARY_DIRS ${link_dirs} PARENT_SCOPE)
endfunction()

set(QOR_USE_OPENRTM OFF)
set(QOR_MIDDLEWARE_USED bundled)
set(QOR_OPENRTM_LIBRARY_DIRS)
if(NOT QOR_MIDDLEWARE STREQUAL "BUNDLED")
  _qor_find_openrtm_package()
  if(_qor_openrtm_package_found)
    set(QOR_USE_OPENRTM ON)
    set(QOR_MIDDLEWARE_USED openrtm-cmake)
    set(OPENRTM_VERSION ${_qor_OPENRTM_VERSION})
    set(QOR_RTM_IDL_DIR ${_qor_OPENRTM_INCLUDE_DIR}/rtm/idl)
    if(NOT EXISTS "${QOR_RTM_IDL_DIR}/BasicDataType.idl")
      # A package that sets no OPENRTM_INCLUDE_DIR: look along its include directories.
      find_path(QOR_RTM_IDL_DIR_FOUND BasicDataType.idl
        PATHS ${_qor_OPENRTM_INCLUDE_DIRS} PATH_SUFFIXES rtm/idl NO_DEFAULT_PATH NO_CACHE)
      set(QOR_RTM_IDL_DIR ${QOR_RTM_IDL_DIR_FOUND})
    endif()
    _qor_middleware_target_from_package()
    message(STATUS "OpenRTM-aist ${OPENRTM_VERSION}: CMake package in ${_qor_OpenRTM_DIR}")
  else()
    pkg_check_modules(OPENRTM QUIET IMPORTED_TARGET openrtm-aist)
    if(OPENRTM_FOUND)
      set(QOR_USE_OPENRTM ON)
      set(QOR_MIDDLEWARE_USED openrtm-pkgconfig)
      pkg_get_variable(QOR_RTM_IDL_DIR openrtm-aist rtm_idldir)
      if(NOT QOR_RTM_IDL_DIR)
        find_path(QOR_RTM_IDL_DIR_FOUND BasicDataType.idl
          PATHS ${OPENRTM_INCLUDE_DIRS} PATH_SUFFIXES rtm/idl NO_DEFAULT_PATH NO_CACHE)
        set(QOR_RTM_IDL_DIR ${QOR_RTM_IDL_DIR_FOUND})
      endif()
      set(QOR_OPENRTM_LIBRARY_DIRS ${OPENRTM_LIBRARY_DIRS})
      add_library(qor_rtm INTERFACE)
      target_link_libraries(qor_rtm INTERFACE PkgConfig::OPENRTM PkgConfig::OMNIORB Threads::Threads)
      message(STATUS "OpenRTM-aist ${OPENRTM_VERSION}: pkg-config module openrtm-aist")
    endif()
  endif()
  if(NOT QOR_USE_OPENRTM AND QOR_MIDDLEWARE STREQUAL "OPENRTM")
    message(FATAL_ERROR "QOR_MIDDLEWARE=OPENRTM, but no installed OpenRTM-aist was found: neither "
      "its CMake package (2.x; add its prefix to CMAKE_PREFIX_PATH) nor pkg-config's openrtm-aist "
      "(1.x; add <prefix>/lib/pkgconfig to PKG_CONFIG_PATH)")
  endif()
endif()

if(QOR_USE_OPENRTM)
  if(NOT EXISTS "${QOR_RTM_IDL_DIR}/BasicDataType.idl")
    message(FATAL_ERROR "OpenRTM-aist ${OPENRTM_VERSION} was found, but its IDL directory "
      "\"${QOR_RTM_IDL_DIR}\" holds no BasicDataType.idl")
  endif()
  add_library(qor::rtm ALIAS qor_rtm)
  add_library(qor::rtm_types ALIAS qor_rtm)
else()
  set(QOR_RTM_IDL_DIR ${PROJECT_SOURCE_DIR}/middleware/idl)
endif()
set(QOR_MIDDLEWARE_USED ${QOR_MIDDLEWARE_USED} CACHE INTERNAL "The middleware this tree builds against")
set(QOR_RTM_IDL_DIR_USED ${QOR_RTM_IDL_DIR} CACHE INTERNAL "The middleware's IDL directory")
