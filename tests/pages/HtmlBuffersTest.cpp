#include "pages/HtmlBuffers.h"

#include "http/ServerProcess.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace quintarvel {
namespace {

TEST(HtmlBuffers, MissingEntryReadsEmptyWithoutBeingCreated) {
    std::thread([] {
        const std::uint64_t me = ServerProcess::threadId();
        EXPECT_EQ(htmlBuffers().text(), "");
        EXPECT_FALSE(htmlBuffers().hasEntry(me));
        htmlBuffers().entry() += "page";
        EXPECT_TRUE(htmlBuffers().hasEntry(me));
        EXPECT_EQ(htmlBuffers().text(), "page");
    }).join();
}

TEST(HtmlBuffers, ResetEmptiesOnlyTheCallingThreadsEntry) {
    htmlBuffers().reset();
    htmlBuffers().entry() = "mine";
    std::promise<void> written, resetDone;
    std::thread other([&] {
        htmlBuffers().entry() = "theirs";
        written.set_value();
        resetDone.get_future().wait();
        EXPECT_EQ(htmlBuffers().text(), "theirs");
    });
    written.get_future().wait();
    htmlBuffers().reset();
    EXPECT_EQ(htmlBuffers().text(), "");
    EXPECT_TRUE(htmlBuffers().hasEntry(ServerProcess::threadId()));
    resetDone.set_value();
    other.join();
}

TEST(HtmlBuffers, EndingThreadLeavesNoEntry) {
    const std::size_t before = htmlBuffers().size();
    std::uint64_t ended = 0;
    std::thread([&] {
        ended = ServerProcess::threadId();
        htmlBuffers().entry() = std::string(1 << 20, 'x');
        EXPECT_EQ(htmlBuffers().size(), before + 1);
    }).join();
    EXPECT_FALSE(htmlBuffers().hasEntry(ended));
    EXPECT_EQ(htmlBuffers().size(), before);
}

} // namespace
} // namespace quintarvel
