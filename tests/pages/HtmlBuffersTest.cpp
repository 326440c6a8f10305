#include "pages/HtmlBuffers.h"

#include "http/ServerProcess.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace quintarvel {
namespace {

TEST(HtmlBuffers, EntriesBelongToTheirThreadAndGoWithIt) {
    htmlBuffers().reset();
    htmlBuffers().entry() = "mine";
    const std::size_t before = htmlBuffers().size();
    std::uint64_t ended = 0;
    std::promise<void> written, resetDone;
    std::thread other([&] {
        ended = ServerProcess::threadId();
        EXPECT_EQ(htmlBuffers().text(), "");
        EXPECT_FALSE(htmlBuffers().hasEntry(ended)); // reading creates no entry
        htmlBuffers().entry() = std::string(1 << 20, 'x');
        EXPECT_EQ(htmlBuffers().size(), before + 1);
        written.set_value();
        resetDone.get_future().wait();
        EXPECT_EQ(htmlBuffers().text().size(), 1u << 20);
    });
    written.get_future().wait();
    htmlBuffers().reset();
    EXPECT_EQ(htmlBuffers().text(), "");
    resetDone.set_value();
    other.join();
    EXPECT_FALSE(htmlBuffers().hasEntry(ended));
    EXPECT_EQ(htmlBuffers().size(), before);
}

} // namespace
} // namespace quintarvel
