// http.h: the response header of a web request. The header is held back
// while the page fills the first kHttpHold bytes of output, so that a
// template can still set the status, the content type, cookies and other
// lines; it goes out with the first bytes that leave the process (the hold
// full, or the end of the request). From then on it is fixed.
#pragma once

#include <cstddef>

#include "support/types.h"

inline constexpr size_t kHttpHold = size_t{1} << 16;

// Where the bytes go once they leave the process: a file descriptor's
// writer for CGI, a protocol stream in a persistent mode. Returns false
// when the client is gone.
using HttpRawWrite = bool (*)(void* target, const char* bytes, size_t n);

// Starts the response of a web request and returns the stream that the page
// and the error pages write to. Without raw, standard output's descriptor.
FILE* HttpBegin(Globals* G, HttpRawWrite raw = nullptr, void* target = nullptr);
// Sends what is held (the header first, if it has not gone yet) and closes
// the stream. Nothing happens when no response was started.
void HttpEnd(Globals* G);
// True while a web response is under way (not on the command line).
bool HttpActive();
bool HttpHeaderSent();

// The lines a template adds. Name and value are checked by the caller.
// "Content-type" replaces the default line, "Status" sets the status; any
// other name is appended as it stands.
void HttpAddHeader(Globals* G, const char* name, size_t nameLength, const char* value,
                   size_t valueLength);
// The status of an error page: the first call wins, and it takes the place
// of any status that the template set.
void HttpErrorStatus(int code);

// RFC 7230 token characters for header names: letters, digits and '-'.
bool HttpHeaderName(const char* name, size_t n);
