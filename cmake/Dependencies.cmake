find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(OMNIORB REQUIRED IMPORTED_TARGET omniORB4 omniDynamic4 omnithread4)
find_program(OMNIIDL omniidl REQUIRED)

find_path(OpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
foreach(module core imgproc highgui)
  find_library(OpenCV_${module}_LIBRARY opencv_${module} REQUIRED)
endforeach()
add_library(qor_opencv INTERFACE)
target_include_directories(qor_opencv SYSTEM INTERFACE ${OpenCV_INCLUDE_DIR})
target_link_libraries(qor_opencv INTERFACE
  ${OpenCV_highgui_LIBRARY} ${OpenCV_imgproc_LIBRARY} ${OpenCV_core_LIBRARY})
add_library(qor::opencv ALIAS qor_opencv)

# The middleware: an installed OpenRTM-aist when asked for or found, else the bundled stand-in.
set(QOR_USE_OPENRTM OFF)
if(NOT QOR_MIDDLEWARE STREQUAL "BUNDLED")
  pkg_check_modules(OPENRTM QUIET IMPORTED_TARGET openrtm-aist)
  if(OPENRTM_FOUND)
    set(QOR_USE_OPENRTM ON)
  elseif(QOR_MIDDLEWARE STREQUAL "OPENRTM")
    message(FATAL_ERROR "QOR_MIDDLEWARE=OPENRTM but pkg-config finds no openrtm-aist")
  endif()
endif()

if(QOR_USE_OPENRTM)
  pkg_get_variable(QOR_RTM_IDL_DIR openrtm-aist rtm_idldir)
  # Its libraries may sit outside the loader's path.
  set(CMAKE_BUILD_RPATH ${OPENRTM_LIBRARY_DIRS})
  set(CMAKE_INSTALL_RPATH ${OPENRTM_LIBRARY_DIRS})
  add_library(qor_rtm INTERFACE)
  target_link_libraries(qor_rtm INTERFACE PkgConfig::OPENRTM PkgConfig::OMNIORB Threads::Threads)
  add_library(qor::rtm ALIAS qor_rtm)
  add_library(qor::rtm_types ALIAS qor_rtm)
else()
  set(QOR_RTM_IDL_DIR ${CMAKE_CURRENT_SOURCE_DIR}/middleware/idl)
endif()
