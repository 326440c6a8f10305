#include "http/HttpRequest.h"

#include "http/HttpParser.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace quintarvel {
namespace {

// Runs curl with the given form arguments against a loopback listener and returns the request
// it sent, as the server's parser reads it. Proxy settings are ignored so nothing leaves
// loopback; the listener closes once curl has ended, so a curl that never connects cannot hang
// the test.
HttpRequest postFormWithCurl(const std::vector<std::string> &formArguments) {
    const auto listener = Socket::openListener(0, true, 1, "127.0.0.1");
    auto received = std::async(std::launch::async, [&] {
        const auto client = listener->acceptClient();
        const auto request = HttpParser().readRequest(*client);
        client->writeString("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return *request;
    });
    std::vector<std::string> arguments = {"curl",      "-q",      "--silent",   "--show-error",
                                          "--noproxy", "*",       "-o",         "/dev/null",
                                          "-H",        "Expect:", "--max-time", "60"};
    arguments.insert(arguments.end(), formArguments.begin(), formArguments.end());
    arguments.push_back("http://127.0.0.1:" + std::to_string(listener->localPort()) + "/upload");
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t curl = 0;
    if (::posix_spawnp(&curl, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        listener->close();
        ADD_FAILURE() << "cannot start curl";
        return {};
    }
    int status = 0;
    ::waitpid(curl, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "curl status " << status;
    listener->close();
    return received.get();
}

TEST(MultipartPartsFromCurl, TextFieldAndBinaryFile) {
    // A file full of what a delimiter could be confused with: CR LF, runs of dashes like the
    // ones curl puts in its boundaries, a blank line, and 2 MiB of every byte value (so the
    // body arrives in many reads).
    std::string content = "SIMPLE  =                    T\r\n--\r\n\r\n";
    content.append(std::string(40, '-')).append("\r\n");
    content.append("\r\n--------------------------0123456789abcdef\r\n");
    for (int i = 0; i < (2 << 20); ++i)
        content.push_back(static_cast<char>((i * 7) % 256));
    content.append("\r\n--\r\n");
    test::TempDir folder;
    const auto file = folder / "m31 stack.fits";
    test::writeFile(file, content);

    const HttpRequest request =
        postFormWithCurl({"-F", "note=plain value", "-F",
                          "image=@" + file.string() + ";type=application/octet-stream"});
    EXPECT_TRUE(request.headers.at("content-type").starts_with("multipart/form-data; boundary="));
    const auto parts = request.multipartParts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].dispositionName(), "note");
    EXPECT_EQ(parts[0].dispositionFilename(), std::nullopt);
    EXPECT_EQ(std::string(parts[0].body.begin(), parts[0].body.end()), "plain value");
    EXPECT_EQ(parts[1].dispositionName(), "image");
    EXPECT_EQ(parts[1].dispositionFilename(), "m31 stack.fits");
    EXPECT_EQ(parts[1].headers.at("content-type"), "application/octet-stream");
    EXPECT_TRUE(std::ranges::equal(parts[1].body, content, {}, {},
                                   [](char c) { return static_cast<std::uint8_t>(c); }));
}

} // namespace
} // namespace quintarvel
