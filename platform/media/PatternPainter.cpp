#include "platform/media/PatternPainter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

struct Glyph {
    char c;
    std::uint8_t rows[PatternPainter::kGlyphHeight]; // bit 4 is the leftmost unit
};

constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    // The capitals of the camera labels.
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
};

struct Yuv {
    std::uint8_t y, u, v;
};

Yuv toYuv(Rgb c) {
    auto clamp = [](double v) { return static_cast<std::uint8_t>(std::clamp(v + 0.5, 0.0, 255.0)); };
    return {clamp(16 + 0.257 * c.r + 0.504 * c.g + 0.098 * c.b), clamp(128 - 0.148 * c.r - 0.291 * c.g + 0.439 * c.b),
            clamp(128 + 0.439 * c.r - 0.368 * c.g - 0.071 * c.b)};
}

} // namespace

bool PatternPainter::glyphBit(char c, int row, int column) {
    if (row < 0 || row >= kGlyphHeight || column < 0 || column >= kGlyphWidth) return false;
    for (const auto& glyph : kFont)
        if (glyph.c == c) return (glyph.rows[row] >> (kGlyphWidth - 1 - column)) & 1;
    return false;
}

void PatternPainter::fillRect(int x, int y, int width, int height, Rgb color) {
    int x0 = std::max(x, 0), y0 = std::max(y, 0);
    int x1 = std::min(x + width, mBuffer.width()), y1 = std::min(y + height, mBuffer.height());
    if (x0 >= x1 || y0 >= y1) return;
    if (mBuffer.format() == PixelFormat::BGRA) {
        std::uint8_t pixel[4] = {color.b, color.g, color.r, 0xFF};
        for (int row = y0; row < y1; ++row) {
            std::uint8_t* p = mBuffer.planeData(0) + row * mBuffer.bytesPerRow(0) + x0 * 4;
            for (int col = x0; col < x1; ++col, p += 4) std::memcpy(p, pixel, 4);
        }
        return;
    }
    Yuv yuv = toYuv(color);
    for (int row = y0; row < y1; ++row)
        std::memset(mBuffer.planeData(0) + row * mBuffer.bytesPerRow(0) + x0, yuv.y, static_cast<std::size_t>(x1 - x0));
    // Chroma covers 2×2 pixels; a pair half inside the rectangle takes its colour.
    for (int row = y0 / 2; row < (y1 + 1) / 2; ++row) {
        std::uint8_t* p = mBuffer.planeData(1) + row * mBuffer.bytesPerRow(1) + (x0 / 2) * 2;
        for (int col = x0 / 2; col < (x1 + 1) / 2; ++col, p += 2) {
            p[0] = yuv.u;
            p[1] = yuv.v;
        }
    }
}

void PatternPainter::drawText(std::string_view text, int x, int y, int scale, Rgb color) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        int left = x + static_cast<int>(i) * kGlyphPitch * scale;
        for (int row = 0; row < kGlyphHeight; ++row) {
            // Runs of lit units in a row become one rectangle.
            for (int col = 0; col < kGlyphWidth;) {
                if (!glyphBit(text[i], row, col)) {
                    ++col;
                    continue;
                }
                int end = col;
                while (end < kGlyphWidth && glyphBit(text[i], row, end)) ++end;
                fillRect(left + col * scale, y + row * scale, (end - col) * scale, scale, color);
                col = end;
            }
        }
    }
}

void PatternPainter::copyPixels(const PixelBuffer& from, PixelBuffer& to) {
    for (int plane = 0; plane < from.planeCount(); ++plane) {
        std::size_t bytes = from.bytesPerRow(plane) * static_cast<std::size_t>(from.planeHeight(plane));
        std::memcpy(to.planeData(plane), from.planeData(plane), bytes);
    }
}

std::string formatClock(double seconds) {
    auto ms = static_cast<long long>(std::llround(std::max(seconds, 0.0) * 1000.0));
    char text[32];
    std::snprintf(text, sizeof(text), "%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  ms % 1000);
    return text;
}

} // namespace platform
