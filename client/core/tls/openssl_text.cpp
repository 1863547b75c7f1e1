#include "tls/openssl_text.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace tarvotcpc {

std::string BioText(BIO *bio) {
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

OpenSslError TakeOpenSslError() {
    OpenSslError first;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        if (first.code != 0) continue;
        first.code = code;
        const char *text = ERR_reason_error_string(code);
        char buffer[256];
        if (text == nullptr) {
            ERR_error_string_n(code, buffer, sizeof buffer);
            text = buffer;
        }
        first.text = text;
    }
    return first;
}

std::string OpenSslReason() {
    return TakeOpenSslError().text;
}

} // namespace tarvotcpc
