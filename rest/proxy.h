#pragma once
// The HTTP proxy the clients tunnel through, from the "ClientProxy" setting.

#include <optional>
#include <string>
#include <utility>

/// (proxy host, proxy service); the service is a port number or a name such as "https".
using ClientProxy = std::optional<std::pair<std::string, std::string>>;

/// Splits a proxy setting: "host", "host:port", or "scheme://host[:port][/path]". The scheme
/// and any path are ignored (the proxy is always reached over plain TCP); a missing port
/// gives "https". Empty text gives no proxy.
ClientProxy parseClientProxy(const std::string& text);

/// parseClientProxy of the current setting, read afresh on every call.
ClientProxy getClientProxy();

/// The proxy choice of this process: worked out by the first caller, never revised.
const ClientProxy& getProcessClientProxy();
