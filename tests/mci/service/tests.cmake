# Tests of the playing half of the media service: commands, playback, notifications and picture
# on fake media (ServiceCommands, ServicePicture, SoundOnly), and the whole service on generated
# clips (ServiceMedia).
tavolen_add_test(mci_service_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/FakeMedia.h
    ${CMAKE_CURRENT_LIST_DIR}/FakeMedia.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ServiceCommandsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ServicePictureTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SoundOnlyTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ServiceMediaTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SdlAudioTest.cpp
  LIBS fixtures PkgConfig::SDL2
  LABELS mci)
