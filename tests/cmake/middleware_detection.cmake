# Which middleware a configure picks, and what reaches the compiler and linker, against fake
# installed prefixes laid out as OpenRTM-aist installs itself: 2.0.2 (a CMake package beside an
# openrtm2.pc whose Libs cannot link) and 1.2.2 (pkg-config's openrtm-aist, and a CMake package
# without a version file), under lib/ or, as Debian's packages lay out /usr, lib/<multiarch
# triplet>/. Configure only. The search of the system prefixes is pointed at a
# scratch directory, so an OpenRTM-aist installed on this machine changes nothing here.
# Run: cmake -DSOURCE_DIR=<tree> -DWORK_DIR=<scratch> [-DARCH=<triplet>] -P middleware_detection.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK_DIR})
set(p2 ${WORK_DIR}/openrtm2)
set(p1 ${WORK_DIR}/openrtm1)
set(p2only ${WORK_DIR}/openrtm2-pc-only)
set(sys ${WORK_DIR}/system)

# 2.0.2: the package's variables as it sets them, bare library names and all.
file(MAKE_DIRECTORY ${p2}/include/coil-2.0 ${p2}/include/openrtm-2.0/rtm/idl ${p2}/lib/pkgconfig)
file(COPY ${SOURCE_DIR}/middleware/idl/BasicDataType.idl DESTINATION ${p2}/include/openrtm-2.0/rtm/idl)
file(WRITE ${p2}/lib/openrtm-2.0/cmake/OpenRTMConfigVersion.cmake [[
set(PACKAGE_VERSION 2.0.2)
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  if(PACKAGE_FIND_VERSION STREQUAL PACKAGE_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
]])
file(WRITE ${p2}/lib/openrtm-2.0/cmake/OpenRTMConfig.cmake [[
get_filename_component(_p "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
include(CMakeFindDependencyMacro)
if(NOT PKG_CONFIG_FOUND)
  find_dependency(PkgConfig)
endif()
pkg_check_modules(OMNIORB REQUIRED omniORB4)
set(OPENRTM_DIR ${_p})
set(OPENRTM_LIB_DIR ${_p}/lib)
set(OPENRTM_INCLUDE_DIR ${_p}/include/openrtm-2.0)
set(COIL_INCLUDE_DIR ${_p}/include/coil-2.0)
set(OPENRTM_DATA_DIR ${_p}/share)
set(OPENRTM_VERSION 2.0.2)
set(OPENRTM_VERSION_MAJOR 2)
set(OPENRTM_VERSION_MINOR 0)
set(OPENRTM_VERSION_PATCH 2)
set(OPENRTM_SHORT_VERSION 202)
set(OPENRTM_ORB omniORB)
set(OPENRTM_IDLC omniidl)
set(OPENRTM_CFLAGS -Wall -fPIC -O2 ${OMNIORB_CFLAGS} -DQOR_FAKE_OPENRTM2)
set(OPENRTM_INCLUDE_DIRS ${_p}/include ${_p}/include/coil-2.0 ${_p}/include/openrtm-2.0
    ${_p}/include/openrtm-2.0/rtm/idl ${_p}/include/openrtm-2.0/rtm/ext ${OMNIORB_INCLUDE_DIRS})
set(OPENRTM_LIBRARIES pthread RTC2 omniDynamic4 omniORB4 omnithread rtmCamera2 rtmManipulator2)
set(OPENRTM_LIBRARY_DIRS ${_p}/lib ${OMNIORB_LIBRARY_DIRS})
set(OPENRTM_LDFLAGS -luuid -lrt -ldl -export-dynamic ${OMNIORB_LDFLAGS})
set(OPENRTM_IDLFLAGS -bcxx -Wba -nf -Wbuse_quotes -Wbshortcut -I${_p}/include/openrtm-2.0/rtm/idl)
]])
set(broken_pc [[
prefix=@P@
exec_prefix=@P@/bin
libdir=${exec_prefix}/lib
includedir=${prefix}/include
Name: openrtm2
Description: OpenRTM-aist;middleware
Version: 2.0.2
Cflags: -I${includedir} -I${includedir}/openrtm-2.0 -I${includedir}/coil-2.0
Libs: -L${libdir} -lRTC2 -lrtmCamera -lrtmManipulator dl;rt;Threads::Threads dl rt Threads::Threads
]])
string(REPLACE @P@ ${p2} pc "${broken_pc}")
file(WRITE ${p2}/lib/pkgconfig/openrtm2.pc "${pc}")
file(MAKE_DIRECTORY ${p2only}/lib/pkgconfig ${p2only}/include/openrtm-2.0/rtm/idl)
string(REPLACE @P@ ${p2only} pc "${broken_pc}")
file(WRITE ${p2only}/lib/pkgconfig/openrtm2.pc "${pc}")

# 1.2.2 through pkg-config; its libraries need only exist for find_library.
file(MAKE_DIRECTORY ${p1}/include/openrtm-1.2/rtm/idl ${p1}/include/coil-1.2 ${p1}/lib/pkgconfig)
file(COPY ${SOURCE_DIR}/middleware/idl/BasicDataType.idl DESTINATION ${p1}/include/openrtm-1.2/rtm/idl)
file(TOUCH ${p1}/lib/libRTC.so ${p1}/lib/libcoil.so)
file(WRITE ${p1}/lib/pkgconfig/openrtm-aist.pc "prefix=${p1}
libdir=\${prefix}/lib
includedir=\${prefix}/include
rtm_idldir=\${includedir}/openrtm-1.2/rtm/idl
Name: openrtm-aist
Description: OpenRTM-aist
Version: 1.2.2
Cflags: -I\${includedir}/openrtm-1.2 -I\${includedir}/coil-1.2 -I\${includedir}/openrtm-1.2/rtm/idl
Libs: -L\${libdir} -lRTC -lcoil -export-dynamic
")
file(WRITE ${p1}/lib/openrtm-1.2/cmake/OpenRTMConfig.cmake "
set(OPENRTM_DIR ${p1})
set(OPENRTM_INCLUDE_DIR ${p1}/include/openrtm-1.2)
set(OPENRTM_VERSION 1.2.2)
set(OPENRTM_LIBRARIES RTC coil)
set(OPENRTM_LIBRARY_DIRS ${p1}/lib)
")

# The system prefixes: /opt holding copies of both, as the tarballs install them.
file(MAKE_DIRECTORY ${sys}/opt)
file(COPY ${p1}/ DESTINATION ${sys}/opt/openrtm-aist-1.2.2)
file(COPY ${p2}/ DESTINATION ${sys}/opt/openrtm-aist-2.0.2)
foreach(v 1.2.2 2.0.2)
  file(GLOB_RECURSE files ${sys}/opt/openrtm-aist-${v}/*.cmake ${sys}/opt/openrtm-aist-${v}/*.pc)
  foreach(f IN LISTS files)
    file(READ ${f} text)
    string(REPLACE "${WORK_DIR}/openrtm1" "${sys}/opt/openrtm-aist-${v}" text "${text}")
    file(WRITE ${f} "${text}")
  endforeach()
endforeach()

# /usr as Debian's and Ubuntu's packages lay it out: both versions, libraries, packages and the
# .pc under lib/<multiarch triplet>/ (ARCH, the triplet of the compiler the configures use).
set(usr ${WORK_DIR}/usr)
if(ARCH)
  set(ml lib/${ARCH})
  file(MAKE_DIRECTORY ${usr}/include/coil-2.0 ${usr}/include/openrtm-1.2/rtm/idl
    ${usr}/include/coil-1.2 ${usr}/${ml}/pkgconfig)
  file(COPY ${p2}/include/openrtm-2.0 DESTINATION ${usr}/include)
  file(COPY ${SOURCE_DIR}/middleware/idl/BasicDataType.idl DESTINATION ${usr}/include/openrtm-1.2/rtm/idl)
  file(TOUCH ${usr}/${ml}/libRTC.so ${usr}/${ml}/libcoil.so)
  foreach(f openrtm-2.0/cmake/OpenRTMConfig.cmake openrtm-2.0/cmake/OpenRTMConfigVersion.cmake
            openrtm-1.2/cmake/OpenRTMConfig.cmake pkgconfig/openrtm-aist.pc)
    if(f MATCHES "^openrtm-2")
      file(READ ${p2}/lib/${f} text)
      # The installed package names its directories in full, as 2.0.2's does.
      string(REPLACE [[get_filename_component(_p "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)]]
        "set(_p ${usr})" text "${text}")
      string(REPLACE "\${_p}/lib" "\${_p}/${ml}" text "${text}")
    else()
      file(READ ${p1}/lib/${f} text)
      string(REPLACE "\${prefix}/lib" "\${prefix}/${ml}" text "${text}")
      string(REPLACE "${p1}/lib" "${usr}/${ml}" text "${text}")
      string(REPLACE "${p1}" "${usr}" text "${text}")
    endif()
    file(WRITE ${usr}/${ml}/${f} "${text}")
  endforeach()
endif()

set(failures 0)
# expect(<condition as the text of an if()> <message>)
macro(expect condition what)
  cmake_language(EVAL CODE "if(${condition})\n set(_ok TRUE)\nelse()\n set(_ok FALSE)\nendif()")
  if(NOT _ok)
    message(SEND_ERROR "${case}: ${what}")
    math(EXPR failures "${failures} + 1")
  endif()
endmacro()

# configure(<case> <pkg-config path> <cmake options>...): sets result, out, used, idl, ninja.
function(configure case pcpath)
  set(tree ${WORK_DIR}/${case})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=CMAKE_PREFIX_PATH PKG_CONFIG_PATH=${pcpath}
            ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${tree} -G Ninja
            -DQOR_OPENRTM_SYSTEM_PREFIXES=${WORK_DIR}/empty ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(result ${result} PARENT_SCOPE)
  set(out "${out}${err}" PARENT_SCOPE)
  set(used "" PARENT_SCOPE)
  set(idl "" PARENT_SCOPE)
  set(ninja "" PARENT_SCOPE)
  if(EXISTS ${tree}/CMakeCache.txt)
    file(STRINGS ${tree}/CMakeCache.txt line REGEX "^QOR_MIDDLEWARE_USED:")
    string(REGEX REPLACE "^[^=]*=" "" line "${line}")
    set(used "${line}" PARENT_SCOPE)
    file(STRINGS ${tree}/CMakeCache.txt line REGEX "^QOR_RTM_IDL_DIR_USED:")
    string(REGEX REPLACE "^[^=]*=" "" line "${line}")
    set(idl "${line}" PARENT_SCOPE)
  endif()
  if(EXISTS ${tree}/build.ninja)
    file(READ ${tree}/build.ninja ninja)
    set(ninja "${ninja}" PARENT_SCOPE)
  endif()
endfunction()

# The link and compile lines of one target in build.ninja.
function(ninja_block ninja pattern var)
  string(REGEX MATCH "${pattern}[^\n]*\n([ ][^\n]*\n)*" block "${ninja}")
  set(${var} "${block}" PARENT_SCOPE)
endfunction()

set(no_tests -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF)

# 2.0 first through its CMake package, though both .pc files are on the path too; default options.
set(case openrtm2-package)
configure(${case} "${p2}/lib/pkgconfig:${p1}/lib/pkgconfig" -DCMAKE_PREFIX_PATH=${p2})
expect("result EQUAL 0" "configure failed:\n${out}")
expect("used STREQUAL \"openrtm-cmake\"" "picked \"${used}\"")
expect("idl STREQUAL \"${p2}/include/openrtm-2.0/rtm/idl\"" "IDL directory \"${idl}\"")
ninja_block("${ninja}" "build depth_viewer/MorvaneComp: CXX_EXECUTABLE_LINKER" link)
expect("link MATCHES \"-L${p2}/lib( |\n)\"" "no -L for the package's library directory:\n${link}")
expect("link MATCHES \"-lRTC2 \"" "RTC2 not linked:\n${link}")
expect("link MATCHES \"-Wl,-rpath,${p2}/lib\"" "no run path to the package's libraries:\n${link}")
expect("NOT link MATCHES \"bin/lib|Threads::Threads|-lrtmCamera |-lrtmManipulator | -export-dynamic\"" "openrtm2.pc's Libs or the raw -export-dynamic reached the link:\n${link}")
ninja_block("${ninja}" "build depth_viewer/CMakeFiles/morvane.dir/Morvane.cpp.o:" compile)
expect("compile MATCHES \"-isystem ${p2}/include/openrtm-2.0 \"" "no include directory of the package:\n${compile}")
expect("compile MATCHES \"-DQOR_FAKE_OPENRTM2\"" "the package's definitions did not reach the compiler:\n${compile}")
expect("compile MATCHES \"-std=gnu[+][+]14\"" "component code not compiled as gnu++14:\n${compile}")
expect("NOT compile MATCHES \"rtm/ext\"" "an include directory that does not exist reached the compiler:\n${compile}")
ninja_block("${ninja}" "build tools/stereo_camera/CMakeFiles/stereo_camera_sim.dir/StereoCameraSim.cpp.o:" camera)
expect("camera MATCHES \"-std=gnu[+][+]14\"" "the camera is not compiled as gnu++14:\n${camera}")
expect("ninja MATCHES \"omniidl -bcxx -Wba -C [^\n]*idl/qor_imagedata_gen -I${p2}/include/openrtm-2.0/rtm/idl \"" "the QOR IDL is not compiled against the package's IDL directory")
foreach(target MorvaneComp KalethComp StereoCameraSimComp camera_client rtctl qor_wire_test)
  expect("ninja MATCHES \"build [^:\n]*/${target}[: ]\"" "${target} is not built")
endforeach()
foreach(target manager_test frame_test remote_wire_test bench_depth)
  expect("NOT ninja MATCHES \"build [^:\n]*/${target}[: ]\"" "${target} needs the bundled middleware but is built")
endforeach()
file(GLOB_RECURSE install_scripts ${WORK_DIR}/${case}/*cmake_install.cmake)
set(install_text "")
foreach(script IN LISTS install_scripts)
  file(READ ${script} text)
  string(APPEND install_text "${text}")
endforeach()
string(FIND "${install_text}" "NEW_RPATH \"\\$ORIGIN/../lib/qor-viewers:${p2}/lib\"" at)
expect("at GREATER -1" "the installed programs' run path does not name the package's libraries")

# 1.x through pkg-config when there is no CMake package.
set(case openrtm1-pkgconfig)
configure(${case} "${p2}/lib/pkgconfig:${p1}/lib/pkgconfig" ${no_tests})
expect("result EQUAL 0" "configure failed:\n${out}")
expect("used STREQUAL \"openrtm-pkgconfig\"" "picked \"${used}\"")
expect("idl STREQUAL \"${p1}/include/openrtm-1.2/rtm/idl\"" "IDL directory \"${idl}\"")
ninja_block("${ninja}" "build depth_viewer/MorvaneComp: CXX_EXECUTABLE_LINKER" link)
expect("link MATCHES \"${p1}/lib/libRTC.so\"" "libRTC not linked:\n${link}")
expect("NOT link MATCHES \" -export-dynamic\"" "the raw -export-dynamic reached the link:\n${link}")
expect("out MATCHES \"OpenRTM-aist 1.2.2: pkg-config module ${p1}/lib/pkgconfig/openrtm-aist.pc .named by PKG_CONFIG_PATH\"" "the choice is not named:\n${out}")

# A named prefix wins over the system's, and 1.x's CMake package (no version file) is 1.x: built
# through the openrtm-aist.pc of its prefix.
set(case openrtm1-package-named)
configure(${case} "" -DCMAKE_PREFIX_PATH=${p1} -DQOR_OPENRTM_SYSTEM_PREFIXES=${sys}/opt ${no_tests})
expect("result EQUAL 0" "configure failed:\n${out}")
expect("used STREQUAL \"openrtm-pkgconfig\"" "picked \"${used}\"")
expect("idl STREQUAL \"${p1}/include/openrtm-1.2/rtm/idl\"" "IDL directory \"${idl}\"")
set(case openrtm1-pc-named)
configure(${case} "${p1}/lib/pkgconfig" -DQOR_OPENRTM_SYSTEM_PREFIXES=${sys}/opt ${no_tests})
expect("used STREQUAL \"openrtm-pkgconfig\" AND idl MATCHES \"^${p1}/\"" "picked \"${used}\" at \"${idl}\"")

# Nothing named, both in the system's prefixes: the newest 2.x, and the configure says so; with
# 1.x alone there, 1.x through its pkg-config module.
set(case system-both)
configure(${case} "" -DQOR_OPENRTM_SYSTEM_PREFIXES=${sys}/opt ${no_tests})
expect("used STREQUAL \"openrtm-cmake\" AND idl MATCHES \"^${sys}/opt/openrtm-aist-2.0.2/\"" "picked \"${used}\" at \"${idl}\"")
expect("out MATCHES \"OpenRTM-aist 2.0.2: CMake package in ${sys}/opt/openrtm-aist-2.0.2/[^\n]*CMake's own search\"" "the choice is not named:\n${out}")
file(REMOVE_RECURSE ${sys}/opt/openrtm-aist-2.0.2)
set(case system-1)
configure(${case} "" -DQOR_OPENRTM_SYSTEM_PREFIXES=${sys}/opt ${no_tests})
expect("used STREQUAL \"openrtm-pkgconfig\" AND idl MATCHES \"^${sys}/opt/openrtm-aist-1.2.2/\"" "picked \"${used}\" at \"${idl}\"")

# The multiarch /usr: named, 2.x is taken from lib/<triplet>; 1.x by its .pc there, by the
# package beside it, and with no package at all; found by the system search as well.
if(ARCH)
  set(case multiarch-named)
  configure(${case} "" -DCMAKE_PREFIX_PATH=${usr} ${no_tests})
  expect("used STREQUAL \"openrtm-cmake\" AND idl STREQUAL \"${usr}/include/openrtm-2.0/rtm/idl\"" "picked \"${used}\" at \"${idl}\"")
  ninja_block("${ninja}" "build depth_viewer/MorvaneComp: CXX_EXECUTABLE_LINKER" link)
  expect("link MATCHES \"-L${usr}/${ml}( |\n)\" AND link MATCHES \"-Wl,-rpath,${usr}/${ml}\"" "the triplet's library directory is not linked from:\n${link}")
  set(case multiarch-1-pc)
  configure(${case} "${usr}/${ml}/pkgconfig" ${no_tests})
  expect("used STREQUAL \"openrtm-pkgconfig\" AND idl STREQUAL \"${usr}/include/openrtm-1.2/rtm/idl\"" "picked \"${used}\" at \"${idl}\"")
  ninja_block("${ninja}" "build depth_viewer/MorvaneComp: CXX_EXECUTABLE_LINKER" link)
  expect("link MATCHES \"${usr}/${ml}/libRTC.so\"" "libRTC not linked from the triplet's directory:\n${link}")
  file(REMOVE_RECURSE ${usr}/${ml}/openrtm-2.0)
  set(case multiarch-1-package)
  configure(${case} "" -DCMAKE_PREFIX_PATH=${usr} ${no_tests})
  expect("used STREQUAL \"openrtm-pkgconfig\" AND out MATCHES \"pkg-config module ${usr}/${ml}/pkgconfig/openrtm-aist.pc\"" "picked \"${used}\":\n${out}")
  set(case multiarch-system)
  configure(${case} "" -DQOR_OPENRTM_SYSTEM_PREFIXES=${usr} ${no_tests})
  expect("used STREQUAL \"openrtm-pkgconfig\" AND idl STREQUAL \"${usr}/include/openrtm-1.2/rtm/idl\"" "picked \"${used}\" at \"${idl}\"")
  file(REMOVE_RECURSE ${usr}/${ml}/openrtm-1.2)
  set(case multiarch-1-pc-only-named)
  configure(${case} "" -DCMAKE_PREFIX_PATH=${usr} ${no_tests})
  expect("used STREQUAL \"openrtm-pkgconfig\" AND idl STREQUAL \"${usr}/include/openrtm-1.2/rtm/idl\"" "picked \"${used}\" at \"${idl}\"")
endif()

# QOR_MIDDLEWARE=BUNDLED looks at neither.
set(case forced-bundled)
configure(${case} "${p1}/lib/pkgconfig" -DCMAKE_PREFIX_PATH=${p2} -DQOR_MIDDLEWARE=BUNDLED ${no_tests})
expect("result EQUAL 0" "configure failed:\n${out}")
expect("used STREQUAL \"bundled\"" "picked \"${used}\"")
expect("idl STREQUAL \"${SOURCE_DIR}/middleware/idl\"" "IDL directory \"${idl}\"")

# openrtm2.pc alone is never used: AUTO falls back to the bundled middleware, OPENRTM stops.
set(case pc-only-auto)
configure(${case} "${p2only}/lib/pkgconfig" ${no_tests})
expect("result EQUAL 0" "configure failed:\n${out}")
expect("used STREQUAL \"bundled\"" "picked \"${used}\"")
set(case pc-only-forced)
configure(${case} "${p2only}/lib/pkgconfig" -DQOR_MIDDLEWARE=OPENRTM ${no_tests})
expect("NOT result EQUAL 0" "configure succeeded without a usable OpenRTM-aist")
expect("out MATCHES \"QOR_MIDDLEWARE=OPENRTM, but no installed OpenRTM-aist was found\"" "no clear message:\n${out}")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "middleware detection: all checks passed")
