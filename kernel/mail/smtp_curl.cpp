// The SMTP transfer on libcurl: one easy handle, a MIME body of text and attachments, the
// envelope's addresses and headers.
#include "kernel/mail/smtp_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace {

size_t read_stream(char *buffer, size_t size, size_t count, void *arg) {
    size_t done = static_cast<TXK_SMTP_STREAM *>(arg)->read(buffer, size * count);
    return done == SIZE_MAX ? CURL_READFUNC_ABORT : done;
}

int seek_stream(void *arg, curl_off_t offset, int origin) {
    // Only starting again is ever asked for.
    if (offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    return static_cast<TXK_SMTP_STREAM *>(arg)->rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

struct CurlDeleter {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
    void operator()(curl_mime *mime) const { curl_mime_free(mime); }
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlDeleter>;

bool append(CurlList &list, const std::string &line) {
    curl_slist *longer = curl_slist_append(list.get(), line.c_str());
    if (!longer) return false;
    list.release();
    list.reset(longer);
    return true;
}

} // namespace

bool fxk_smtp_transfer(const TXK_SMTP_ENVELOPE &envelope, std::string *error) {
    static std::once_flag ready;
    std::call_once(ready, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        *error = "The SMTP client could not start";
        return false;
    }
    CURL *handle = curl.get();
    std::unique_ptr<curl_mime, CurlDeleter> mime(curl_mime_init(handle));
    curl_mimepart *text = curl_mime_addpart(mime.get());
    curl_mime_data(text, envelope.body.data(), envelope.body.size());
    curl_mime_type(text, "text/plain; charset=UTF-8");
    curl_mime_encoder(text, "quoted-printable");
    for (const TXK_SMTP_STREAM &stream : envelope.attachments) {
        curl_mimepart *part = curl_mime_addpart(mime.get());
        curl_mime_data_cb(part, static_cast<curl_off_t>(stream.size), read_stream, seek_stream,
                          nullptr, const_cast<TXK_SMTP_STREAM *>(&stream));
        curl_mime_filename(part, stream.name.c_str());
        curl_mime_type(part, "application/octet-stream");
        curl_mime_encoder(part, "base64");
    }

    CurlList headers, recipients;
    bool listed = true;
    for (const std::string &line : envelope.headers) listed = listed && append(headers, line);
    for (const std::string &address : envelope.recipients)
        listed = listed && append(recipients, "<" + address + ">");
    if (!listed) {
        *error = "Out of memory";
        return false;
    }

    char curl_error[CURL_ERROR_SIZE] = {};
    std::string mail_from = "<" + envelope.mail_from + ">";
    curl_easy_setopt(handle, CURLOPT_URL, envelope.url.c_str());
    curl_easy_setopt(handle, CURLOPT_MAIL_FROM, mail_from.c_str());
    curl_easy_setopt(handle, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(handle, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    if (!envelope.username.empty()) {
        curl_easy_setopt(handle, CURLOPT_USERNAME, envelope.username.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, envelope.password.c_str());
    }
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, curl_error);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 30L);
    // A server that stops answering ends the send instead of holding the page forever.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 60L);

    CURLcode result = curl_easy_perform(handle);
    if (result == CURLE_OK) return true;
    *error = curl_error[0] ? curl_error : curl_easy_strerror(result);
    return false;
}
