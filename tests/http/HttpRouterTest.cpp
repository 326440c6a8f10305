#include "http/HttpRouter.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quintarvel {
namespace {

struct Route {
    std::optional<std::string> method;
    std::string path;
    std::int64_t tag; // the status its handler answers; 0 for no handler
};

// A router whose handlers answer their route's tag, so a test can tell which one was chosen.
std::unique_ptr<HttpRouter> routerWith(std::initializer_list<Route> routes) {
    auto router = std::make_unique<HttpRouter>();
    for (const Route &r : routes) {
        HttpHandler handler;
        if (r.tag)
            handler = [code = r.tag](std::shared_ptr<HttpRequest>) {
                return HttpResponse::raw(code, "tag");
            };
        router->addRoute(r.method, r.path, handler);
    }
    return router;
}

// The tag of the chosen handler, or 0 when none.
std::int64_t found(HttpRouter &router, const std::optional<std::string> &method,
                   const std::string &path, HttpRouteParams *params = nullptr) {
    auto route = router.findRoute(method, path);
    if (!route)
        return 0;
    if (params)
        *params = route->first;
    return route->second(nullptr).statusCode();
}

TEST(HttpRouter, RootEmptyPiecesAndQueriesDoNotMatter) {
    auto router = routerWith({{"GET", "/", 1}, {"GET", "//api///status/?ignored", 2}});
    for (const char *path : {"/", "/?a=b", ""})
        EXPECT_EQ(found(*router, "GET", path), 1) << path;
    for (const char *path : {"/api/status", "//api///status/", "/api/status?x=1"})
        EXPECT_EQ(found(*router, "GET", path), 2) << path;
    EXPECT_EQ(found(*router, "POST", "/"), 0);
    EXPECT_EQ(found(*router, "GET", "/x"), 0);
    auto routes = router->registeredRoutes();
    std::sort(routes.begin(), routes.end());
    EXPECT_EQ(routes, (std::vector<std::string>{"", "/api/status"}));
}

TEST(HttpRouter, VariableChildComesFirstAndKeepsItsCaptureWhenItFails) {
    auto router = routerWith({{"GET", "/users/new", 2},
                              {"GET", "/users/:id", 1},
                              {"GET", "/a/:x/c", 3},
                              {"GET", "/a/b/d", 4},
                              {"GET", "/p/:b/y", 6},
                              {"GET", "/p/:a/x", 5}});
    HttpRouteParams params;
    EXPECT_EQ(found(*router, "GET", "/users/new", &params), 1); // it ends the route: chosen
    EXPECT_EQ(params, (HttpRouteParams{{":id", "new"}}));
    EXPECT_EQ(found(*router, "GET", "/a/b/d", &params), 4);
    EXPECT_EQ(params, (HttpRouteParams{{":x", "b"}}));
    EXPECT_EQ(found(*router, "GET", "/a/b/c", &params), 3);
    // Of several variable children only the smallest key is tried.
    EXPECT_EQ(found(*router, "GET", "/p/v/x"), 5);
    EXPECT_EQ(found(*router, "GET", "/p/v/y"), 0);
}

TEST(HttpRouter, LiteralBeatsOneSegmentWildcardWhichBeatsTheRun) {
    auto router = routerWith({{"GET", "/f/*/z", 2}, {"GET", "/f/**/z", 3}, {"GET", "/f/lit/z", 1}});
    EXPECT_EQ(found(*router, "GET", "/f/lit/z"), 1);
    HttpRouteParams params;
    EXPECT_EQ(found(*router, "GET", "/f/other/z", &params), 2);
    EXPECT_TRUE(params.empty());
    EXPECT_EQ(found(*router, "GET", "/f/a/b/z"), 3);
}

TEST(HttpRouter, RunStandsForAtLeastTwoSegments) {
    auto router = routerWith({{"GET", "/a/**/b", 1}, {"GET", "/tail/**", 2}});
    const std::pair<const char *, std::int64_t> cases[] = {
        {"/a/x/b", 0},
        {"/a/x/y/b", 1},
        {"/a/x/y/z/b", 1},
        {"/a/x/y/b/c", 0},
        // A later segment equal to the child opens a further branch: b/b/b still ends at b.
        {"/a/b/b/b", 1},
        // The scan starts two segments on, so the one right after "a" is never looked at; an
        // undecodable segment later ends the scan, even with "b" behind it.
        {"/a/x/%zz/b", 1},
        {"/a/x/y/%zz/b", 0},
        // A run at the end of a route is stored but never matched.
        {"/tail/x/y", 0}};
    for (const auto &[path, tag] : cases)
        EXPECT_EQ(found(*router, "GET", path), tag) << path;
}

// Runs in one route reach the same (route node, request segment) pairs along very many paths;
// each pair is searched once, with the outcome of the search through every path.
TEST(HttpRouter, NestedRunsSearchEachPairOnce) {
    struct CountingRouter : HttpRouter {
        void matchSegments(Node &node, HttpRouteParams &params, const Segments &segments,
                           std::vector<Node *> &matched, std::size_t index,
                           std::size_t count) override {
            ++searches;
            HttpRouter::matchSegments(node, params, segments, matched, index, count);
        }
        std::size_t searches = 0;
    };
    CountingRouter router;
    router.addRoute("GET", "/**/a/**/a/**/a/**/a",
                    [](std::shared_ptr<HttpRequest>) { return HttpResponse::raw(1, "tag"); });
    std::string path; // 800 bytes
    for (int i = 0; i < 400; ++i)
        path += "/a";
    // The root and nine route nodes, each at most once per request position (the method's and
    // the end included).
    const std::size_t bound = 10 * (400 + 2);
    EXPECT_EQ(found(router, "GET", path), 1);
    EXPECT_LE(router.searches, bound);
    router.searches = 0;
    EXPECT_EQ(found(router, "GET", path.substr(2) + "/b"), 0);
    EXPECT_LE(router.searches, bound);
    // The capture is the last one the search through every path makes, though the pair that
    // makes it is reached along several.
    auto captures = routerWith({{"GET", "/**/a/**/a/:x/**/b", 2}});
    HttpRouteParams params;
    EXPECT_EQ(found(*captures, "GET", "/k/m/a/n/o/a/1/2/a/3/a/4/5/b", &params), 2);
    EXPECT_EQ(params, (HttpRouteParams{{":x", "4"}}));
}

TEST(HttpRouter, RequestSegmentsArePercentDecodedRouteKeysAreNot) {
    auto router = routerWith(
        {{"GET", "/A", 1}, {"GET", "/%42", 2}, {"GET", "/star/*", 3}, {"GET", "/v/:name", 4}});
    EXPECT_EQ(found(*router, "GET", "/%41"), 1);
    EXPECT_EQ(found(*router, "GET", "/%42"), 0);
    EXPECT_EQ(found(*router, "GET", "/B"), 0);
    EXPECT_EQ(found(*router, "GET", "/star/%zz"), 0);
    EXPECT_EQ(found(*router, "GET", "/star/%C3"), 0); // decodes to bytes that are not UTF-8
    HttpRouteParams params;
    EXPECT_EQ(found(*router, "GET", "/v/a%20b%C3%A9", &params), 4);
    EXPECT_EQ(params.at(":name"), "a b\xC3\xA9");
}

TEST(HttpRouter, AnyMethodRoutesComeAfterTheMethodsOwnInOneParameterTable) {
    auto router =
        routerWith({{std::nullopt, "/x", 9}, {"GET", "/x", 1}, {std::nullopt, "/only-any/:p", 8}});
    EXPECT_EQ(found(*router, "GET", "/x"), 1);
    EXPECT_EQ(found(*router, "PUT", "/x"), 9);
    EXPECT_EQ(found(*router, "get", "/x"), 9); // methods are case-sensitive
    EXPECT_EQ(found(*router, std::nullopt, "/x"), 9);
    HttpRouteParams params;
    EXPECT_EQ(found(*router, "DELETE", "/only-any/v", &params), 8);
    EXPECT_EQ(params.at(":p"), "v");
    router = routerWith({{"GET", "/:a/nothing", 1}, {std::nullopt, "/k", 2}});
    // Found through the "*" method node after the GET branch captured: the capture stays.
    EXPECT_EQ(found(*router, "GET", "/k", &params), 2);
    EXPECT_EQ(params, (HttpRouteParams{{":a", "k"}}));
    // A method that does not decode fails the first search; the second one finds the route.
    EXPECT_EQ(found(*router, "%zz", "/k", &params), 2);
    EXPECT_TRUE(params.empty());
}

TEST(HttpRouter, ReRegistrationReplacesAndFirstMatchWithoutHandlerAnswersNothing) {
    auto router = routerWith({{"GET", "/api/status", 1},
                              {"GET", "/api/status", 2},
                              {"PUT", "/api/status", 3},
                              {"GET", "/n/:v", 0},
                              {"GET", "/n/lit", 4}});
    EXPECT_EQ(found(*router, "GET", "/api/status"), 2);
    EXPECT_EQ(found(*router, "GET", "/n/lit"), 0);
    auto routes = router->registeredRoutes();
    std::sort(routes.begin(), routes.end());
    EXPECT_EQ(routes, (std::vector<std::string>{"/api/status", "/api/status", "/n/lit"}));
}

} // namespace
} // namespace quintarvel
