# Movie engine, decoding side (GL-free): open/probe, decode worker, RGBA frame pool, clock.
target_sources(loopstage_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Movie.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FramePool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FFmpegLog.cpp
)
