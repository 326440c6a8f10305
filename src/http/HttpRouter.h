#pragma once

#include "http/HttpHandler.h"
#include "platform/Dispatch.h"

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quintarvel {

// The server's route table: a trie of path segments whose first level is the method ("GET",
// ..., or "*" for routes of any method). Route segments are literals, variables (":name",
// captured under the key ":name"), "*" (any one segment) and "**" (a run of segments).
// Paths are cut at "?" and split on "/" with empty pieces dropped, so "/api/status",
// "//api///status/" and "/api/status?x=1" are one route; "/" is the method node itself.
//
// Precedence. The search is depth-first over the whole trie and the FIRST end of route reached
// wins; at every level the order is:
//   1. the variable child (one only: the smallest ":" key when a level has several). When the
//      request has no further segment and that child ends a route, it wins at once and the
//      rest of the level is skipped.
//        /users/:id and /users/new, request /users/new -> /users/:id with :id = "new"
//   2. the literal child keyed by the percent-decoded request segment (%41 matches "A"; a
//      route registered as "%41" is never matched; a segment that does not decode, like
//      %zz, matches nothing at all, not even "*").
//        /a/:x/c and /a/b/d, request /a/b/d -> /a/b/d, with :x = "b" still captured
//   3. "*", any one segment, nothing captured.
//   4. "**", which stands for at least two segments: the route goes on at every later request
//      segment equal to one of its children.
//        /a/**/b: /a/x/b no; /a/x/y/b and /a/x/y/z/b yes
// The method is the first segment and follows the same rules, so the any-method routes ("*")
// are reached after the request method's own routes; a second search under "*" runs only when
// the first found nothing. One parameter table serves the whole search: captures of branches
// that failed stay in it, and the handler receives it.
//
// Cost: a (route node, request segment) pair is searched once per lookup. Several "**" in one
// route reach the same pair along many paths; the later ones take the first search's outcome
// (it cannot give an earlier match) and make its captures again, so the result is the one the
// full depth-first search gives, at no more than (route segments x request segments) searches.
//
// Lookups (findRoute) run one at a time on the serial queue "quintarvel.httpserverio.httprouter".
// Registration goes through the same queue, so a route added while the server serves cannot
// corrupt a lookup; all routes are normally registered before the server starts.
class HttpRouter {
  public:
    HttpRouter();
    virtual ~HttpRouter();
    HttpRouter(const HttpRouter &) = delete;
    HttpRouter &operator=(const HttpRouter &) = delete;

    // Every route's path text ("" for "/"), per method in key order; the method is not part of
    // the text, so a pattern under two methods is listed twice. Nodes without a handler are not
    // listed.
    virtual std::vector<std::string> registeredRoutes();
    // Registers or replaces. No method: any method. An empty handler leaves an end of route
    // without a handler (which then answers nothing).
    virtual void addRoute(const std::optional<std::string> &method, const std::string &path,
                          HttpHandler handler);
    // The best route's parameters and handler, or none.
    virtual std::optional<std::pair<HttpRouteParams, HttpHandler>>
    findRoute(const std::optional<std::string> &method, const std::string &path);

    SerialQueue &queue() { return queue_; }

  protected:
    struct Node {
        // Children keyed by segment text as registered (case-sensitive, never decoded).
        std::map<std::string, std::unique_ptr<Node>> nodes;
        bool isEndOfRoute = false;
        HttpHandler handler;
    };
    // The percent-decoded request segments, the method first (none where undecodable).
    using Segments = std::vector<std::optional<std::string>>;

    virtual std::vector<std::string> collectRoutes(const Node &node, const std::string &prefix);
    // One search from `node`: the handler of the first matched node, or an empty function.
    virtual HttpHandler firstMatchingHandler(Node &node, HttpRouteParams &params,
                                             const Segments &segments);
    virtual void matchSegments(Node &node, HttpRouteParams &params, const Segments &segments,
                               std::vector<Node *> &matched, std::size_t index, std::size_t count);
    Node &insertSegments(Node &node, const std::vector<std::string> &segments);
    // The children whose key begins with ":", in key order.
    static std::vector<std::pair<const std::string *, Node *>> variableChildren(const Node &node);

    Node rootNode; // touched only on queue_

  private:
    // Captures as (route key, request segment position).
    using Captures = std::vector<std::pair<const std::string *, std::size_t>>;

    // matchSegments of a child, or, for a pair searched before in this lookup, its captures
    // made again.
    void descend(Node &child, HttpRouteParams &params, const Segments &segments,
                 std::vector<Node *> &matched, std::size_t index, std::size_t count);
    void capture(HttpRouteParams &params, const std::string &key, const Segments &segments,
                 std::size_t index);

    // The lookup in progress, touched only on queue_: the pairs searched so far with the last
    // capture each made per key, and every capture made so far (condensed the same way once
    // a pair is done).
    std::map<std::pair<const Node *, std::size_t>, Captures> searched_;
    Captures captureLog_;

    static Segments splitPath(const std::string &method, const std::string &path);
    std::optional<std::pair<HttpRouteParams, HttpHandler>>
    search(const std::optional<Segments> &withMethod, const Segments &anyMethod);

    SerialQueue queue_;
};

} // namespace quintarvel
