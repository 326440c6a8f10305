#pragma once

#include <stdexcept>
#include <string>

namespace quintarvel {

// The failure of a socket operation: its case is named after the failed call and its text is
// the system's message for errno, taken right after that call.
class SocketError : public std::runtime_error {
  public:
    enum class Case {
        socketCreationFailed,
        socketSettingReUseAddrFailed,
        bindFailed,
        listenFailed,
        writeFailed,
        getPeerNameFailed,
        getNameInfoFailed,
        acceptFailed,
        recvFailed,
        getSockNameFailed,
        convertingPeerNameFailed, // carries no text; nothing raises it
    };

    SocketError(Case kind, std::string text);
    explicit SocketError(Case kind);

    // An error of the given case whose text is Errno::currentMessage().
    static SocketError fromErrno(Case kind);

    Case kind() const noexcept { return kind_; }
    const std::string &text() const noexcept { return text_; }

    // "recvFailed", "bindFailed", ...
    static const char *caseName(Case kind);

  private:
    Case kind_;
    std::string text_;
};

} // namespace quintarvel
