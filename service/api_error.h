#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "base/failure.h"

namespace tarnwick::service {

// A refusal as the API answers it: {"error": {"code", "message", "field"}}, with its
// HTTP status. The message is the window's own words where the window has them.
struct ApiError {
    int status = 400;
    std::string code;  // "malformed", "unauthorized", "forbidden", "not_found", "conflict", ...
    std::string message;
    std::string field;  // the request's field it is about; empty when none

    nlohmann::json Json() const;
};

ApiError Malformed(std::string message, std::string field = "");
ApiError NotFound(std::string message);
// A label the core refused: 422, with the box it names as the field.
ApiError Refused(const Failure& failure);

}  // namespace tarnwick::service
