# The middleware the components build against, unless QOR_MIDDLEWARE forces one:
#   1. a prefix the user names wins: the entries of CMAKE_PREFIX_PATH (the variable, then the
#      environment), in order, then the directories of PKG_CONFIG_PATH. A prefix holding
#      OpenRTM-aist's CMake package gives that version; a directory holding openrtm-aist.pc gives
#      1.x. Under a prefix, libraries, package and .pc may sit in lib/ or in lib/<multiarch
#      triplet>/, as Debian's and Ubuntu's packages lay them out under /usr;
#   2. otherwise CMake's own search of its system prefixes (/usr/local, /usr, /opt, ...): the
#      newest 2.x CMake package, else the newest 1.x one, else an openrtm-aist.pc there;
#   3. otherwise the bundled stand-in under middleware/.
# 1.x installs a CMake package too, without a version file; whatever finds it, a 1.x is built
# through its openrtm-aist.pc (beside it in <prefix>/lib/pkgconfig) when there is one. 2.x also
# installs openrtm2.pc, whose Libs line cannot link (CMake list syntax, a wrong libdir, library
# names without their suffix), so that module is never asked for.
#
# Results: QOR_USE_OPENRTM (ON/OFF), QOR_RTM_IDL_DIR (where BasicDataType.idl is), OPENRTM_VERSION,
# and with an installed middleware the targets qor::rtm and qor::rtm_types. The choice is also kept
# in the cache as QOR_MIDDLEWARE_USED ("openrtm-cmake", "openrtm-pkgconfig" or "bundled").

set(QOR_OPENRTM_SYSTEM_PREFIXES "${CMAKE_SYSTEM_PREFIX_PATH}" CACHE STRING
    "Prefixes searched for an installed OpenRTM-aist when none is named (CMake's system prefixes)")
mark_as_advanced(QOR_OPENRTM_SYSTEM_PREFIXES)

# Reads the CMake package inside a function, so that the variables it sets (among them the
# OMNIORB_* of its own pkg-config check) do not replace ours; the ones we use are handed up.
# Looks only in `prefixes`; `version` is empty or the major version required (a package without a
# version file never satisfies one). Newest first where several match.
function(_qor_find_openrtm_package version prefixes)
  set(_qor_openrtm_package_found FALSE PARENT_SCOPE)
  if(prefixes STREQUAL "")
    return()
  endif()
  unset(OpenRTM_DIR CACHE)
  # 1.x's package includes FindPkgConfig, whose name check would warn about the mismatch.
  set(FPHSA_NAME_MISMATCHED TRUE)
  set(CMAKE_FIND_PACKAGE_SORT_ORDER NATURAL)
  set(CMAKE_FIND_PACKAGE_SORT_DIRECTION DEC)
  find_package(OpenRTM ${version} CONFIG QUIET NO_DEFAULT_PATH PATHS ${prefixes})
  set(found_dir "${OpenRTM_DIR}")
  unset(OpenRTM_DIR CACHE)
  if(NOT OpenRTM_FOUND)
    return()
  endif()
  set(_qor_openrtm_package_found TRUE PARENT_SCOPE)
  set(OpenRTM_DIR "${found_dir}")
  foreach(var OPENRTM_VERSION OPENRTM_INCLUDE_DIR OPENRTM_INCLUDE_DIRS OPENRTM_LIBRARIES
              OPENRTM_LIBRARY_DIRS OPENRTM_LDFLAGS OPENRTM_CFLAGS OPENRTM_DIR OpenRTM_DIR)
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

# Takes 1.x through `pcfile` (a path to its openrtm-aist.pc): pkg-config is given the file itself,
# so that the module of another prefix on PKG_CONFIG_PATH cannot stand in for it.
macro(_qor_use_openrtm_pkgconfig pcfile)
  pkg_check_modules(OPENRTM QUIET "${pcfile}")
  if(OPENRTM_FOUND)
    set(QOR_USE_OPENRTM ON)
    set(QOR_MIDDLEWARE_USED openrtm-pkgconfig)
    pkg_get_variable(QOR_RTM_IDL_DIR "${pcfile}" rtm_idldir)
    if(NOT QOR_RTM_IDL_DIR)
      find_path(QOR_RTM_IDL_DIR_FOUND BasicDataType.idl
        PATHS ${OPENRTM_INCLUDE_DIRS} PATH_SUFFIXES rtm/idl NO_DEFAULT_PATH NO_CACHE)
      set(QOR_RTM_IDL_DIR ${QOR_RTM_IDL_DIR_FOUND})
    endif()
    set(QOR_OPENRTM_LIBRARY_DIRS ${OPENRTM_LIBRARY_DIRS})
    # As with the package: libtool's -export-dynamic in its Libs would reach the compiler driver
    # as "-e xport-dynamic", and only definitions are taken from its other compile flags.
    set(_qor_link_options)
    foreach(_qor_flag IN LISTS OPENRTM_LDFLAGS_OTHER)
      if(NOT _qor_flag MATCHES "^-(export-dynamic|rdynamic|Wl,--export-dynamic)$")
        list(APPEND _qor_link_options "${_qor_flag}")
      endif()
    endforeach()
    set(_qor_definitions)
    foreach(_qor_flag IN LISTS OPENRTM_CFLAGS_OTHER)
      if(_qor_flag MATCHES "^-D(.+)")
        list(APPEND _qor_definitions "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    add_library(qor_rtm INTERFACE)
    target_include_directories(qor_rtm SYSTEM INTERFACE ${OPENRTM_INCLUDE_DIRS})
    target_compile_definitions(qor_rtm INTERFACE ${_qor_definitions})
    target_link_libraries(qor_rtm INTERFACE ${OPENRTM_LINK_LIBRARIES} PkgConfig::OMNIORB
      Threads::Threads)
    target_link_options(qor_rtm INTERFACE ${_qor_link_options})
    set(_qor_taken "OpenRTM-aist ${OPENRTM_VERSION}: pkg-config module ${pcfile}")
  endif()
endmacro()

# Sets `var` to the openrtm-aist.pc under `prefix`, in the directories pkg-config itself would
# search there (Debian's and Ubuntu's packages put it under lib/<multiarch triplet>), or to "".
function(_qor_openrtm_pc_under prefix var)
  set(${var} "" PARENT_SCOPE)
  foreach(dir lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig lib/pkgconfig share/pkgconfig)
    if(EXISTS "${prefix}/${dir}/openrtm-aist.pc")
      set(${var} "${prefix}/${dir}/openrtm-aist.pc" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# Takes the package _qor_find_openrtm_package found: a 2.x as it is, a 1.x through the
# openrtm-aist.pc beside it (<libdir>/pkgconfig next to <libdir>/openrtm-1.x/cmake) or of its
# prefix, when there is one.
macro(_qor_use_openrtm_package)
  set(_qor_pc "")
  if(_qor_OpenRTM_DIR AND EXISTS "${_qor_OpenRTM_DIR}/../../pkgconfig/openrtm-aist.pc")
    get_filename_component(_qor_pc "${_qor_OpenRTM_DIR}/../../pkgconfig/openrtm-aist.pc" ABSOLUTE)
  elseif(_qor_OPENRTM_DIR)
    _qor_openrtm_pc_under("${_qor_OPENRTM_DIR}" _qor_pc)
  endif()
  if(_qor_OPENRTM_VERSION VERSION_LESS 2 AND _qor_pc)
    _qor_use_openrtm_pkgconfig("${_qor_pc}")
  else()
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
    set(_qor_taken "OpenRTM-aist ${OPENRTM_VERSION}: CMake package in ${_qor_OpenRTM_DIR}")
  endif()
endmacro()

set(QOR_USE_OPENRTM OFF)
set(QOR_MIDDLEWARE_USED bundled)
set(QOR_OPENRTM_LIBRARY_DIRS)
if(NOT QOR_MIDDLEWARE STREQUAL "BUNDLED")
  set(_qor_named_prefixes ${CMAKE_PREFIX_PATH})
  if(DEFINED ENV{CMAKE_PREFIX_PATH})
    string(REPLACE ":" ";" _qor_env "$ENV{CMAKE_PREFIX_PATH}")
    list(APPEND _qor_named_prefixes ${_qor_env})
  endif()
  set(_qor_named_pcdirs)
  if(DEFINED ENV{PKG_CONFIG_PATH})
    string(REPLACE ":" ";" _qor_named_pcdirs "$ENV{PKG_CONFIG_PATH}")
  endif()
  set(_qor_taken "")
  foreach(_qor_prefix IN LISTS _qor_named_prefixes)
    _qor_find_openrtm_package("" "${_qor_prefix}")
    if(_qor_openrtm_package_found)
      _qor_use_openrtm_package()
    else()
      _qor_openrtm_pc_under("${_qor_prefix}" _qor_pc)
      if(_qor_pc)
        _qor_use_openrtm_pkgconfig("${_qor_pc}")
      endif()
    endif()
    if(QOR_USE_OPENRTM)
      string(APPEND _qor_taken " (named by CMAKE_PREFIX_PATH)")
      break()
    endif()
  endforeach()
  if(NOT QOR_USE_OPENRTM)
    foreach(_qor_dir IN LISTS _qor_named_pcdirs)
      if(_qor_dir AND EXISTS "${_qor_dir}/openrtm-aist.pc")
        _qor_use_openrtm_pkgconfig("${_qor_dir}/openrtm-aist.pc")
        if(QOR_USE_OPENRTM)
          string(APPEND _qor_taken " (named by PKG_CONFIG_PATH)")
          break()
        endif()
      endif()
    endforeach()
  endif()
  if(NOT QOR_USE_OPENRTM)
    _qor_find_openrtm_package(2 "${QOR_OPENRTM_SYSTEM_PREFIXES}")
    if(NOT _qor_openrtm_package_found)
      _qor_find_openrtm_package("" "${QOR_OPENRTM_SYSTEM_PREFIXES}")
    endif()
    if(_qor_openrtm_package_found)
      _qor_use_openrtm_package()
    else()
      find_file(_qor_system_pc openrtm-aist.pc PATHS ${QOR_OPENRTM_SYSTEM_PREFIXES}
        PATH_SUFFIXES lib/pkgconfig lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig share/pkgconfig
        NO_DEFAULT_PATH NO_CACHE)
      if(_qor_system_pc)
        _qor_use_openrtm_pkgconfig("${_qor_system_pc}")
      endif()
    endif()
    if(QOR_USE_OPENRTM)
      string(APPEND _qor_taken " (CMake's own search, newest 2.x first; name another in "
        "CMAKE_PREFIX_PATH, or PKG_CONFIG_PATH for 1.x, to choose it)")
    endif()
  endif()
  if(QOR_USE_OPENRTM)
    message(STATUS "${_qor_taken}")
  elseif(QOR_MIDDLEWARE STREQUAL "OPENRTM")
    message(FATAL_ERROR "QOR_MIDDLEWARE=OPENRTM, but no installed OpenRTM-aist was found: neither "
      "its CMake package (add its prefix to CMAKE_PREFIX_PATH) nor pkg-config's openrtm-aist "
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
set(QOR_OPENRTM_VERSION_USED "${OPENRTM_VERSION}" CACHE INTERNAL
    "The installed OpenRTM-aist's version, empty with the bundled middleware")
