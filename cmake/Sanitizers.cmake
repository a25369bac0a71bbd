# One INTERFACE target carries the sanitizer flags so every layer and test links the same way.
add_library(loopstage_sanitizers INTERFACE)
add_library(loopstage::sanitizers ALIAS loopstage_sanitizers)

if(LOOPSTAGE_SANITIZE STREQUAL "address")
  set(_san_flags -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(LOOPSTAGE_SANITIZE STREQUAL "thread")
  set(_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(LOOPSTAGE_SANITIZE STREQUAL "fuzz")
  # Coverage for libFuzzer in every layer; the fuzz target itself links the fuzzer's main.
  set(_san_flags -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
      -fno-sanitize-recover=undefined)
elseif(NOT LOOPSTAGE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "LOOPSTAGE_SANITIZE must be empty, 'address', 'thread' or 'fuzz'")
endif()

if(_san_flags)
  target_compile_options(loopstage_sanitizers INTERFACE ${_san_flags})
  target_link_options(loopstage_sanitizers INTERFACE ${_san_flags})
endif()
