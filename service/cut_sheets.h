#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "printjob/label_request.h"
#include "service/api_error.h"
#include "service/http_server.h"
#include "service/service_core.h"

namespace tarnwick::service {

// An uploaded sheet kept under the service's folder, and its cuts as the window lists
// them: {"id", "name", "cuts": [{"row", "text"}], "notice"}.
std::expected<nlohmann::json, ApiError> StoreCutSheet(ServiceCore& core, const HttpRequest& request);

// One cut of an uploaded sheet as its label prints it: {"row", "wip", "style", ...,
// "quantity" (Qty plus ExtraQty), "stock", "madeIn", "entry"}.
std::expected<nlohmann::json, ApiError> ReadUploadedCut(ServiceCore& core, const std::string& id, int row);

// Prints the cuts a body names ({"cuts": "all" | [rows], "printer", "newFormat", "brand",
// "headers", "quantity": the Qty box changed for them}), each a job through `print`, in the sheet's order, stopping at the first
// that is not printed, as print --all does.
using PrintOne = std::function<HttpResponse(const LabelRequest& request)>;
// One cut a body names ({"cuts": [row]} with the options above) drawn by `preview`.
using PreviewOne = std::function<std::expected<HttpResponse, ApiError>(const LabelRequest& request)>;
std::expected<HttpResponse, ApiError> PreviewCut(ServiceCore& core, const TokenInfo& token, const std::string& id,
                                                 const nlohmann::json& body, const PreviewOne& preview);

std::expected<HttpResponse, ApiError> PrintCutSheet(ServiceCore& core, const TokenInfo& token, const std::string& id,
                                                    const nlohmann::json& body, const PrintOne& print);

}  // namespace tarnwick::service
