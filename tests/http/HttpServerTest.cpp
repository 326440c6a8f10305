#include "http/HttpServer.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

HttpHandler tag(std::int64_t code) {
    return [code](std::shared_ptr<HttpRequest>) { return HttpResponse::raw(code, "tag"); };
}

std::shared_ptr<HttpRequest> request(const std::string &method, const std::string &path) {
    auto r = std::make_shared<HttpRequest>();
    r->method = method;
    r->path = path;
    return r;
}

// The status the chosen handler answers, and the parameters chosen with it.
std::pair<std::int64_t, HttpRouteParams> chosen(HttpServer &server,
                                                const std::shared_ptr<HttpRequest> &r) {
    auto [params, handler] = server.selectHandler(r);
    return {handler(r).statusCode(), params};
}

TEST(HttpServer, NewServerAnswersNotFound) {
    auto server = std::make_shared<HttpServer>();
    EXPECT_EQ(chosen(*server, request("GET", "/")).first, 404);
    EXPECT_TRUE(server->registeredRoutes().empty());
    EXPECT_EQ(server->state(), HttpServerIO::HttpServerIOState::stopped);
}

TEST(HttpServer, MiddlewareComesFirstInOrder) {
    auto server = std::make_shared<HttpServer>();
    server->GET["/x"] = tag(200);
    int calls = 0;
    server->middleware.push_back([&](std::shared_ptr<HttpRequest>) {
        ++calls;
        return std::optional<HttpResponse>();
    });
    EXPECT_EQ(chosen(*server, request("GET", "/x")).first, 200);
    server->middleware.push_back(
        [](std::shared_ptr<HttpRequest>) { return std::optional(HttpResponse::accepted()); });
    server->middleware.push_back([&](std::shared_ptr<HttpRequest>) -> std::optional<HttpResponse> {
        ADD_FAILURE() << "middleware after an answer ran";
        return std::nullopt;
    });
    auto [code, params] = chosen(*server, request("GET", "/x"));
    EXPECT_EQ(code, 202);
    EXPECT_TRUE(params.empty());
    EXPECT_EQ(calls, 2);
}

TEST(HttpServer, NotFoundHandlerGetsWhatNoRouteAnswers) {
    auto server = std::make_shared<HttpServer>();
    server->GET["/users/:id"] = tag(200);
    server->notFoundHandler = tag(410);
    auto [code, params] = chosen(*server, request("GET", "/users/1/more"));
    EXPECT_EQ(code, 410);
    EXPECT_TRUE(params.empty());
    auto found = chosen(*server, request("GET", "/users/1"));
    EXPECT_EQ(found.first, 200);
    EXPECT_EQ(found.second.at(":id"), "1");
}

TEST(HttpServer, TwinPropertiesShareOneRouteAndReadingGivesNothing) {
    auto server = std::make_shared<HttpServer>();
    server->get["/a"] = tag(201);
    server->GET["/a"] = tag(202);
    server->delete_["/a"] = tag(203);
    EXPECT_EQ(chosen(*server, request("GET", "/a")).first, 202);
    EXPECT_EQ(chosen(*server, request("DELETE", "/a")).first, 203);
    EXPECT_EQ(server->registeredRoutes().size(), 2u); // once per method
    HttpHandler read = server->GET["/a"];
    EXPECT_FALSE(read);
    HttpHandler readAny = (*server)["/a"];
    EXPECT_FALSE(readAny);
    EXPECT_EQ(server->post.method, "POST");
    EXPECT_EQ(server->post.router, server->router);
}

TEST(HttpServer, LowerCaseMethodReachesOnlyAnyMethodRoutes) {
    auto server = std::make_shared<HttpServer>();
    server->GET["/g"] = tag(200);
    (*server)["/any"] = tag(201);
    EXPECT_EQ(chosen(*server, request("get", "/g")).first, 404);
    EXPECT_EQ(chosen(*server, request("get", "/any")).first, 201);
    EXPECT_EQ(chosen(*server, request("GET", "/any")).first, 201);
}

} // namespace
} // namespace quintarvel
