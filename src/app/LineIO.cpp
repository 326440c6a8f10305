#include "app/LineIO.h"

#include "platform/Utf8.h"

namespace quintarvel {
namespace {

std::optional<std::string> decoded(std::string &&bytes) {
    if (!isValidUtf8(bytes))
        return std::nullopt;
    return std::move(bytes);
}

} // namespace

const std::string &newlineData() {
    static const std::string data = "\n";
    return data;
}

std::optional<std::string> readLine(FileHandle &handle) {
    std::string buffer;
    for (;;) {
        auto byte = handle.readDataOfLength(1);
        if (byte.empty()) {
            if (buffer.empty())
                return std::nullopt;
            return decoded(std::move(buffer));
        }
        if (byte[0] == 0x0A)
            return decoded(std::move(buffer));
        buffer.push_back(static_cast<char>(byte[0]));
    }
}

void writeLine(FileHandle &handle, std::string_view text) {
    if (!text.empty())
        handle.writeData(text);
    handle.writeData(newlineData());
    handle.synchronizeFile();
}

} // namespace quintarvel
