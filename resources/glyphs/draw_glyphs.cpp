// Draws the 27 transport glyphs as 16-colour bitmaps: draw_glyphs <folder>.
//
// Every glyph is a shape on the olive key colour, lit from the upper left: the shape's upper and
// left edge pixels are dark grey, the pixels just below and right of it white. EN glyphs fill the
// shape black, CL glyphs with the kind's colour, DI glyphs leave it in the key colour so only the
// etched outline shows. The committed .bmp files are this program's output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// Indices into the standard 16-colour palette.
enum : std::uint8_t { Black = 0, Olive = 3, Grey = 8, Red = 9, Lime = 10, Yellow = 11, Blue = 12, White = 15 };

const std::uint8_t Palette[16][3] = {
    {0, 0, 0},     {128, 0, 0},   {0, 128, 0},   {128, 128, 0}, {0, 0, 128},   {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},   {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
};

using Shape = std::function<bool(int x, int y)>;

bool Box(int x, int y, int left, int right, int top, int bottom) {
    return x >= left && x <= right && y >= top && y <= bottom;
}

// A triangle over rows 2..13 with its point on row 7, spanning columns from..to; the upright side
// is at `from` when it points right, at `to` when it points left.
bool Triangle(int x, int y, int from, int to, bool right) {
    if (y < 2 || y > 13) return false;
    const int reach = (to - from) * (6 - std::abs(y - 7)) / 6;
    return right ? x >= from && x <= from + reach : x <= to && x >= to - reach;
}

struct Picture {
    const char* suffix;
    int width, height, diWidth;
    Shape shape, diShape;
    std::uint8_t fill;
};

std::vector<Picture> Pictures() {
    auto pause = [](int bar) {
        return [bar](int x, int y) { return Box(x, y, 2, 2 + bar - 1, 2, 13) || Box(x, y, 7, 7 + bar - 1, 2, 13); };
    };
    auto play = [](int x, int y) { return Triangle(x, y, 2, 14, true); };
    auto stop = [](int x, int y) { return Box(x, y, 2, 14, 3, 12); };
    auto next = [](int x, int y) { return Triangle(x, y, 2, 14, true) || Box(x, y, 16, 18, 2, 13); };
    auto prev = [](int x, int y) { return Box(x, y, 2, 4, 2, 13) || Triangle(x, y, 6, 17, false); };
    auto step = [](int x, int y) { return Box(x, y, 2, 4, 2, 13) || Triangle(x, y, 6, 18, true); };
    auto back = [](int x, int y) { return Triangle(x, y, 3, 14, false) || Box(x, y, 16, 18, 2, 13); };
    auto record = [](int x, int y) { return (x - 6) * (x - 6) + (y - 6) * (y - 6) <= 30; };
    auto eject = [](int x, int y) {
        const bool roof = y >= 1 && y <= 8 && std::abs(x - 9) <= y - 1;
        return roof || Box(x, y, 2, 16, 11, 13);
    };
    return {
        {"MPPLAY", 17, 16, 17, play, play, Lime},
        {"MPPAUSE", 13, 16, 12, pause(4), pause(3), Yellow},
        {"MPSTOP", 17, 16, 17, stop, stop, Red},
        {"MPNEXT", 21, 16, 21, next, next, Blue},
        {"MPPREV", 20, 16, 20, prev, prev, Blue},
        {"MPSTEP", 21, 16, 21, step, step, Blue},
        {"MPBACK", 21, 16, 21, back, back, Blue},
        {"MPRECORD", 13, 13, 13, record, record, Red},
        {"MPEJECT", 19, 16, 19, eject, eject, Blue},
    };
}

std::vector<std::uint8_t> Draw(int width, int height, const Shape& shape, std::uint8_t fill) {
    std::vector<std::uint8_t> pixels(std::size_t(width * height), Olive);
    auto in = [&](int x, int y) { return x >= 0 && y >= 0 && x < width && y < height && shape(x, y); };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t& p = pixels[std::size_t(y * width + x)];
            if (in(x, y))
                p = (!in(x, y - 1) || !in(x - 1, y)) ? std::uint8_t(Grey) : fill;
            else if (in(x, y - 1) || in(x - 1, y))
                p = std::uint8_t(White);
        }
    }
    return pixels;
}

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(std::uint8_t(v));
    out.push_back(std::uint8_t(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, unsigned v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A bottom-up 4-bit device-independent bitmap with the standard palette.
bool WriteBmp(const std::string& path, int width, int height, const std::vector<std::uint8_t>& pixels) {
    const unsigned stride = ((unsigned(width) * 4 + 31) / 32) * 4;
    const unsigned imageSize = stride * unsigned(height);
    const unsigned offset = 14 + 40 + 16 * 4;
    std::vector<std::uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    Put32(out, offset + imageSize);
    Put32(out, 0);
    Put32(out, offset);
    Put32(out, 40);
    Put32(out, unsigned(width));
    Put32(out, unsigned(height));
    Put16(out, 1);
    Put16(out, 4);
    Put32(out, 0);  // BI_RGB
    Put32(out, imageSize);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 16);
    Put32(out, 0);
    for (const auto& c : Palette) {
        out.push_back(c[2]);
        out.push_back(c[1]);
        out.push_back(c[0]);
        out.push_back(0);
    }
    for (int y = height - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(stride, 0);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t p = pixels[std::size_t(y * width + x)];
            row[std::size_t(x / 2)] |= std::uint8_t(x % 2 == 0 ? p << 4 : p);
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    for (const Picture& p : Pictures()) {
        const bool ok = WriteBmp(folder + "/EN_" + p.suffix + ".bmp", p.width, p.height,
                                 Draw(p.width, p.height, p.shape, Black)) &&
                        WriteBmp(folder + "/DI_" + p.suffix + ".bmp", p.diWidth, p.height,
                                 Draw(p.diWidth, p.height, p.diShape, Olive)) &&
                        WriteBmp(folder + "/CL_" + p.suffix + ".bmp", p.width, p.height,
                                 Draw(p.width, p.height, p.shape, p.fill));
        if (!ok) {
            std::fprintf(stderr, "cannot write the %s glyphs into %s\n", p.suffix, folder.c_str());
            return 1;
        }
    }
    return 0;
}
