#pragma once

namespace quintarvel {

// A colour for text: calibrated RGBA components, or the toolkit's own control text colour,
// which follows the desktop theme and so has no fixed components.
struct Color {
    double red = 0, green = 0, blue = 0, alpha = 1;
    bool isControlText = false;

    static Color calibrated(double red, double green, double blue, double alpha) {
        return Color{red, green, blue, alpha, false};
    }
    static Color controlText() { return Color{0, 0, 0, 1, true}; }

    friend bool operator==(const Color &, const Color &) = default;
};

} // namespace quintarvel
