#include "http/HttpRouter.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quintarvel {
namespace {

// A handler that answers status `code`, so a test can tell which route was chosen.
HttpHandler tag(std::int64_t code) {
    return [code](std::shared_ptr<HttpRequest>) { return HttpResponse::raw(code, "tag"); };
}

// The code of the chosen handler, or 0 when none.
std::int64_t found(HttpRouter &router, const std::optional<std::string> &method,
                   const std::string &path, HttpRouteParams *params = nullptr) {
    auto route = router.findRoute(method, path);
    if (!route)
        return 0;
    if (params)
        *params = route->first;
    return route->second(nullptr).statusCode();
}

TEST(HttpRouter, RootRouteIsTheMethodNodeAndIgnoresTheQuery) {
    HttpRouter router;
    router.addRoute("GET", "/", tag(1));
    EXPECT_EQ(found(router, "GET", "/"), 1);
    EXPECT_EQ(found(router, "GET", "/?a=b"), 1);
    EXPECT_EQ(found(router, "GET", ""), 1);
    EXPECT_EQ(found(router, "POST", "/"), 0);
    EXPECT_EQ(found(router, "GET", "/x"), 0);
}

TEST(HttpRouter, EmptyPiecesAndQueriesDoNotMatter) {
    HttpRouter router;
    router.addRoute("GET", "//api///status/?ignored", tag(1));
    for (const char *path : {"/api/status", "//api///status/", "/api/status?x=1"})
        EXPECT_EQ(found(router, "GET", path), 1) << path;
    EXPECT_EQ(router.registeredRoutes(), std::vector<std::string>{"/api/status"});
}

TEST(HttpRouter, VariableChildBeatsLiteralWhenItEndsTheRoute) {
    HttpRouter router;
    router.addRoute("GET", "/users/new", tag(2));
    router.addRoute("GET", "/users/:id", tag(1));
    HttpRouteParams params;
    EXPECT_EQ(found(router, "GET", "/users/new", &params), 1);
    EXPECT_EQ(params, (HttpRouteParams{{":id", "new"}}));
    EXPECT_EQ(found(router, "GET", "/users/42", &params), 1);
    EXPECT_EQ(params.at(":id"), "42");
}

TEST(HttpRouter, FailedVariableBranchLeavesItsCaptureBehind) {
    HttpRouter router;
    router.addRoute("GET", "/a/:x/c", tag(1));
    router.addRoute("GET", "/a/b/d", tag(2));
    HttpRouteParams params;
    EXPECT_EQ(found(router, "GET", "/a/b/d", &params), 2);
    EXPECT_EQ(params, (HttpRouteParams{{":x", "b"}}));
    EXPECT_EQ(found(router, "GET", "/a/b/c", &params), 1);
}

TEST(HttpRouter, LiteralBeatsOneSegmentWildcardWhichBeatsTheRun) {
    HttpRouter router;
    router.addRoute("GET", "/f/*/z", tag(2));
    router.addRoute("GET", "/f/**/z", tag(3));
    router.addRoute("GET", "/f/lit/z", tag(1));
    EXPECT_EQ(found(router, "GET", "/f/lit/z"), 1);
    EXPECT_EQ(found(router, "GET", "/f/other/z"), 2);
    EXPECT_EQ(found(router, "GET", "/f/a/b/z"), 3);
    HttpRouteParams params;
    found(router, "GET", "/f/other/z", &params);
    EXPECT_TRUE(params.empty());
}

TEST(HttpRouter, RunStandsForAtLeastTwoSegments) {
    HttpRouter router;
    router.addRoute("GET", "/a/**/b", tag(1));
    EXPECT_EQ(found(router, "GET", "/a/x/b"), 0);
    EXPECT_EQ(found(router, "GET", "/a/x/y/b"), 1);
    EXPECT_EQ(found(router, "GET", "/a/x/y/z/b"), 1);
    EXPECT_EQ(found(router, "GET", "/a/x/y/b/c"), 0);
    // A later segment equal to the child opens a further branch: b/b/b still ends at b.
    EXPECT_EQ(found(router, "GET", "/a/b/b/b"), 1);
    // The scan starts two segments on, so the one right after "a" is never looked at; an
    // undecodable segment later ends the scan, even with "b" behind it.
    EXPECT_EQ(found(router, "GET", "/a/x/%zz/b"), 1);
    EXPECT_EQ(found(router, "GET", "/a/x/y/%zz/b"), 0);
    // A run at the end of a route is stored but never matched.
    router.addRoute("GET", "/tail/**", tag(2));
    EXPECT_EQ(found(router, "GET", "/tail/x/y"), 0);
}

TEST(HttpRouter, RequestSegmentsArePercentDecodedRouteKeysAreNot) {
    HttpRouter router;
    router.addRoute("GET", "/A", tag(1));
    router.addRoute("GET", "/%42", tag(2));
    router.addRoute("GET", "/star/*", tag(3));
    router.addRoute("GET", "/v/:name", tag(4));
    EXPECT_EQ(found(router, "GET", "/%41"), 1);
    EXPECT_EQ(found(router, "GET", "/%42"), 0);
    EXPECT_EQ(found(router, "GET", "/B"), 0);
    EXPECT_EQ(found(router, "GET", "/star/%zz"), 0);
    EXPECT_EQ(found(router, "GET", "/star/%C3"), 0); // decodes to bytes that are not UTF-8
    HttpRouteParams params;
    EXPECT_EQ(found(router, "GET", "/v/a%20b%C3%A9", &params), 4);
    EXPECT_EQ(params.at(":name"), "a b\xC3\xA9");
}

TEST(HttpRouter, AnyMethodRoutesComeAfterTheMethodsOwn) {
    HttpRouter router;
    router.addRoute(std::nullopt, "/x", tag(9));
    router.addRoute("GET", "/x", tag(1));
    router.addRoute(std::nullopt, "/only-any/:p", tag(8));
    EXPECT_EQ(found(router, "GET", "/x"), 1);
    EXPECT_EQ(found(router, "PUT", "/x"), 9);
    EXPECT_EQ(found(router, "get", "/x"), 9); // methods are case-sensitive
    EXPECT_EQ(found(router, std::nullopt, "/x"), 9);
    HttpRouteParams params;
    EXPECT_EQ(found(router, "DELETE", "/only-any/v", &params), 8);
    EXPECT_EQ(params.at(":p"), "v");
}

TEST(HttpRouter, CapturesOfFailedBranchesStayInTheOneTable) {
    HttpRouter router;
    router.addRoute("GET", "/:a/nothing", tag(1));
    router.addRoute(std::nullopt, "/k", tag(2));
    HttpRouteParams params;
    // Found in the first search through the "*" method node, after the GET branch captured.
    EXPECT_EQ(found(router, "GET", "/k", &params), 2);
    EXPECT_EQ(params, (HttpRouteParams{{":a", "k"}}));
    // A method that does not decode fails the first search; the second one finds the route.
    EXPECT_EQ(found(router, "%zz", "/k", &params), 2);
    EXPECT_TRUE(params.empty());
}

TEST(HttpRouter, SeveralVariableChildrenTryTheSmallestKeyOnly) {
    HttpRouter router;
    router.addRoute("GET", "/p/:b/y", tag(2));
    router.addRoute("GET", "/p/:a/x", tag(1));
    HttpRouteParams params;
    EXPECT_EQ(found(router, "GET", "/p/v/x", &params), 1);
    EXPECT_EQ(found(router, "GET", "/p/v/y", &params), 0);
}

TEST(HttpRouter, FirstMatchWithoutHandlerAnswersNothing) {
    HttpRouter router;
    router.addRoute("GET", "/n/:v", nullptr);
    router.addRoute("GET", "/n/lit", tag(1));
    EXPECT_EQ(found(router, "GET", "/n/lit"), 0);
    EXPECT_TRUE(router.registeredRoutes().size() == 1);
}

TEST(HttpRouter, ReRegistrationReplacesAndListsOncePerMethod) {
    HttpRouter router;
    router.addRoute("GET", "/api/status", tag(1));
    router.addRoute("GET", "/api/status", tag(2));
    router.addRoute("PUT", "/api/status", tag(3));
    router.addRoute("GET", "/", tag(4));
    EXPECT_EQ(found(router, "GET", "/api/status"), 2);
    auto routes = router.registeredRoutes();
    std::sort(routes.begin(), routes.end());
    EXPECT_EQ(routes, (std::vector<std::string>{"", "/api/status", "/api/status"}));
}

} // namespace
} // namespace quintarvel
