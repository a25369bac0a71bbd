# Test clip generator: writes movie files with libavcodec/libavformat at test time.
target_sources(loopstage_testsupport PRIVATE ${CMAKE_CURRENT_LIST_DIR}/TestClips.cpp)
target_link_libraries(loopstage_testsupport PRIVATE PkgConfig::FFMPEG)
