#include "service/api_error.h"

namespace tarnwick::service {

nlohmann::json ApiError::Json() const {
    nlohmann::json error = {{"code", code}, {"message", message}};
    error["field"] = field.empty() ? nlohmann::json(nullptr) : nlohmann::json(field);
    return {{"error", std::move(error)}};
}

ApiError Malformed(std::string message, std::string field) {
    return {400, "malformed", std::move(message), std::move(field)};
}

ApiError NotFound(std::string message) { return {404, "not_found", std::move(message), ""}; }

ApiError Refused(const Failure& failure) { return {422, "refused", failure.text, ""}; }

}  // namespace tarnwick::service
