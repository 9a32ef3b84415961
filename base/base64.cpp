#include "base/base64.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include "base/exception.h"
#include "base/log.h"

std::string Base64Encode(const void* data, size_t length) {
    std::string text;
    try {
        CryptoPP::StringSource source(static_cast<const CryptoPP::byte*>(data), length, true,
                                      new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text), true, 72));
    } catch (const CryptoPP::Exception& e) {
        LogError(L"Crypto++ reported error [%S] base64 encoding [%lu] bytes", e.what(),
                 static_cast<unsigned long>(length));
        throw Base::Exception(e.what());
    }
    return text;
}
