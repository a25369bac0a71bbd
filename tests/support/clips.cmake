# Test clip generator: writes movie files with libavcodec/libavformat at test time. A library
# of its own so the benchmarks can make clips too.
add_library(loopstage_testclips STATIC ${CMAKE_CURRENT_LIST_DIR}/TestClips.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BadInputs.cpp)
target_include_directories(loopstage_testclips PUBLIC ${PROJECT_SOURCE_DIR}/tests
  PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(loopstage_testclips PUBLIC loopstage::sanitizers Qt6::Gui PRIVATE PkgConfig::FFMPEG loopstage::warnings)
target_link_libraries(loopstage_testsupport PUBLIC loopstage_testclips)
