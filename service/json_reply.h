#pragma once
// A JSON document as an HTTP reply, for the control port and the OAuth endpoints.

#include <nlohmann/json.hpp>

#include "service/engine.h"

namespace service {

inline http_reply_t json_reply(unsigned status, const nlohmann::json& document) {
    http_reply_t reply;
    reply.status = status;
    const auto text = document.dump();
    reply.body.assign(text.begin(), text.end());
    reply.headers.emplace_back("Content-Type", "application/json");
    return reply;
}

}  // namespace service
