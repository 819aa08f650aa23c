#pragma once
#include <charconv>
#include <cstdint>
#include <string>

namespace platform {

// A size in points or pixels (CGSize). Plain value.
struct Size {
    double width = 0;
    double height = 0;

    friend bool operator==(const Size&, const Size&) = default;

    // The size written as the platform writes one: "{360, 640}", "{337.5, 600}".
    std::string toString() const {
        return "{" + formatNumber(width) + ", " + formatNumber(height) + "}";
    }

    static std::string formatNumber(double value) {
        char text[32];
        auto result = std::to_chars(text, text + sizeof text, value);
        return std::string(text, result.ptr);
    }
};

// Interface orientations, with the platform's values (UIInterfaceOrientation).
enum InterfaceOrientation : std::int64_t {
    InterfaceOrientationUnknown = 0,
    InterfaceOrientationPortrait = 1,
    InterfaceOrientationPortraitUpsideDown = 2,
    InterfaceOrientationLandscapeRight = 3,
    InterfaceOrientationLandscapeLeft = 4,
};

} // namespace platform
