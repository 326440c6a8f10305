#include "http/HttpRouter.h"

#include "http/PercentDecoding.h"

#include <algorithm>
#include <string_view>

namespace quintarvel {
namespace {

std::string_view beforeQuery(std::string_view path) {
    return path.substr(0, path.find('?'));
}

// Non-empty pieces between "/".
std::vector<std::string> pieces(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start)
            out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

} // namespace

HttpRouter::HttpRouter() : queue_("quintarvel.httpserverio.httprouter") {}

HttpRouter::~HttpRouter() = default;

std::vector<std::string> HttpRouter::registeredRoutes() {
    return queue_.syncResult([this] {
        std::vector<std::string> routes;
        for (const auto &[method, child] : rootNode.nodes) {
            auto more = collectRoutes(*child, "");
            routes.insert(routes.end(), more.begin(), more.end());
        }
        return routes;
    });
}

std::vector<std::string> HttpRouter::collectRoutes(const Node &node, const std::string &prefix) {
    std::vector<std::string> routes;
    if (node.handler)
        routes.push_back(prefix);
    for (const auto &[key, child] : node.nodes) {
        auto more = collectRoutes(*child, prefix + "/" + key);
        routes.insert(routes.end(), more.begin(), more.end());
    }
    return routes;
}

void HttpRouter::addRoute(const std::optional<std::string> &method, const std::string &path,
                          HttpHandler handler) {
    std::vector<std::string> segments = pieces(beforeQuery(path));
    segments.insert(segments.begin(), method.value_or("*"));
    queue_.sync([&] { insertSegments(rootNode, segments).handler = std::move(handler); });
}

HttpRouter::Node &HttpRouter::insertSegments(Node &node, const std::vector<std::string> &segments) {
    Node *current = &node;
    for (const auto &segment : segments) {
        auto &child = current->nodes[segment];
        if (!child)
            child = std::make_unique<Node>();
        current = child.get();
    }
    current->isEndOfRoute = true;
    return *current;
}

std::optional<std::pair<HttpRouteParams, HttpHandler>>
HttpRouter::findRoute(const std::optional<std::string> &method, const std::string &path) {
    // Splitting and decoding touch no shared state: done before taking the queue.
    std::optional<Segments> withMethod;
    if (method)
        withMethod = splitPath(*method, path);
    const Segments anyMethod = splitPath("*", path);
    std::optional<std::pair<HttpRouteParams, HttpHandler>> found;
    queue_.sync([&] { found = search(withMethod, anyMethod); });
    return found;
}

std::optional<std::pair<HttpRouteParams, HttpHandler>>
HttpRouter::search(const std::optional<Segments> &withMethod, const Segments &anyMethod) {
    if (withMethod) {
        HttpRouteParams params;
        if (HttpHandler handler = firstMatchingHandler(rootNode, params, *withMethod))
            return std::make_pair(std::move(params), std::move(handler));
    }
    // Captures of the first search are dropped.
    HttpRouteParams params;
    if (HttpHandler handler = firstMatchingHandler(rootNode, params, anyMethod))
        return std::make_pair(std::move(params), std::move(handler));
    return std::nullopt;
}

HttpRouter::Segments HttpRouter::splitPath(const std::string &method, const std::string &path) {
    Segments segments;
    for (const auto &piece : pieces(method + "/" + std::string(beforeQuery(path))))
        segments.push_back(removingPercentEncoding(piece));
    return segments;
}

HttpHandler HttpRouter::firstMatchingHandler(Node &node, HttpRouteParams &params,
                                             const Segments &segments) {
    std::vector<Node *> matched;
    searched_.clear();
    captureLog_.clear();
    matchSegments(node, params, segments, matched, 0, segments.size());
    searched_.clear();
    captureLog_.clear();
    if (matched.empty())
        return {};
    return matched.front()->handler;
}

void HttpRouter::capture(HttpRouteParams &params, const std::string &key, const Segments &segments,
                         std::size_t index) {
    params[key] = *segments[index];
    captureLog_.emplace_back(&key, index);
}

void HttpRouter::descend(Node &child, HttpRouteParams &params, const Segments &segments,
                         std::vector<Node *> &matched, std::size_t index, std::size_t count) {
    const auto pair = std::make_pair(static_cast<const Node *>(&child), index);
    if (auto before = searched_.find(pair); before != searched_.end()) {
        // Whatever it matched lies behind the first match already; only its captures count.
        for (const auto &[key, at] : before->second)
            capture(params, *key, segments, at);
        return;
    }
    const std::size_t start = captureLog_.size();
    matchSegments(child, params, segments, matched, index, count);
    // Only the last capture of each key can show in the table: keep those.
    Captures last;
    for (std::size_t i = captureLog_.size(); i-- > start;) {
        const std::string *key = captureLog_[i].first;
        if (std::none_of(last.begin(), last.end(),
                         [key](const auto &c) { return *c.first == *key; }))
            last.push_back(captureLog_[i]);
    }
    captureLog_.resize(start);
    captureLog_.insert(captureLog_.end(), last.rbegin(), last.rend());
    searched_.emplace(pair, std::move(last));
}

void HttpRouter::matchSegments(Node &node, HttpRouteParams &params, const Segments &segments,
                               std::vector<Node *> &matched, std::size_t index, std::size_t count) {
    // While segments remain, the node itself cannot end the match (that needs index == count),
    // so the early returns below skip nothing but the rest of this level.
    if (index < count && segments[index]) {
        const std::string &token = *segments[index];
        auto variables = variableChildren(node);
        if (!variables.empty()) {
            auto [key, child] = variables.front();
            capture(params, *key, segments, index);
            if (index + 1 == count && child->isEndOfRoute) {
                matched.push_back(child);
                return;
            }
            descend(*child, params, segments, matched, index + 1, count);
        }
        if (auto literal = node.nodes.find(token); literal != node.nodes.end())
            descend(*literal->second, params, segments, matched, index + 1, count);
        if (auto any = node.nodes.find("*"); any != node.nodes.end())
            descend(*any->second, params, segments, matched, index + 1, count);
        if (auto run = node.nodes.find("**"); run != node.nodes.end()) {
            Node &wildcard = *run->second;
            for (std::size_t j = index + 2; j < count;) {
                if (!segments[j])
                    return;
                const std::string &next = *segments[j];
                ++j;
                if (auto after = wildcard.nodes.find(next); after != wildcard.nodes.end())
                    descend(*after->second, params, segments, matched, j, count);
            }
        }
        return;
    }
    if (node.isEndOfRoute && index == count)
        matched.push_back(&node);
}

std::vector<std::pair<const std::string *, HttpRouter::Node *>>
HttpRouter::variableChildren(const Node &node) {
    std::vector<std::pair<const std::string *, Node *>> out;
    // Keys that begin with ":" sort together, from ":" up to the first key at or above ";".
    for (auto it = node.nodes.lower_bound(":"); it != node.nodes.end() && it->first[0] == ':'; ++it)
        out.emplace_back(&it->first, it->second.get());
    return out;
}

} // namespace quintarvel
