# qor_add_component_module(<Name> SOURCES ... LIBS ...): the component as a module that a host
# process (rtcd) loads by name: <Name>.so in the build tree's modules/ directory, exporting the
# registration function <Name>Init, built from the same sources as the component's program.
# Modules need the shared middleware and IDL libraries, so fuzz builds make none.
function(qor_add_component_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT QOR_LIBRARY_TYPE STREQUAL "SHARED")
    return()
  endif()
  set(target ${name}_module)
  add_library(${target} MODULE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name} PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${QOR_MODULE_DIR}
    INSTALL_RPATH "${QOR_MODULE_INSTALL_RPATH}")
  install(TARGETS ${target} LIBRARY DESTINATION ${QOR_INSTALL_MODULEDIR})
endfunction()
