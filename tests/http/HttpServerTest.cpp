#include "http/HttpServer.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

HttpHandler tag(std::int64_t code) {
    return [code](std::shared_ptr<HttpRequest>) { return HttpResponse::raw(code, "tag"); };
}

// The status the chosen handler answers, and the parameters chosen with it.
std::pair<std::int64_t, HttpRouteParams> chosen(HttpServer &server, const std::string &method,
                                                const std::string &path) {
    auto request = std::make_shared<HttpRequest>();
    request->method = method;
    request->path = path;
    auto [params, handler] = server.selectHandler(request);
    return {handler(request).statusCode(), params};
}

TEST(HttpServer, TwinPropertiesShareOneRouteAndReadingGivesNothing) {
    auto server = std::make_shared<HttpServer>();
    server->get["/a"] = tag(201);
    server->GET["/a"] = tag(202);
    server->delete_["/a"] = tag(203);
    EXPECT_EQ(chosen(*server, "GET", "/a").first, 202);
    EXPECT_EQ(chosen(*server, "DELETE", "/a").first, 203);
    EXPECT_EQ(server->registeredRoutes().size(), 2u); // once per method
    EXPECT_FALSE(HttpHandler(server->GET["/a"]));
    EXPECT_FALSE(HttpHandler((*server)["/a"]));
}

TEST(HttpServer, MiddlewareInOrderThenRoutesThenTheNotFoundHandler) {
    auto server = std::make_shared<HttpServer>();
    server->GET["/users/:id"] = tag(200);
    server->notFoundHandler = tag(410);
    int calls = 0;
    server->middleware.push_back([&](std::shared_ptr<HttpRequest>) {
        ++calls;
        return std::optional<HttpResponse>();
    });
    EXPECT_EQ(chosen(*server, "GET", "/users/1"),
              (std::pair<std::int64_t, HttpRouteParams>{200, {{":id", "1"}}}));
    EXPECT_EQ(chosen(*server, "GET", "/users/1/more"),
              (std::pair<std::int64_t, HttpRouteParams>{410, {}}));
    server->middleware.push_back(
        [](std::shared_ptr<HttpRequest>) { return std::optional(HttpResponse::accepted()); });
    server->middleware.push_back([&](std::shared_ptr<HttpRequest>) -> std::optional<HttpResponse> {
        ADD_FAILURE() << "middleware after an answer ran";
        return std::nullopt;
    });
    EXPECT_EQ(chosen(*server, "GET", "/users/1"),
              (std::pair<std::int64_t, HttpRouteParams>{202, {}}));
    EXPECT_EQ(calls, 3);
}

} // namespace
} // namespace quintarvel
