#pragma once

#include <string>
#include <string_view>

namespace quintarvel::test {

// A file that once made a decoder invent pixels, reserve gigabytes or crash; its bytes as hex.
struct HostileImage {
    const char *name;
    const char *hex;

    std::string bytes() const {
        auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
        std::string out;
        for (std::string_view h = hex; h.size() >= 2; h.remove_prefix(2))
            out.push_back(static_cast<char>(nibble(h[0]) << 4 | nibble(h[1])));
        return out;
    }
};

// 167 bytes of progressive JPEG declaring 64256 × 12585 pixels: a scan stops early, then an
// end-of-image marker.
inline constexpr HostileImage shortScanJpeg{
    "short-scan.jpg",
    "ffd8ffe000102f4a4749460001011010101010101010db5bdbdb010000ffdb00430003020202cf4828003063"
    "0000ff09dbdbdb1010101010101010103a2f2fffc20011dbdbdbdbdbdbdbdbdbdbdbdbdbdbff09dbdbdb1010"
    "101010101010103a2f2fffc20011083129fb0003011100021101031101ffffc4001610000300000000000000"
    "00000000000000006191ffda000801010001010000000000003a2f2f543f10559fffd9"};

// 202 bytes of TIFF whose one Deflate tile decodes to less than a tile.
inline constexpr HostileImage shortTileTiff{
    "short-tile.tif",
    "49492a0028000000789ce33608ad9acf8000479af2194720f16b171d7f23c8307c010045a006d3000d000001"
    "030001000000050000000101030001000000030000000201030001000000080000000301030001000000080000"
    "000601030001000000000000001201030001000000010000001501030001000000010000001c0103000100000001"
    "0000004201030001000000100000004301030001000000100000004401040001000000080000004501040001"
    "0000001f00000053010300010000000100000000000000"};

// 48 bytes of TIFF declaring uncompressed pixels of gigabytes.
inline constexpr HostileImage declaredHugeTiff{
    "declared-huge.tif",
    "49492a000a00000000010300000103000100000008750000010103000100000089504e00110104000100000001"
    "030103"};

// 64 bytes on which LibRaw 0.20 crashes in its TIFF directory parser, named as a camera raw file.
inline constexpr HostileImage crashingNef{
    "crashing.nef",
    "4949000024000000060000240000000024000000240000000024000000068d000000020002008e8201002400"
    "0000002400240000062400000000240024000006"};

} // namespace quintarvel::test
