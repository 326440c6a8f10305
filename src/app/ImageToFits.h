#pragma once

#include <string>

namespace quintarvel {

// Writes the image at `imagePath` as a single-plane unsigned 16-bit FITS file at `fitsPath`
// (BITPIX 16 with BZERO 32768, so every value 0..65535 survives), FITS row 1 being the
// picture's top row. Per pixel: 8-bit grey as is; 16-bit grey as is; 24- and 32-bit colour as
// the plain sum of the first three bytes (0..765); 48-bit colour as the mean of its three
// samples. Paths ending in ".nef" or ".cr2" (exactly those letters) are opened as camera raw
// files, every other path is decoded from its bytes by every registered representation class
// and the built-in decoders.
//
// A FITS file, whatever its name, is recognised by its first card ("SIMPLE  =" with the
// logical value T) and copied to `fitsPath`
// unchanged, streamed through a small buffer, so that the engine reads exactly the image given.
//
// True once the file has been written completely. False, with nothing written, when the image
// cannot be decoded, has another pixel layout, is larger than width × height × 2 < 2^31
// allows, or when the output path holds a NUL. False too when the file cannot be created or
// written whole, or a copied file changed size meanwhile; an existing file at the output path
// is replaced, and a partly written one is removed.
// Stateless; may run on any thread, several at once for different output paths. The
// application runs it in the converter program, through `ImageConverter`, never in its own
// process: the decoders meet untrusted files.
bool convertImageToFITS(const std::string &imagePath, const std::string &fitsPath);

} // namespace quintarvel
