#include "XpmGlyph.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace corvane::win {

namespace {

// ARGB of an XPM colour: "#RRGGBB" or None (transparent).
std::uint32_t ParseColour(const char* line, int charsPerPixel) {
    const char* c = std::strstr(line + charsPerPixel, " c ");
    if (c == nullptr) return 0;
    c += 3;
    while (*c == ' ') ++c;
    if (*c != '#') return 0;
    unsigned rgb = 0;
    if (std::sscanf(c + 1, "%6x", &rgb) != 1) return 0;
    return 0xFF000000u | rgb;
}

}  // namespace

HICON MakeGlyphIcon(const char* const* xpm, UINT dpi) {
    int width = 0, height = 0, colours = 0, cpp = 0;
    if (std::sscanf(xpm[0], "%d %d %d %d", &width, &height, &colours, &cpp) != 4 || cpp < 1) {
        return nullptr;
    }
    std::map<std::string, std::uint32_t> palette;
    for (int i = 0; i < colours; ++i) {
        palette[std::string(xpm[1 + i], static_cast<std::size_t>(cpp))] =
            ParseColour(xpm[1 + i], cpp);
    }
    const int scaledW = MulDiv(width, static_cast<int>(dpi), 96);
    const int scaledH = MulDiv(height, static_cast<int>(dpi), 96);

    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = scaledW;
    header.bV5Height = -scaledH;  // top-down
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (colour == nullptr) return nullptr;
    auto* pixels = static_cast<std::uint32_t*>(bits);
    // The AND mask: 1 where the picture is transparent (the system draws a
    // disabled button's picture from it), rows of whole 16-bit words.
    const int maskStride = (scaledW + 15) / 16 * 2;
    std::vector<std::uint8_t> maskBits(static_cast<std::size_t>(maskStride * scaledH), 0);
    for (int y = 0; y < scaledH; ++y) {
        const char* row = xpm[1 + colours + y * height / scaledH];
        for (int x = 0; x < scaledW; ++x) {
            const int sx = x * width / scaledW;
            const auto it =
                palette.find(std::string(row + sx * cpp, static_cast<std::size_t>(cpp)));
            const std::uint32_t argb = it == palette.end() ? 0 : it->second;
            pixels[y * scaledW + x] = argb;
            if ((argb >> 24) == 0) maskBits[y * maskStride + x / 8] |= 0x80 >> (x % 8);
        }
    }
    HBITMAP mask = CreateBitmap(scaledW, scaledH, 1, 1, maskBits.data());
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = colour;
    info.hbmMask = mask;
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(colour);
    DeleteObject(mask);
    return icon;
}

}  // namespace corvane::win
