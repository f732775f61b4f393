# Debian's per-module OpenCV development packages ship headers and libraries
# but no CMake package file (that comes only with the all-modules package).
# Use OpenCV's own package when present, otherwise make the same imported
# targets (opencv_core, opencv_imgproc, ...) from the installed files.
set(VMOSAIC_OPENCV_MODULES core imgproc imgcodecs videoio highgui video features2d calib3d flann
  stitching)

find_package(OpenCV 4 QUIET COMPONENTS ${VMOSAIC_OPENCV_MODULES})
if(OpenCV_FOUND)
  return()
endif()

find_path(VMOSAIC_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
foreach(module IN LISTS VMOSAIC_OPENCV_MODULES)
  find_library(VMOSAIC_OPENCV_${module}_LIBRARY opencv_${module} REQUIRED)
  add_library(opencv_${module} SHARED IMPORTED GLOBAL)
  set_target_properties(opencv_${module} PROPERTIES
    IMPORTED_LOCATION ${VMOSAIC_OPENCV_${module}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${VMOSAIC_OPENCV_INCLUDE_DIR}
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${VMOSAIC_OPENCV_INCLUDE_DIR})
endforeach()
message(STATUS "OpenCV modules from ${VMOSAIC_OPENCV_INCLUDE_DIR}")
