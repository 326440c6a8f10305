#include "http/HttpServer.h"

namespace quintarvel {

HttpServer::MethodRoute::Entry::Entry(std::optional<std::string> method,
                                      std::shared_ptr<HttpRouter> router, std::string path)
    : method_(std::move(method)), router_(std::move(router)), path_(std::move(path)) {}

HttpServer::MethodRoute::Entry &HttpServer::MethodRoute::Entry::operator=(HttpHandler handler) {
    router_->addRoute(method_, path_, std::move(handler));
    return *this;
}

HttpServer::MethodRoute::MethodRoute(std::string method, std::shared_ptr<HttpRouter> router)
    : method(std::move(method)), router(std::move(router)) {}

HttpServer::MethodRoute::Entry HttpServer::MethodRoute::operator[](std::string path) const {
    return Entry(method, router, std::move(path));
}

HttpServer::HttpServer()
    : router(std::make_shared<HttpRouter>()), DELETE("DELETE", router), PATCH("PATCH", router),
      HEAD("HEAD", router), POST("POST", router), GET("GET", router), PUT("PUT", router),
      delete_("DELETE", router), patch("PATCH", router), head("HEAD", router), post("POST", router),
      get("GET", router), put("PUT", router) {}

HttpServer::MethodRoute::Entry HttpServer::operator[](std::string path) {
    return MethodRoute::Entry(std::nullopt, router, std::move(path));
}

std::vector<std::string> HttpServer::registeredRoutes() {
    return router->registeredRoutes();
}

std::pair<HttpRouteParams, HttpHandler>
HttpServer::selectHandler(const std::shared_ptr<HttpRequest> &request) {
    for (const auto &step : middleware) {
        if (!step)
            continue;
        if (std::optional<HttpResponse> response = step(request))
            return {HttpRouteParams{}, [answer = std::move(*response)](
                                           std::shared_ptr<HttpRequest>) { return answer; }};
    }
    if (auto route = router->findRoute(request->method, request->path))
        return std::move(*route);
    if (notFoundHandler)
        return {HttpRouteParams{}, notFoundHandler};
    return {HttpRouteParams{}, notFoundAnswer()};
}

} // namespace quintarvel
