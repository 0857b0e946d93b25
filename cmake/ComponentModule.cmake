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

# qor_add_component_library(<lib> SOURCES ... LIBS ...): a static library of component code
# (C++14, see qor_component_code) whose headers sit beside its sources.
function(qor_add_component_library lib)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${lib} STATIC ${ARG_SOURCES})
  target_include_directories(${lib} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${lib} PUBLIC ${ARG_LIBS})
  qor_component_code(${lib})
endfunction()

# qor_add_viewer(<Name> LIBRARY <lib> SOURCES ... LIBS ...): a viewer's sources compiled once and
# linked three ways: <lib>, the component without a display (programs add qor::display, tests
# qor::display_recording); the program <Name>Comp from <Name>Comp.cpp; and the module <Name>.so.
function(qor_add_viewer name)
  cmake_parse_arguments(ARG "" "LIBRARY" "SOURCES;LIBS" ${ARGN})
  set(lib ${ARG_LIBRARY})
  # Position-independent, so that the module can take the same objects.
  add_library(${lib} OBJECT ${ARG_SOURCES})
  set_target_properties(${lib} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${lib} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${lib} PUBLIC ${ARG_LIBS})
  qor_component_code(${lib})

  add_executable(${name}Comp ${name}Comp.cpp)
  target_link_libraries(${name}Comp PRIVATE ${lib} qor::display)
  set_target_properties(${name}Comp PROPERTIES ENABLE_EXPORTS ON)
  qor_component_code(${name}Comp)

  qor_add_component_module(${name} SOURCES $<TARGET_OBJECTS:${lib}> LIBS ${ARG_LIBS} qor::display)
  if(TARGET ${name}_module)
    qor_component_code(${name}_module)
  endif()
endfunction()
