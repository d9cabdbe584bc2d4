// Stream-side helpers of the WebSocket hub: the accept key, the hub port's upgrade-request
// reader and parser, and the millisecond clock that stamps pings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net_websocket.h"
#include "ov_stream.h"

namespace ov {

// Largest upgrade request head accepted on the hub port.
inline constexpr std::size_t WS_MAX_REQUEST_HEAD = 16 * 1024;

// Same as GenerateAcceptKey.
std::string WsComputeAcceptKey(std::string_view client_key);

// Parses an upgrade request head.  Header names are matched ignoring case on real
// "Name: value" lines.  The token comes from the query parameter "token" (not decoded), or
// from "Authorization: Bearer <token>", which wins.  True when an Upgrade header naming
// websocket and a non-empty Sec-WebSocket-Key were found; the API key and token are
// returned in any case.
bool WsParseClientRequest(std::string_view request, std::string& client_key, std::string& api_key,
                          std::string& auth_token);

// Reads a request head (up to the empty line) from the stream before the deadline.  Bytes
// read past the head are returned in rest.  False on time-out, close, error or a head larger
// than WS_MAX_REQUEST_HEAD.
bool WsReadRequestHead(Stream& stream, Deadline deadline, std::string& head, std::string& rest);

// Milliseconds since 1970-01-01 00:00 of the local clock (local date-time taken as if UTC).
std::int64_t WsUnixMillis();

}  // namespace ov
