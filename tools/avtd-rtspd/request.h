// RTSP 1.0 requests as they arrive on a connection: the request line, the
// headers and a body of Content-Length bytes, cut from the front of the
// bytes received so far; and the replies.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rtsp {

struct request {
  std::string method;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers; // in arrival order
  std::string body;
  int cseq = -1;

  // The first header of that name (case-insensitive), or nullptr.
  const std::string* header(std::string_view name) const;
};

enum class parse_status {
  incomplete,  // more bytes needed
  complete,    // `consumed` bytes made one request
  bad_request, // 400: not a request; the connection cannot be resynchronised
  too_large,   // 413: head or body beyond the limit
  bad_version, // 505: not RTSP/1.0
};

struct parse_result {
  parse_status status = parse_status::incomplete;
  size_t consumed = 0;
};

// Parses the request at the front of `in`; a request (head and body) may
// take at most `max_size` bytes. Blank lines before a request are skipped
// (counted in `consumed`).
parse_result parse_request(std::string_view in, size_t max_size, request& out);

// One reply: status line, CSeq (when known), the given headers, and a body
// with its Content-Length.
std::string reply(int code, int cseq, const std::vector<std::pair<std::string, std::string>>& headers = {},
                  std::string_view body = {});

const char* reason_phrase(int code);

bool iequals(std::string_view a, std::string_view b);

} // namespace rtsp
