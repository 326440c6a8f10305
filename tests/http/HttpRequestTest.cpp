#include "http/HttpRequest.h"

#include <gtest/gtest.h>

using quintarvel::HttpRequest;

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
