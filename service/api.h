#pragma once

#include <string>
#include <vector>

#include "service/http_server.h"
#include "service/service_core.h"

namespace tarnwick::service {

// The API under /api/v1, /healthz and /metrics: each request authenticated, parsed,
// answered as JSON, and counted.
HttpResponse HandleRequest(ServiceCore& core, const HttpRequest& request);

// The OpenAPI 3 document served at /api/v1/openapi.json.
const std::string& OpenApiDocument();

// Every call of the API, "METHOD /path" with {parameters}, as the document must list them.
std::vector<std::string> ApiCalls();

}  // namespace tarnwick::service
