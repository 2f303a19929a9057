# The playing half of the media service: devices, commands, playback, sound, picture.
list(APPEND MCI_SERVICE_FILES
  MediaService.h MediaService.cpp
  Service.h Service.cpp
  Device.h Device.cpp
  PlaybackState.h PlaybackState.cpp
  PlaybackSource.h SourceAdapter.h SourceAdapter.cpp
  Timeline.h Timeline.cpp
  FrameFeeder.h FrameFeeder.cpp
  Clock.h Clock.cpp
  AudioOutput.h SdlAudioOutput.h SdlAudioOutput.cpp
  VideoSurface.h VideoSurface.cpp
  DisplayTarget.h DisplayTarget.cpp
  ProgressWindow.h ProgressWindow.cpp
  ErrorTexts.h ErrorTexts.cpp
)
