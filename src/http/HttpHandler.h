#pragma once

#include "http/HttpRequest.h"
#include "http/HttpResponse.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace quintarvel {

// A route handler: answers one request. Runs on the client's serving task; an empty function
// stands for "no handler".
using HttpHandler = std::function<HttpResponse(std::shared_ptr<HttpRequest>)>;

// Route parameters: the route's variable segment with its colon (":id") to the percent-decoded
// request segment. Stored in HttpRequest::params before the handler runs.
using HttpRouteParams = std::map<std::string, std::string>;

} // namespace quintarvel
