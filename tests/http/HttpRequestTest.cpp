#include "http/HttpRequest.h"

#include <gtest/gtest.h>

using quintarvel::HttpRequest;

TEST(HttpRequest, StartsEmptyWithAPresentEmptyAddress) {
    const HttpRequest request;
    EXPECT_TRUE(request.path.empty() && request.method.empty() && request.body.empty());
    EXPECT_TRUE(request.queryParams.empty() && request.headers.empty() && request.params.empty());
    EXPECT_EQ(request.address, std::optional<std::string>(""));
}

TEST(HttpRequest, HeaderContainsTokenComparesTrimmedLowerCasePieces) {
    HttpRequest request;
    EXPECT_FALSE(request.headerContainsToken("upgrade", "websocket"));
    request.headers["upgrade"] = "\tWebSocket\u00A0";
    request.headers["connection"] = "keep-alive,,Upgrade ,";
    EXPECT_TRUE(request.headerContainsToken("upgrade", "websocket"));
    EXPECT_TRUE(request.headerContainsToken("connection", "upgrade"));
    EXPECT_TRUE(request.headerContainsToken("connection", ""));
    EXPECT_FALSE(request.headerContainsToken("connection", "keep"));
    EXPECT_FALSE(request.headerContainsToken("missing", "upgrade"));
}
