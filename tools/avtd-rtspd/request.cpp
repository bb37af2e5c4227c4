#include "request.h"

#include <cctype>
#include <charconv>

namespace rtsp {
namespace {

// RFC 2326 token characters (those of HTTP/1.1).
bool is_token_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 32 || u >= 127) {
    return false;
  }
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
  return kSeparators.find(c) == std::string_view::npos;
}

bool is_token(std::string_view s) {
  if (s.empty()) {
    return false;
  }
  for (const char c : s) {
    if (!is_token_char(c)) {
      return false;
    }
  }
  return true;
}

// Header values may hold any printable byte and tabs; other control bytes
// (NUL, bare CR) are refused, so no later reader meets them.
bool is_value(std::string_view s) {
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 32 && c != '\t') || u == 127) {
      return false;
    }
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// Whole decimal number of at most 9 digits (no sign, no blanks).
bool to_number(std::string_view s, long& out) {
  if (s.empty() || s.size() > 9) {
    return false;
  }
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// Splits the head (without its blank line) into lines, dropping the CR of
// CRLF endings.
std::vector<std::string_view> lines_of(std::string_view head) {
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    const size_t nl = head.find('\n');
    std::string_view line = head.substr(0, nl);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    if (nl == std::string_view::npos) {
      break;
    }
    head.remove_prefix(nl + 1);
  }
  return lines;
}

} // namespace

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

const std::string* request::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (iequals(n, name)) {
      return &v;
    }
  }
  return nullptr;
}

parse_result parse_request(std::string_view in, size_t max_size, request& out) {
  size_t skipped = 0;
  while (skipped < in.size() && (in[skipped] == '\r' || in[skipped] == '\n')) {
    ++skipped;
  }
  in.remove_prefix(skipped);
  // The head ends at the first empty line, with CRLF or bare LF endings.
  size_t head_end = std::string_view::npos;
  size_t body_start = 0;
  for (size_t i = in.find('\n'); i != std::string_view::npos; i = in.find('\n', i + 1)) {
    if (i + 1 < in.size() && in[i + 1] == '\n') {
      head_end = i;
      body_start = i + 2;
      break;
    }
    if (i + 2 < in.size() && in[i + 1] == '\r' && in[i + 2] == '\n') {
      head_end = i;
      body_start = i + 3;
      break;
    }
  }
  if (head_end == std::string_view::npos) {
    return {in.size() > max_size ? parse_status::too_large : parse_status::incomplete, 0};
  }
  if (body_start > max_size) {
    return {parse_status::too_large, 0};
  }

  request r;
  const std::vector<std::string_view> lines = lines_of(in.substr(0, head_end));
  // Request line: METHOD SP URL SP RTSP/1.0
  const std::string_view first = lines.front();
  const size_t sp1 = first.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : first.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || first.find(' ', sp2 + 1) != std::string_view::npos) {
    return {parse_status::bad_request, 0};
  }
  const std::string_view method = first.substr(0, sp1);
  const std::string_view url = first.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = first.substr(sp2 + 1);
  if (!is_token(method) || url.empty() || !is_value(url) || url.find('\t') != std::string_view::npos) {
    return {parse_status::bad_request, 0};
  }
  if (version.substr(0, 5) != "RTSP/") {
    return {parse_status::bad_request, 0};
  }
  if (version != "RTSP/1.0") {
    return {parse_status::bad_version, 0};
  }
  r.method = method;
  r.url = url;

  long content_length = -1;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) {
      return {parse_status::bad_request, 0};
    }
    if (line.front() == ' ' || line.front() == '\t') {
      // A folded line continues the previous header's value.
      if (r.headers.empty() || !is_value(line)) {
        return {parse_status::bad_request, 0};
      }
      r.headers.back().second += ' ';
      r.headers.back().second += trim(line);
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon)) || !is_value(line.substr(colon + 1))) {
      return {parse_status::bad_request, 0};
    }
    r.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
  }
  for (const auto& [name, value] : r.headers) {
    long n = 0;
    if (iequals(name, "Content-Length")) {
      if (value.size() > 9 && value.find_first_not_of("0123456789") == std::string::npos) {
        return {parse_status::too_large, 0};
      }
      if (!to_number(value, n) || (content_length >= 0 && n != content_length)) {
        return {parse_status::bad_request, 0};
      }
      content_length = n;
    } else if (iequals(name, "CSeq")) {
      if (!to_number(value, n) || r.cseq >= 0) {
        return {parse_status::bad_request, 0};
      }
      r.cseq = static_cast<int>(n);
    }
  }
  if (r.cseq < 0) {
    return {parse_status::bad_request, 0};
  }
  const size_t body_len = content_length > 0 ? static_cast<size_t>(content_length) : 0;
  if (body_start + body_len > max_size) {
    return {parse_status::too_large, 0};
  }
  if (in.size() < body_start + body_len) {
    return {parse_status::incomplete, 0};
  }
  r.body = in.substr(body_start, body_len);
  out = std::move(r);
  return {parse_status::complete, skipped + body_start + body_len};
}

const char* reason_phrase(int code) {
  switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Request Entity Too Large";
    case 451: return "Parameter Not Understood";
    case 454: return "Session Not Found";
    case 455: return "Method Not Valid in This State";
    case 459: return "Aggregate Operation Not Allowed";
    case 461: return "Unsupported Transport";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "RTSP Version Not Supported";
    default: return "Error";
  }
}

std::string reply(int code, int cseq, const std::vector<std::pair<std::string, std::string>>& headers,
                  std::string_view body) {
  std::string out = "RTSP/1.0 " + std::to_string(code) + " " + reason_phrase(code) + "\r\n";
  if (cseq >= 0) {
    out += "CSeq: " + std::to_string(cseq) + "\r\n";
  }
  out += "Server: avtd-rtspd\r\n";
  for (const auto& [name, value] : headers) {
    out += name + ": " + value + "\r\n";
  }
  if (!body.empty()) {
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  out += "\r\n";
  out += body;
  return out;
}

} // namespace rtsp
