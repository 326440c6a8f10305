#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace quintarvel {

// An open standard I/O stream, shared through std::shared_ptr<File>. A File does not own its
// stream: dropping the last reference leaves the stream open. Whoever holds it last closes it
// once, by close() or by fclose(pointer); no operation may be called after that. One thread
// at a time uses a File.
class File {
  public:
    // The stream must not be null.
    explicit File(std::FILE *stream);
    virtual ~File() = default;
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // The result of fclose: 0, or EOF on failure. Never throws.
    virtual int close();
    // fseek from the start of the file; true when it succeeded. Never throws.
    virtual bool seek(std::int64_t offset);
    // One fread of buffer.size() bytes into the buffer, whose size stays as it is. Returns the
    // count read; a short count at the end of the file is no error (the bytes beyond it keep
    // their values). Throws FileError(errno), or FileError(0) when a short read has neither
    // end of file nor the stream's error indicator.
    virtual std::size_t read(std::vector<std::uint8_t> &buffer);
    // One fwrite of all bytes; throws FileError(errno) when fewer were written.
    virtual void write(const std::vector<std::uint8_t> &bytes);

    std::FILE *const pointer;
};

} // namespace quintarvel
