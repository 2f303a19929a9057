// Pictures the screen cannot show as coded: HDR video (PQ as HDR10 uses, HLG as phones record)
// tone-mapped to SDR BT.709, and BT.2020 primaries converted to BT.709.
//
// The colour science is libavfilter's zscale (the zimg library) and tonemap filters, never
// curves of our own: linear light at a nominal peak of 100 cd/m², the primaries converted
// there, Hable's curve without desaturation, back to BT.709's transfer and matrix. Run on every
// pixel, that chain costs 60 ms of CPU for a 1080p picture, twice what playing at 30 frames a
// second allows; so it is run once per colour description, on a grid of 65x65x65 colours
// spanning every code value, and a picture is mapped through that table (tetrahedral between
// its points, 15 bits, then dithered to 8 so that 10- and 12-bit gradients do not band), eight
// pixels at a time where the processor has AVX2. The grid is as fine as the chain's result to
// within a level, but for colours the screen cannot show, where that result bends sharply.
//
// Threads: one object is used by one thread at a time; a large picture is spread and mapped on
// as many threads as the machine has cores, within the call.
#pragma once

#include "FFmpegHandles.h"

#include <QSize>

#include <array>
#include <cstdint>
#include <vector>

namespace mci {

class ToneMapper {
public:
    // Whether frame needs this to be shown in the colours it means.
    static bool needed(const AVFrame* frame);

    // frame, scaled to size and mapped, into destination as Format_RGB32 (any stride of at
    // least 4 bytes a pixel). False when the colour library takes no such picture.
    bool map(const AVFrame* frame, QSize size, uint8_t* destination, int stride);

private:
    bool makeTable(const AVFrame* described);
    bool spread(const AVFrame* described, QSize size);
    void mapLines(uint8_t* destination, int stride, int first, int end) const;

    // Per grid point (first plane's value fastest), the colour shown: B, G, R and an opaque
    // alpha, as the screen's pixels hold them, in 15 bits for the signed multiply-adds; a point
    // is one 8-byte load.
    std::vector<uint16_t> m_table;
    std::array<int, 5> m_tableFor{};  // the colour description m_table was made for
    bool m_tableMade = false;
    // The picture at the size shown in 16-bit 4:4:4, the planes the table is indexed by.
    SwsPtr m_spreader;
    std::array<int, 6> m_spreaderFor{};
    FramePtr m_spread;
};

}  // namespace mci
