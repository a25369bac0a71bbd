# Movie engine, decoding side (GL-free): probe, decode worker, picture converter, RGBA frame
# pool, clock, registry; Movie is their facade.
target_sources(loopstage_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Movie.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MovieProbe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MovieRegistry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DecodeWorker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PassTiming.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PictureConverter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FramePool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FFmpegLog.cpp
)
