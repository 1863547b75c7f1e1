// OpenSSL's error queue and memory BIOs as the TLS files read them: the first reason of a
// failure for the user's message, and the text a memory BIO collected.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>

#include <memory>
#include <string>

namespace tarvotcpc {

struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// What a memory BIO holds, as bytes.
std::string BioText(BIO *bio);

struct OpenSslError {
    unsigned long code = 0;
    std::string text;
    bool Is(int reason) const {
        return code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == reason;
    }
};

// The first error queued on this thread, and the queue emptied: a failed call can leave several,
// and a later call must not report them as its own.
OpenSslError TakeOpenSslError();
// Its reason text alone ("" when the queue was empty).
std::string OpenSslReason();

} // namespace tarvotcpc
