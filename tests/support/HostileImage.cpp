#include "support/HostileImage.h"

#include "support/ImageFiles.h"

#include <tiffio.h>

namespace quintarvel::test {

std::vector<std::filesystem::path>
writeTinyFilesDeclaringHugePictures(const std::filesystem::path &folder) {
    const std::vector<std::filesystem::path> paths = {folder / "lerc.tif", folder / "webp.tif",
                                                      folder / "lossy-tiles.dng"};
    writeBlankTiff(paths[0], 16000, 16000, COMPRESSION_LERC);
    writeBlankTiff(paths[1], 16000, 16000, COMPRESSION_WEBP);
    JpegSpec block;
    block.width = block.height = 8;
    block.samples.assign(3 * 64, 0);
    writeLossyDng(paths[2], 15360, 15360, 5120, jpegBytes(block));
    return paths;
}

} // namespace quintarvel::test
