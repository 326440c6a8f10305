#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quintarvel::test {

// One catalogue star. Angles in degrees.
struct Star {
    double ra = 0, dec = 0, magnitude = 0;
};

// The Debian Tycho-2 index files, index-tycho2-NN.littleendian.fits for NN = 10…19.
std::filesystem::path tycho2IndexFile(int number);

// Every star of the given index files within `radius` degrees of (ra, dec), as
// `query-starkd -T` prints them (RA, Dec, magnitude); a star found in several files is kept
// once. `queryProgram` is the engine's query-starkd. Throws std::runtime_error when the
// program cannot be run.
std::vector<Star> catalogStars(double ra, double dec, double radius,
                               const std::vector<std::filesystem::path> &indexFiles,
                               const std::filesystem::path &queryProgram);

// What a generated field looks like: a gnomonic (TAN) projection of the sky around the
// centre, turned by `rotation`, which the engine reports back as the field's orientation
// (measured at the centre; near the equator the whole field shares it).
struct StarFieldOptions {
    double raCenter = 0, decCenter = 0; // degrees
    double pixelScale = 30;             // arcseconds per pixel
    double rotation = 0;                // degrees
    int width = 1000, height = 800;
    double starSigma = 1.3;           // Gaussian profile, pixels
    double background = 2560;         // 16-bit counts (10 in the 8-bit formats)
    double noise = 300;               // standard deviation of the background, 16-bit counts
    double peakAtMagnitude10 = 25000; // peak of a magnitude-10 star above the background
    unsigned seed = 1;
};

// A rendered star field: 16-bit grey pixels, row 0 at the top of the picture. Every writer
// keeps that orientation (FITS row 1 is the top row, as the image-to-FITS converter writes
// it), so each format solves to the same sky. Writers throw std::runtime_error on failure.
class StarField {
  public:
    StarField(const StarFieldOptions &options, const std::vector<Star> &stars);

    const StarFieldOptions &options() const { return options_; }
    int width() const { return options_.width; }
    int height() const { return options_.height; }
    const std::vector<std::uint16_t> &pixels() const { return pixels_; }
    int starsDrawn() const { return starsDrawn_; }

    // Unsigned 16-bit FITS (BITPIX 16 with BZERO 32768).
    void writeFITS(const std::filesystem::path &path) const;
    // 16-bit grey PNG.
    void writePNG(const std::filesystem::path &path) const;
    // 8-bit grey JPEG (the top 8 bits of each pixel).
    void writeJPEG(const std::filesystem::path &path, int quality = 95) const;
    // 16-bit grey TIFF.
    void writeTIFF(const std::filesystem::path &path) const;
    // 32-bit floating-point RGB TIFF as stacking programs write them: each pixel as a fraction
    // of 65535, a little warmer in red than in blue.
    void writeFloatTIFF(const std::filesystem::path &path) const;
    // The "RAW2" container: 16-bit grey, little-endian.
    void writeRAW2(const std::filesystem::path &path) const;

  private:
    StarFieldOptions options_;
    std::vector<std::uint16_t> pixels_;
    int starsDrawn_ = 0;
};

} // namespace quintarvel::test
