# qor_add_idl_library(<target> <file.idl>... [OUTPUT_DIR dir] [INCLUDE_DIRS dir...]
#                     [DEPENDS file...] [LINK target...])
# Runs omniidl's C++ back end with TypeCode and Any generation at build time and builds a library
# (of QOR_LIBRARY_TYPE) of each file's stub unit (<name>SK.cc) and dynamic unit (<name>DynSK.cc). The generated
# files live only in the build tree; their directory is a public (system) include directory.
function(qor_add_idl_library target)
  cmake_parse_arguments(ARG "" "OUTPUT_DIR" "INCLUDE_DIRS;DEPENDS;LINK" ${ARGN})
  if(NOT ARG_OUTPUT_DIR)
    set(ARG_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/${target}_gen)
  endif()
  set(out ${ARG_OUTPUT_DIR})
  set(include_flags)
  foreach(dir IN LISTS ARG_INCLUDE_DIRS)
    list(APPEND include_flags -I${dir})
  endforeach()
  set(sources)
  foreach(idl IN LISTS ARG_UNPARSED_ARGUMENTS)
    get_filename_component(idl_abs ${idl} ABSOLUTE)
    get_filename_component(name ${idl} NAME_WE)
    set(generated ${out}/${name}.hh ${out}/${name}SK.cc ${out}/${name}DynSK.cc)
    add_custom_command(
      OUTPUT ${generated}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
      COMMAND ${OMNIIDL} -bcxx -Wba -C ${out} ${include_flags} ${idl_abs}
      DEPENDS ${idl_abs} ${ARG_DEPENDS}
      COMMENT "omniidl ${name}.idl"
      VERBATIM)
    list(APPEND sources ${out}/${name}SK.cc ${out}/${name}DynSK.cc)
  endforeach()
  add_library(${target} ${QOR_LIBRARY_TYPE} ${sources})
  qor_install_private_library(${target})
  target_include_directories(${target} SYSTEM PUBLIC ${out})
  target_link_libraries(${target} PUBLIC PkgConfig::OMNIORB Threads::Threads ${ARG_LINK})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# Installs a private shared library of ours beside the others; static ones need no installing.
function(qor_install_private_library target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    # Beside each other, and beside an installed middleware's libraries.
    set(rpath ${QOR_MODULE_INSTALL_RPATH})
    list(REMOVE_ITEM rpath "$ORIGIN/..")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN;${rpath}")
    install(TARGETS ${target} LIBRARY DESTINATION ${QOR_INSTALL_PRIVATE_LIBDIR})
  endif()
endfunction()
