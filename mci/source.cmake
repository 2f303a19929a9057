# The frame-exact media source: the reading half of the media service (see MediaSource.h).
list(APPEND MCI_SOURCE_FILES
  MediaSource.h MediaSource.cpp
  SourceErrors.h SourceErrors.cpp
)
