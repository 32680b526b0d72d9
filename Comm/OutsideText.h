// Text that came from outside (a server's reply, an archive's member names, a
// file's contents) made safe to show: in a log record or on a terminal it
// must stay one line and carry no escape sequence; in JSON it must be UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace outside {

// The length of the valid UTF-8 sequence at s (n bytes left), its code point
// in *cp; 0 when the bytes there are not one (overlong forms, surrogates and
// anything above U+10FFFF are not).
size_t Utf8Sequence(const unsigned char* s, size_t n, unsigned* cp);

// text with every byte that is not part of valid UTF-8 as U+FFFD.
std::string ValidUtf8(const std::string& text);

// text for a log record or a console: control characters (C0, DEL, C1 as a
// byte or in its UTF-8 form U+0080 to U+009F), the backslash and bytes that
// are not valid UTF-8 as \ooo, one escape per byte. Everything else,
// non-ASCII letters included, is kept.
std::string Escape(const std::string& text);

// text with the user:password@ (or user@) part of every URL authority in it
// written as ***@. A text without "://" is taken as a URL without a scheme,
// which libcurl accepts too.
std::string HideCredentials(const std::string& text);

// A URL for a record: HideCredentials, then Escape.
inline std::string Url(const std::string& url) { return Escape(HideCredentials(url)); }

}  // namespace outside
