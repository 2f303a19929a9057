# The frame-exact media source: the reading half of the media service (see MediaSource.h).
list(APPEND MCI_SOURCE_FILES
  MediaSource.h MediaSource.cpp
  SourceErrors.h SourceErrors.cpp SourceCounters.h
  FFmpegHandles.h FFmpegError.h FFmpegError.cpp
  Demuxer.h Demuxer.cpp
  # Where every frame is: the index, read from the container's structure or through the demuxer.
  index/FrameIndex.h index/FrameIndex.cpp
  index/RestartedClock.h index/RestartedClock.cpp
  index/ContainerScan.h index/ContainerScan.cpp
  index/SampleTable.h index/SampleTable.cpp
  index/MappedFile.h index/MappedFile.cpp
  index/MatroskaScan.h index/MatroskaScan.cpp
  index/TransportStreamScan.h index/TransportStreamScan.cpp
  index/PictureHeader.h index/PictureHeader.cpp
  index/IndexCache.h index/IndexCache.cpp
  CodecContext.h CodecContext.cpp
  VideoDecoder.h VideoDecoder.cpp
  FrameCache.h FrameCache.cpp
  FrameReader.h FrameReader.cpp
  DecodedFrameData.h DecodedFrame.cpp
  PictureConverter.h PictureConverter.cpp
  ScreenMemory.h ScreenMemory.cpp
  ToneMapper.h ToneMapper.cpp
  LargePages.h LargePages.cpp
  Cores.h Cores.cpp
  PictureBuffers.h PictureBuffers.cpp
  AudioDecoder.h AudioDecoder.cpp
  OggPages.h OggPages.cpp
)
