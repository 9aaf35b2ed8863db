#pragma once
// The provider's small HTTP/1.1 layer: framing of one request (the connection loop needs to know when a
// request is complete before a worker sees it), answers, and the decoding dyndns2 needs.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace provider::http {

struct Request {
    std::string method;
    std::string target;                                        // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, values trimmed
    size_t headerBytes = 0;                                    // request line and headers, blank line included
    size_t contentLength = 0;

    // The first header of that (lower-case) name, or nullptr.
    const std::string* Header(std::string_view name) const;
    std::string_view Path() const;
    std::string_view Query() const;
};

enum class Framing {
    Incomplete,  // read more
    Complete,    // headers and the whole body are in the buffer
    Bad,         // not an HTTP/1.x request: 400
    TooLarge,    // headers or announced body over the limit: 413 (431 for headers)
    Unsupported  // a body framed other than by Content-Length: 501
};

// Largest request line plus headers.
constexpr size_t kMaxHeaderBytes = 16 * 1024;

// Frames one request as it arrives. Each Feed gets everything received so far (the earlier bytes
// unchanged) and looks only at what is new: the head is searched for its end from where the last call
// stopped and parsed once, then only the body's length is compared. A client that sends a large head
// and body a byte at a time therefore costs work in proportion to what it sends.
class CFramer {
public:
    explicit CFramer(size_t maxBodyBytes) : m_maxBody(maxBodyBytes) {}
    Framing Feed(std::string_view bytes);
    // True once the head has arrived and parsed; Head() then holds it (also while the body is incomplete
    // or when it is too large).
    bool Parsed() const { return m_haveHead && m_request.headerBytes > 0; }
    const Request& Head() const { return m_request; }
    Request TakeHead() { return std::move(m_request); }

private:
    size_t m_maxBody;
    size_t m_scanned = 0;       // bytes already searched for the end of the head
    bool m_methodDone = false;  // the method has ended (a space or a line end was seen)
    bool m_haveHead = false;
    Framing m_headVerdict = Framing::Incomplete;
    Request m_request;
};

// The same for bytes that are all there: On Complete (and on TooLarge for an over-long body) `request`
// holds the parsed head.
Framing Frame(std::string_view bytes, size_t maxBodyBytes, Request& request);

// A whole answer with Content-Length and "Connection: close". `extraHeaders` are complete lines without CRLF.
std::string Answer(int status, std::string_view body, std::string_view contentType = "text/plain; charset=utf-8",
                   const std::vector<std::string>& extraHeaders = {});
// The answer for a request the connection loop refuses before any handler sees it.
std::string FramingAnswer(Framing framing);

// "a=1&b=x%2Cy" into pairs, '+' as a space. False on a malformed escape.
bool ParseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>& params);
bool PercentDecode(std::string_view text, std::string& out);
// Strict base64 (padding required, no white space). False on anything else.
bool Base64Decode(std::string_view text, std::string& out);

}  // namespace provider::http
