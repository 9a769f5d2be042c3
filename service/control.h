#pragma once
// The control interface: plain HTTP with JSON bodies on a loopback port of its own, so that
// tests in another process can inject faults, read the request log and the violation counts.
//
//   GET    /violations          counts as a JSON object, with "total"
//   DELETE /violations          counts back to zero
//   POST   /faults              {"count": N, ...fault fields...}; answers {"pending": n}
//   GET    /faults              {"pending": n}
//   DELETE /faults              drops every pending fault
//   GET    /requests            the request log as a JSON array
//   DELETE /requests            empties the log
//   POST   /oauth/revoke        invalidates every issued token (with --oauth)

#include <cstdint>
#include <memory>
#include <string>

#include "service/engine.h"
#include "service/oauth.h"

namespace boost::asio {
class io_context;
}

namespace service {

/// Answers one control request; never throws.
http_reply_t handle_control(engine& engine, oauth_stand_in* oauth, const http_request_t& request);

/// Fault fields of the control interface: "command", "http_status", "retry_after",
/// "delay_ms", "close_connection", "truncate_body", "oversize_body", "tamper_tag",
/// "wrong_sequence", "tunnel_status", "hsm_result". Throws std::invalid_argument naming an
/// unknown field or a value of the wrong type.
fault_t fault_from_json(const std::string& text, unsigned& count);

class control_server {
  public:
    /// Listens on 127.0.0.1:`port` (0: any free port); throws start_error.
    control_server(boost::asio::io_context& io, std::uint16_t port, engine& engine,
                   oauth_stand_in* oauth);
    ~control_server();
    std::uint16_t port() const;
    void close();

  private:
    struct impl;
    std::shared_ptr<impl> impl_;
};

}  // namespace service
