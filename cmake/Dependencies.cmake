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
# Image files (PNG, TIFF), for exporting recordings only.
find_library(OpenCV_imgcodecs_LIBRARY opencv_imgcodecs REQUIRED)
# HighGUI draws with Qt 5; the display seam reaches Qt itself to tear HighGUI's state down on the
# thread that made it and to hear of a lost display.
find_package(Qt5 REQUIRED COMPONENTS Core)

include(Middleware)
