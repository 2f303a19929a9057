# Tests of the frame-exact media source (mci/source/MediaSource.h) against generated clips.
tavolen_add_test(mci_source_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SourceTestSupport.h
    ${CMAKE_CURRENT_LIST_DIR}/SourceTestSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FrameIndexTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FrameExactnessTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OpenFailureTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/IndexCacheTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MatroskaScanTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FrameCacheTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SoundSourceTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransportStreamScanTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PictureConversionTest.cpp
  LIBS fixtures PkgConfig::FFMPEG
  LABELS mci)
