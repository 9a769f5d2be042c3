#include "rest/proxy.h"

#include "config/SimpleLogger.h"
#include "config/XmConfiguration.h"

#include <mutex>
#include <string_view>

namespace {

constexpr std::string_view SCHEME_SEPARATOR = "://";
constexpr char PORT_SEPARATOR = ':';
constexpr char PATH_SEPARATOR = '/';
const char* const DEFAULT_SERVICE = "https";

// Written once under proxy_once_s, then only read.
std::once_flag proxy_once_s;
ClientProxy proxy_dn_svc;

// "host[:port]" after the scheme: the host ends at the last ':'. A trailing path, as in the
// common "http://proxy:3128/", is cut off first so that it does not end up in the port.
std::pair<std::string, std::string> split_authority(std::string_view rest) {
    rest = rest.substr(0, rest.find(PATH_SEPARATOR));
    const std::size_t colon = rest.rfind(PORT_SEPARATOR);
    if (colon == std::string_view::npos) {
        return {std::string(rest), DEFAULT_SERVICE};
    }
    return {std::string(rest.substr(0, colon)), std::string(rest.substr(colon + 1))};
}

// "host[:...:port]": the host ends at the first ':', the port starts after the last one.
std::pair<std::string, std::string> split_plain(std::string_view text) {
    const std::size_t first = text.find(PORT_SEPARATOR);
    if (first == std::string_view::npos) {
        return {std::string(text), DEFAULT_SERVICE};
    }
    const std::size_t last = text.rfind(PORT_SEPARATOR);
    return {std::string(text.substr(0, first)), std::string(text.substr(last + 1))};
}

}  // namespace

ClientProxy parseClientProxy(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    const std::size_t scheme_end = text.find(SCHEME_SEPARATOR);
    const bool scheme_form =
        scheme_end != std::string::npos && scheme_end + SCHEME_SEPARATOR.size() < text.size();
    auto proxy =
        scheme_form
            ? split_authority(std::string_view(text).substr(scheme_end + SCHEME_SEPARATOR.size()))
            : split_plain(text);
    if (proxy.second.empty() && SimpleLogger::logLevel() <= SimpleLogger::warning) {
        SimpleLogger(SimpleLogger::warning)()
            << "getClientProxy: Missing service/port (" << text << ")";
    }
    return proxy;
}

ClientProxy getClientProxy() {
    if (SimpleLogger::logLevel() <= SimpleLogger::trace) {
        SimpleLogger(SimpleLogger::trace)() << "getClientProxy()";
    }
    return parseClientProxy(XmConfiguration().GetRestClientProxy());
}

const ClientProxy& getProcessClientProxy() {
    std::call_once(proxy_once_s, [] { proxy_dn_svc = getClientProxy(); });
    return proxy_dn_svc;
}
