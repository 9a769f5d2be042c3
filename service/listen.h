#pragma once
// Opening a listening socket with an error an operator can read. Included only by the
// sources that run listeners, which include Asio anyway.

#include <boost/asio/ip/tcp.hpp>

#include <string>

#include "service/pki_dir.h"

namespace service {

inline void listen_on(boost::asio::ip::tcp::acceptor& acceptor,
                      const boost::asio::ip::tcp::endpoint& endpoint, const std::string& purpose) {
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        // Lets a restarted service bind while old connections linger; a live listener on
        // the port still makes bind fail.
        acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        throw start_error("cannot listen on " + endpoint.address().to_string() + ":" +
                          std::to_string(endpoint.port()) + purpose + ": " + ec.message());
    }
}

}  // namespace service
