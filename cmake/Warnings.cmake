# Our own targets build with the full warning set; generated and third-party code does not.
set(QOR_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual)

function(qor_warnings target)
  target_compile_options(${target} PRIVATE ${QOR_WARNING_FLAGS})
endfunction()

# Component, frame and display code must also build against an installed OpenRTM-aist, whose
# headers need C++14 (dynamic exception specifications); it is compiled that way in every build.
function(qor_component_code target)
  qor_warnings(${target})
  set_target_properties(${target} PROPERTIES CXX_STANDARD 14 CXX_EXTENSIONS ON)
endfunction()
