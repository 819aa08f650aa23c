#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "ZQLiveKit/PixelBuffer.h"

namespace platform {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
};

// Draws flat rectangles and 5×7 block digits into a BGRA or NV12 picture (NV12 in BT.601
// limited range, the matrix the encoder converts with). Everything is clipped to the picture.
class PatternPainter {
public:
    static constexpr int kGlyphWidth = 5;
    static constexpr int kGlyphHeight = 7;
    static constexpr int kGlyphPitch = 6; // glyph plus one unit of space

    explicit PatternPainter(PixelBuffer& buffer) : mBuffer(buffer) {}

    void fillRect(int x, int y, int width, int height, Rgb color);
    // Digits, ':', '.', '#', the capitals of "FRONT" and "BACK", and blanks; other characters draw
    // as blanks. Each font unit is
    // scale × scale pixels.
    void drawText(std::string_view text, int x, int y, int scale, Rgb color);

    static int textWidth(std::string_view text, int scale) {
        return text.empty() ? 0 : (static_cast<int>(text.size()) * kGlyphPitch - 1) * scale;
    }
    // Whether the font lights unit (row, column) of character c.
    static bool glyphBit(char c, int row, int column);
    // Copies all pixels of a picture of the same geometry.
    static void copyPixels(const PixelBuffer& from, PixelBuffer& to);

private:
    PixelBuffer& mBuffer;
};

// "HH:MM:SS.mmm" for a time in seconds (rounded to the millisecond; hours go past 99 if need be).
std::string formatClock(double seconds);

} // namespace platform
