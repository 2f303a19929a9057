// What kind of picture a video packet holds, read from the first bytes of its picture header
// without decoding: whether it holds one at all (a damaged access unit, a "not coded" MPEG-4
// placeholder and an invisible VP8 frame hold none), and whether other pictures may refer to it.
//
// The index needs both before any decoding: a packet that gives no picture is no frame, and a
// jump to a frame may pass over pictures nothing refers to, but never over a reference.
//
// Knows the codecs whose packets say so in a few bytes (MPEG-1/2, MPEG-4 Part 2, H.264, HEVC,
// VP8); for any other codec, and for anything it cannot parse, a packet with bytes holds a
// picture of unknown kind. One thread at a time.
#pragma once

#include "FFmpegHandles.h"

#include <QtGlobal>

namespace mci {

// Stored in the index cache: the values stay.
enum class PictureKind : quint8 {
    Unknown = 0,       // a picture; whether others refer to it is not known
    Intra = 1,         // decoded on its own (an I-picture)
    Reference = 2,     // refers to others, and others may refer to it (a P-picture)
    Unreferenced = 3,  // no other picture refers to it (MPEG B-pictures, H.264 and HEVC non-reference)
    None = 4,          // the packet gives no picture
};

// Whether the kind says how other pictures refer to the picture.
inline bool kindIsKnown(PictureKind kind)
{
    return kind == PictureKind::Intra || kind == PictureKind::Reference || kind == PictureKind::Unreferenced;
}

// MPEG-1, MPEG-2 and H.263: a picture whose kind is known is a keyframe exactly when it is
// coded on its own, whatever its container marks (some writers of AVI and Matroska mark every
// H.263 picture a keyframe).
inline bool kindMarksKeyframes(AVCodecID codec)
{
    return codec == AV_CODEC_ID_MPEG1VIDEO || codec == AV_CODEC_ID_MPEG2VIDEO || codec == AV_CODEC_ID_H263
           || codec == AV_CODEC_ID_H263P;
}

// Just past the next start code (00 00 01) in [at, end), or end.
const uint8_t* afterStartCode(const uint8_t* at, const uint8_t* end);

enum class H264Start { Slice, Idr, ForTheParser };

// How an H.264 access unit of length-prefixed units begins, up to its first slice, where the
// demuxer's parser stops reading: with an IDR slice, which the parser marks a keyframe; with a
// recovery point (it marks that a keyframe too) or parameter sets it keeps for reading one,
// which only the parser can take in; or with a slice of another kind, which it does not mark.
// Reads only each unit's length and first byte.
H264Start h264Start(const uint8_t* frame, int size, int lengthSize);

class PictureHeaderReader {
public:
    // parameters: the stream's, for the codec and the headers kept in its extradata.
    explicit PictureHeaderReader(const AVCodecParameters* parameters);

    PictureKind kindOf(const uint8_t* data, int size);
    // An H.264 IDR picture, an HEVC IDR or BLA picture: a decoder shows every picture decoded
    // before it first, and the pictures' counts start again.
    bool startsAnew(const uint8_t* data, int size) const;
    // Whether a decoder can begin at this picture, as far as its header tells: false only for an
    // HEVC picture whose first slice is not one decoded on its own (a keyframe mark on it is
    // damage; decoded from there, it and the pictures after it are made of missing ones).
    bool beginsDecoding(const uint8_t* data, int size) const;
    // H.264/HEVC: the bytes of each unit's length prefix; 0 where units begin with start codes.
    // Of such a packet the reader looks at no more than each prefix and the unit's first bytes.
    int unitLengthSize() const { return m_lengthSize; }
    AVCodecID codec() const { return m_codec; }
    // Readers that kept the same from the headers they met read every later packet alike.
    bool operator==(const PictureHeaderReader&) const = default;

private:
    PictureKind mpegVideo(const uint8_t* data, int size) const;
    PictureKind mpeg4Part2(const uint8_t* data, int size);
    static PictureKind h263(const uint8_t* data, int size);
    PictureKind h264(const uint8_t* data, int size) const;
    PictureKind hevc(const uint8_t* data, int size);
    void readHevcRecord(const uint8_t* data, int size);
    bool unitsOverrun(const uint8_t* data, int size) const;
    void readVideoObjectLayer(const uint8_t* data, int size);
    int firstHevcSlice(const uint8_t* data, int size) const;

    AVCodecID m_codec;
    int m_lengthSize = 0;  // H.264/HEVC: bytes of each unit's length prefix; 0 for start codes
    int m_timeIncrementBits = -1;  // MPEG-4 Part 2, from the video object layer; -1 unknown
    int m_highestSubLayer = -1;    // HEVC, from the sequence header; -1 unknown
};

}  // namespace mci
