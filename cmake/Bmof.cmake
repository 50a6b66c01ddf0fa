# vcom_compile_mof(MOF_SOURCE OUTPUT_PATH)
#
# Compiles a MOF text into the compressed binary MOF (the "FOMB" container) that a
# driver image carries as its WMI class resource. Meant for the cross (win32/win64)
# build, where the target compiler cannot build a tool the build itself runs: the
# vcom-bmof tool is built here with the build machine's C++ compiler (c++ or g++,
# -std=c++20, nothing but the standard library), and a custom command produces
# OUTPUT_PATH from MOF_SOURCE, again whenever the .mof or the tool's sources change.
#
#   include(${CMAKE_SOURCE_DIR}/cmake/Bmof.cmake)
#   vcom_compile_mof(${CMAKE_SOURCE_DIR}/wmi/vcomusb.mof ${CMAKE_CURRENT_BINARY_DIR}/vcomusb.bmf)
#   # In the .rc:  MOFRESOURCENAME MOFDATA "vcomusb.bmf"  (under LANGUAGE 0x09, 0x01)
#   set_source_files_properties(vcomusb.rc PROPERTIES
#     OBJECT_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/vcomusb.bmf)
#
# The function also leaves the tool's path in VCOM_BMOF_TOOL (cache), e.g. for running
# "vcom-bmof dump-pe" on the finished image in a test.

set(VCOM_BMOF_DIR ${CMAKE_CURRENT_LIST_DIR}/../tools/bmof)
get_filename_component(VCOM_BMOF_DIR ${VCOM_BMOF_DIR} ABSOLUTE)

function(vcom_compile_mof MOF_SOURCE OUTPUT_PATH)
  find_program(VCOM_BUILD_CXX NAMES c++ g++ REQUIRED NO_CMAKE_FIND_ROOT_PATH
               DOC "The build machine's C++ compiler, for tools the build runs")
  set(sources
    ${VCOM_BMOF_DIR}/bmof.cpp ${VCOM_BMOF_DIR}/ds.cpp ${VCOM_BMOF_DIR}/mof_parse.cpp
    ${VCOM_BMOF_DIR}/pe_resource.cpp ${VCOM_BMOF_DIR}/vcom_bmof.cpp)
  set(tool ${CMAKE_CURRENT_BINARY_DIR}/bmof-tool/vcom-bmof)
  # One rule for the tool per directory, however many MOF files it compiles there.
  get_directory_property(have_tool VCOM_BMOF_TOOL_RULE)
  if(NOT have_tool)
    add_custom_command(OUTPUT ${tool}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/bmof-tool
      COMMAND ${VCOM_BUILD_CXX} -std=c++20 -O2 -Wall -Wextra -Werror -o ${tool} ${sources}
      DEPENDS ${sources} ${VCOM_BMOF_DIR}/bmof.h
      COMMENT "Building vcom-bmof for the build machine"
      VERBATIM)
    set_directory_properties(PROPERTIES VCOM_BMOF_TOOL_RULE ON)
  endif()
  set(VCOM_BMOF_TOOL ${tool} CACHE INTERNAL "vcom-bmof built for the build machine")

  get_filename_component(name ${OUTPUT_PATH} NAME)
  add_custom_command(OUTPUT ${OUTPUT_PATH}
    COMMAND ${tool} compile ${MOF_SOURCE} ${OUTPUT_PATH}
    DEPENDS ${tool} ${MOF_SOURCE}
    COMMENT "Compiling ${MOF_SOURCE} to binary MOF ${name}"
    VERBATIM)
endfunction()
