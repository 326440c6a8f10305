#pragma once

#include "http/HttpRouter.h"
#include "http/HttpServerIO.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quintarvel {

// The server applications use: HttpServerIO with a route table. For each request the
// middleware is asked in order, then the router, then the not-found handler, and last the
// answer is 404 "Not Found".
//
//     auto server = std::make_shared<HttpServer>();
//     server->GET["/api/status"] = [](std::shared_ptr<HttpRequest>) { ... };
//     (*server)["/any-method"] = handler;
//
// Routes, middleware and the not-found handler are set up before start(); see HttpRouter for
// how a route is chosen. Middleware and handlers run on the client's serving task.
class HttpServer : public HttpServerIO {
  public:
    // Registers routes of one method: `route["/path"] = handler`. Reading a path always gives
    // no handler. Assigning an empty handler leaves a route end without a handler.
    class MethodRoute {
      public:
        // Stands for one path of one method.
        class Entry {
          public:
            Entry &operator=(HttpHandler handler);
            operator HttpHandler() const { return {}; }

          private:
            friend class MethodRoute;
            friend class HttpServer;
            Entry(std::optional<std::string> method, std::shared_ptr<HttpRouter> router,
                  std::string path);
            std::optional<std::string> method_;
            std::shared_ptr<HttpRouter> router_;
            std::string path_;
        };

        MethodRoute(std::string method, std::shared_ptr<HttpRouter> router);
        Entry operator[](std::string path) const;

        std::string method;
        std::shared_ptr<HttpRouter> router; // shared, not copied
    };

    using Middleware = std::function<std::optional<HttpResponse>(std::shared_ptr<HttpRequest>)>;

    HttpServer();

    std::shared_ptr<HttpRouter> router;
    MethodRoute DELETE, PATCH, HEAD, POST, GET, PUT;
    // The lower-case twins carry the upper-case method text. "delete" is a C++ keyword.
    MethodRoute delete_, patch, head, post, get, put;
    // Answers what neither middleware nor router answers; empty: none.
    HttpHandler notFoundHandler;
    std::vector<Middleware> middleware;

    // Registers for any method: `(*server)["/path"] = handler`.
    MethodRoute::Entry operator[](std::string path);
    std::vector<std::string> registeredRoutes();

    std::pair<HttpRouteParams, HttpHandler>
    selectHandler(const std::shared_ptr<HttpRequest> &request) override;
};

} // namespace quintarvel
