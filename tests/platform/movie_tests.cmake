# Decoding side of the movie engine: open/probe, worker, clock, loop, pool.
loopstage_test(movie_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/MovieOpenTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MovieDecodeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MovieRobustnessTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FrameChoiceTest.cpp
  LIBS loopstage::platform PkgConfig::FFMPEG
  LABELS "platform;threads")
