#include "http/WebSocketSession.h"

#include "support/SocketPair.h"
#include "support/WebSocketTestClient.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using test::clientFrame;
using test::clientFrameHead;
using test::ServerFrame;
using test::SocketPair;
using Bytes = WebSocketSession::Bytes;
using namespace std::string_literals;

constexpr std::uint8_t fin = 0x80;
constexpr std::uint8_t opContinue = 0, opText = 1, opBinary = 2, opClose = 8, opPing = 9,
                       opPong = 10;

struct Outcome {
    std::vector<std::string> events;
    std::string printed;
    std::vector<ServerFrame> frames;
};

struct Options {
    bool text = true;
    std::size_t maxMessageLength = WebSocketSession::defaultMaxMessageLength;
};

// Runs a session on this thread over a socket pair whose client has sent `clientBytes` and then
// ended its writing; returns the callbacks seen, the lines printed and the frames the client got.
Outcome runSession(const std::string &clientBytes, Options options = {}) {
    SocketPair pair;
    pair.send(clientBytes);
    pair.shutdownClientWrite();
    Outcome outcome;
    auto &events = outcome.events;
    WebSocketSession::Callbacks callbacks;
    if (options.text)
        callbacks.text = [&](const auto &, const std::string &t) { events.push_back("text:" + t); };
    callbacks.binary = [&](const auto &, const Bytes &b) {
        events.push_back("binary:" + std::string(b.begin(), b.end()));
    };
    callbacks.pong = [&](const auto &, const Bytes &b) {
        events.push_back("pong:" + std::string(b.begin(), b.end()));
    };
    callbacks.connected = [&](const std::shared_ptr<WebSocketSession> &session) {
        session->maxMessageLength = options.maxMessageLength;
        events.push_back("connected");
    };
    callbacks.disconnected = [&](const auto &) { events.push_back("disconnected"); };
    testing::internal::CaptureStdout();
    runWebSocketSession(std::make_shared<Socket>(pair.takeServer()), callbacks);
    outcome.printed = testing::internal::GetCapturedStdout();
    outcome.frames = test::parseServerFrames(pair.drainClient());
    return outcome;
}

// The run's close frame then the teardown's, both empty unless the run's carries a status.
void expectClosingFrames(const std::vector<ServerFrame> &frames, const std::string &status = "") {
    ASSERT_GE(frames.size(), 2u);
    const ServerFrame &run = frames[frames.size() - 2];
    const ServerFrame &teardown = frames.back();
    EXPECT_EQ(run.firstByte, 0x88);
    EXPECT_EQ(run.payload, status);
    EXPECT_EQ(teardown.firstByte, 0x88);
    EXPECT_EQ(teardown.payload, "");
}

TEST(WebSocketSession, DeliversMessagesWholeAndAnswersPings) {
    const std::string ping125(125, 'p');
    const std::string bytes =
        clientFrame(fin | opText, "hello") + clientFrame(fin | opBinary, std::string("\0\xFF", 2)) +
        clientFrame(fin | opPing, ping125) + clientFrame(fin | opPong, "beat") +
        // A text in three fragments with a ping between them.
        clientFrame(opText, "Wo") + clientFrame(fin | opPing, "mid") +
        clientFrame(opContinue, "rl") + clientFrame(fin | opContinue, "d") +
        clientFrame(opBinary, "ab") + clientFrame(fin | opContinue, "c") +
        // A zero byte is a character like any other.
        clientFrame(fin | opText, std::string("ab\0cd", 5)) +
        clientFrame(fin | opClose, "\x03\xE8");
    const Outcome outcome = runSession(bytes);
    EXPECT_EQ(outcome.events,
              (std::vector<std::string>{"connected", "text:hello", std::string("binary:\0\xFF", 9),
                                        "pong:beat", "text:World", "binary:abc",
                                        std::string("text:ab\0cd", 10), "disconnected"}));
    EXPECT_EQ(outcome.printed, "");
    ASSERT_EQ(outcome.frames.size(), 4u);
    EXPECT_EQ(outcome.frames[0].firstByte, 0x8A);
    EXPECT_FALSE(outcome.frames[0].masked);
    EXPECT_EQ(outcome.frames[0].payload, ping125);
    EXPECT_EQ(outcome.frames[1].firstByte, 0x8A);
    EXPECT_EQ(outcome.frames[1].payload, "mid");
    expectClosingFrames(outcome.frames);
}

TEST(WebSocketSession, ReadsEachLengthFieldAtItsBigEndianWeight) {
    std::string bytes;
    std::vector<std::string> expected{"connected"};
    for (std::size_t length : {256u, 65536u, 65794u}) {
        std::string payload(length, '\0');
        for (std::size_t i = 0; i < length; ++i)
            payload[i] = static_cast<char>('a' + i % 23);
        bytes += clientFrame(fin | opBinary, payload);
        expected.push_back("binary:" + payload);
    }
    expected.push_back("disconnected");
    // The helper chose the 2-byte field for 256 and the 8-byte one for 65794 = 0x10102.
    ASSERT_EQ(bytes.substr(1, 3), "\xFE\x01\x00"s);
    ASSERT_NE(bytes.find("\xFF\0\0\0\0\0\x01\x01\x02"s), std::string::npos);

    const Outcome outcome = runSession(bytes);
    EXPECT_EQ(outcome.events, expected);
    EXPECT_EQ(outcome.printed.rfind("Unkown error recvFailed(", 0), 0u) << outcome.printed;
}

TEST(WebSocketSession, EachProtocolBreachEndsTheSessionWithItsLine) {
    const std::string continuing = "Protocol error: protocolError(\"Continuing fragmented frame "
                                   "cannot have an operation code.\")\n";
    struct Case {
        std::string bytes;
        std::string printed;
    } cases[] = {
        {clientFrame(fin | 0x40 | opText, "x"),
         "Protocol error: protocolError(\"Reserved frame bit has not been negociated.\")\n"},
        {clientFrame(fin | 3, ""), "Unknown Op Code: unknownOpCode(\"3\")\n"},
        {clientFrame(fin | opText, "hi", false),
         "Unmasked frame: unMaskedFrame(\"A client must mask all frames that it sends to the "
         "server.\")\n"},
        {clientFrame(opPing, ""),
         "Protocol error: protocolError(\"Control frames must not be fragmented.\")\n"},
        {clientFrame(fin | opPing, std::string(126, 'p')),
         "Protocol error: protocolError(\"Payload gretter than 125 octets.\")\n"},
        {clientFrame(fin | opText, "\xC3\x28"), "Invalid UTF8 character: invalidUTF8(\"\")\n"},
        // Bytes after a zero byte are checked too.
        {clientFrame(fin | opText, std::string("ok\0\xFF", 4)),
         "Invalid UTF8 character: invalidUTF8(\"\")\n"},
        {clientFrame(opText, "\xE2\x82") + clientFrame(fin | opContinue, "x"),
         "Invalid UTF8 character: invalidUTF8(\"\")\n"},
        // Only continuation frames may follow a first fragment, empty or not.
        {clientFrame(opText, "ab") + clientFrame(fin | opText, "cd"), continuing},
        {clientFrame(opText, "") + clientFrame(fin | opText, "cd"), continuing},
        {clientFrame(opText, "ab") + clientFrame(opBinary, "cd"), continuing},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.printed);
        const Outcome outcome = runSession(c.bytes);
        EXPECT_EQ(outcome.printed, c.printed);
        EXPECT_EQ(outcome.events, (std::vector<std::string>{"connected", "disconnected"}));
        EXPECT_EQ(outcome.frames.size(), 2u);
        expectClosingFrames(outcome.frames);
    }
}

TEST(WebSocketSession, OversizedFrameOrMessageClosesWith1009WithoutReadingIt) {
    const std::string status1009 = "\x03\xF1";
    // Announced lengths are refused before any payload is read or stored.
    for (std::uint64_t length : {std::uint64_t{0x7FFFFFFFFFFFFFFF}, ~std::uint64_t{0},
                                 std::uint64_t{WebSocketSession::defaultMaxMessageLength + 1}}) {
        const Outcome outcome = runSession(clientFrameHead(fin | opBinary, length));
        EXPECT_EQ(outcome.printed, "Message too big: messageTooBig(\"A message of " +
                                       std::to_string(length) +
                                       " bytes exceeds the limit of 16777216 bytes.\")\n");
        EXPECT_EQ(outcome.events, (std::vector<std::string>{"connected", "disconnected"}));
        expectClosingFrames(outcome.frames, status1009);
    }
    Options small;
    small.maxMessageLength = 10;
    Outcome fits =
        runSession(clientFrame(opText, "12345") + clientFrame(fin | opContinue, "67890") +
                       clientFrame(fin | opClose, ""),
                   small);
    EXPECT_EQ(fits.events,
              (std::vector<std::string>{"connected", "text:1234567890", "disconnected"}));
    Outcome tooLong = runSession(
        clientFrame(opBinary, "123456") + clientFrame(fin | opContinue, "789012"), small);
    EXPECT_EQ(tooLong.printed, "Message too big: messageTooBig(\"A message of 12 bytes exceeds "
                               "the limit of 10 bytes.\")\n");
    expectClosingFrames(tooLong.frames, status1009);
}

TEST(WebSocketSession, ContinuationWithNothingPendingClosesTheSocketAtOnce) {
    // Not a protocol-error line: the session ends as on a close, but its socket is already
    // shut, so no closing frame reaches the client. Without a text callback text frames are
    // ignored, so a fragmented text has nothing pending when its continuation comes.
    Options noText;
    noText.text = false;
    for (const auto &[bytes, options, events] :
         {std::tuple{clientFrame(fin | opContinue, "x"), Options{},
                     std::vector<std::string>{"connected", "disconnected"}},
          std::tuple{clientFrame(fin | opText, "ignored") + clientFrame(fin | opBinary, "kept") +
                         clientFrame(opText, "a") + clientFrame(fin | opContinue, "b"),
                     noText,
                     std::vector<std::string>{"connected", "binary:kept", "disconnected"}}}) {
        const Outcome outcome = runSession(bytes, options);
        EXPECT_EQ(outcome.printed, "");
        EXPECT_EQ(outcome.events, events);
        EXPECT_TRUE(outcome.frames.empty());
    }
}

TEST(WebSocketSession, SendersFrameTheirPayloadAndPrintFailedWrites) {
    SocketPair pair;
    auto session = std::make_shared<WebSocketSession>(std::make_shared<Socket>(pair.takeServer()));
    const std::string big(70000, 'b');
    session->sendText("h\xC3\xA9llo");
    session->sendBinary(Bytes(300, 'm')); // the 2-byte length field
    session->sendBinary(std::span(reinterpret_cast<const std::uint8_t *>(big.data()), big.size()));
    session->sendFrame(Bytes{'x'}, WebSocketSession::OpCode::text, false);
    session->sendCloseFrame();
    const auto frames = test::parseServerFrames(pair.drainClient());
    ASSERT_EQ(frames.size(), 5u);
    const std::vector<std::pair<int, std::string>> expected{{0x81, "h\xC3\xA9llo"},
                                                            {0x82, std::string(300, 'm')},
                                                            {0x82, big},
                                                            {0x01, "x"},
                                                            {0x88, ""}};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].firstByte, expected[i].first) << i;
        EXPECT_FALSE(frames[i].masked);
        EXPECT_EQ(frames[i].payload, expected[i].second) << i;
    }

    pair.closeClient();
    testing::internal::CaptureStdout();
    session->sendText("nobody listens");
    session.reset(); // the teardown's close frame fails the same way
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "writeFailed(\"Broken pipe\")\nwriteFailed(\"Broken pipe\")\n");
}

TEST(WebSocketSession, KeptSessionNeverWritesToADescriptorGivenToAnotherConnection) {
    std::shared_ptr<WebSocketSession> kept;
    SocketPair first;
    first.send(clientFrame(fin | opClose, ""));
    auto socket = std::make_shared<Socket>(first.takeServer());
    const int descriptor = socket->socketFileDescriptor();
    runWebSocketSession(socket, {.disconnected = [&](const auto &session) { kept = session; }});
    socket->close(); // as the server does once the run returns
    const auto frames = test::parseServerFrames(first.drainClient());
    ASSERT_EQ(frames.size(), 1u); // the run's close frame; the teardown has not come yet
    EXPECT_EQ(frames[0].firstByte, 0x88);

    SocketPair second; // takes the lowest free descriptor, the one just closed
    ASSERT_EQ(kept->socket->socketFileDescriptor(), descriptor);
    testing::internal::CaptureStdout();
    kept->sendText("late");
    kept.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(second.drainClient(), "");
    // The new connection's descriptor is still open and usable.
    second.send("still here");
}

} // namespace
} // namespace quintarvel
