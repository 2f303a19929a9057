# The frame-exact media source: the reading half of the media service (see MediaSource.h).
list(APPEND MCI_SOURCE_FILES
  MediaSource.h MediaSource.cpp
  SourceErrors.h SourceErrors.cpp SourceCounters.h
  FFmpegHandles.h FFmpegError.h FFmpegError.cpp
  Demuxer.h Demuxer.cpp
  PictureHeader.h PictureHeader.cpp
  ContainerScan.h ContainerScan.cpp
  SampleTable.h SampleTable.cpp
  FrameIndex.h FrameIndex.cpp
  MatroskaScan.h MatroskaScan.cpp
  TransportStreamScan.h TransportStreamScan.cpp
  IndexCache.h IndexCache.cpp
  CodecContext.h CodecContext.cpp
  VideoDecoder.h VideoDecoder.cpp
  FrameCache.h FrameCache.cpp
  FrameReader.h FrameReader.cpp
  DecodedFrameData.h DecodedFrame.cpp
  PictureConverter.h PictureConverter.cpp
  ToneMapper.h ToneMapper.cpp
  PictureBuffers.h PictureBuffers.cpp
  AudioDecoder.h AudioDecoder.cpp
)
