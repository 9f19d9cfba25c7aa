// The transfer of one MIME message over SMTP, kept apart from the kernel's own headers so that
// the SMTP library's system headers never meet the platform's Win32 declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// An attachment streamed while it is encoded: `read` fills up to `size` bytes and answers how
// many (SIZE_MAX on failure); `rewind` starts it again.
struct TXK_SMTP_STREAM {
    std::string name; // UTF-8
    uint64_t size = 0;
    std::function<size_t(char *buffer, size_t size)> read;
    std::function<bool()> rewind;
};

// Everything already encoded for the wire: addresses bare, headers complete, texts UTF-8.
struct TXK_SMTP_ENVELOPE {
    std::string url;
    std::string mail_from;
    std::vector<std::string> recipients;
    std::vector<std::string> headers;
    std::string body; // UTF-8, CR LF line ends
    std::vector<TXK_SMTP_STREAM> attachments;
    std::string username, password;
};

// Sends the envelope: the body as quoted-printable text, each attachment in base64, TLS when
// the server offers STARTTLS, authentication when a user name is given. True when the server
// accepted the message; otherwise `error` says why.
bool fxk_smtp_transfer(const TXK_SMTP_ENVELOPE &envelope, std::string *error);
