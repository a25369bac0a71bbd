add_library(loopstage_warnings INTERFACE)
add_library(loopstage::warnings ALIAS loopstage_warnings)
target_compile_options(loopstage_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)

# Every project library: warnings, sanitizers, and the src/ include root.
function(loopstage_layer target)
  target_link_libraries(${target} PRIVATE loopstage::warnings PUBLIC loopstage::sanitizers)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()
