#include "http/SocketError.h"

#include "http/Errno.h"

namespace quintarvel {

namespace {

// Prints like the case with its payload: recvFailed("Connection reset by peer").
std::string describe(SocketError::Case kind, const std::string &text) {
    return std::string(SocketError::caseName(kind)) + "(\"" + text + "\")";
}

} // namespace

SocketError::SocketError(Case kind, std::string text)
    : std::runtime_error(describe(kind, text)), kind_(kind), text_(std::move(text)) {}

SocketError::SocketError(Case kind) : std::runtime_error(caseName(kind)), kind_(kind) {}

SocketError SocketError::fromErrno(Case kind) {
    return SocketError(kind, Errno::currentMessage());
}

const char *SocketError::caseName(Case kind) {
    switch (kind) {
    case Case::socketCreationFailed:
        return "socketCreationFailed";
    case Case::socketSettingReUseAddrFailed:
        return "socketSettingReUseAddrFailed";
    case Case::bindFailed:
        return "bindFailed";
    case Case::listenFailed:
        return "listenFailed";
    case Case::writeFailed:
        return "writeFailed";
    case Case::getPeerNameFailed:
        return "getPeerNameFailed";
    case Case::getNameInfoFailed:
        return "getNameInfoFailed";
    case Case::acceptFailed:
        return "acceptFailed";
    case Case::recvFailed:
        return "recvFailed";
    case Case::getSockNameFailed:
        return "getSockNameFailed";
    case Case::convertingPeerNameFailed:
        return "convertingPeerNameFailed";
    }
    return "unknown";
}

} // namespace quintarvel
