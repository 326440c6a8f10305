#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quintarvel {

// Immutable bytes, shared rather than copied: a decoded bitmap may point straight into them
// and keep them alive by holding a copy of this value.
class ImageData {
  public:
    ImageData() = default;

    // A copy of `size` bytes at `bytes`.
    static ImageData copyOf(const void *bytes, std::size_t size);
    static ImageData copyOf(const std::string &bytes) { return copyOf(bytes.data(), bytes.size()); }
    // The whole content of a regular file; nothing when it cannot be opened or read, is not a
    // regular file (a FIFO or a device would block or never end), or does not fit in memory.
    static std::optional<ImageData> contentsOfFile(const std::string &path);

    const std::uint8_t *bytes() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

  private:
    ImageData(std::shared_ptr<const std::uint8_t[]> bytes, std::size_t size)
        : bytes_(std::move(bytes)), size_(size) {}

    std::shared_ptr<const std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

} // namespace quintarvel
