#include "support/HostileImage.h"

#include "support/ImageFiles.h"

#include <tiffio.h>

namespace quintarvel::test {

std::vector<std::filesystem::path>
writeTinyFilesDeclaringHugePictures(const std::filesystem::path &folder) {
    const std::vector<std::filesystem::path> paths = {folder / "lerc.tif", folder / "webp.tif",
                                                      folder / "arithmetic-first-strip.tif",
                                                      folder / "lossy-tiles.dng"};
    writeBlankTiff(paths[0], 16000, 16000, COMPRESSION_LERC);
    writeBlankTiff(paths[1], 16000, 16000, COMPRESSION_WEBP);
    JpegSpec block;
    block.width = block.height = 8;
    block.components = 1;
    block.samples.assign(64, 0);
    JpegSpec arithmeticBlock = block;
    arithmeticBlock.arithmetic = true;
    writeJpegStripTiff(paths[2], 12000, 12000, 1000,
                       {jpegBytes(arithmeticBlock), jpegBytes(block)});
    block.components = 3;
    block.samples.assign(3 * 64, 0);
    writeLossyDng(paths[3], 15360, 15360, 5120, jpegBytes(block));
    return paths;
}

} // namespace quintarvel::test
