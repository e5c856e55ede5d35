#include "platform/sha256.h"

#if MARLUNE_HAVE_OPENSSL
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

#if MARLUNE_HAVE_OPENSSL

struct Sha256::State
{
    struct Free
    {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> context{EVP_MD_CTX_new()};
};

Sha256::Sha256() : m_state(std::make_unique<State>())
{
    reset();
}

void Sha256::reset()
{
    EVP_DigestInit_ex(m_state->context.get(), EVP_sha256(), nullptr);
}

void Sha256::addData(QByteArrayView bytes)
{
    EVP_DigestUpdate(m_state->context.get(), bytes.data(), static_cast<std::size_t>(bytes.size()));
}

QByteArray Sha256::hex() const
{
    // Finishing a copy leaves the running state as it is.
    std::unique_ptr<EVP_MD_CTX, State::Free> copy{EVP_MD_CTX_new()};
    EVP_MD_CTX_copy_ex(copy.get(), m_state->context.get());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(copy.get(), digest, &length);
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length))
        .toHex();
}

#else

struct Sha256::State
{
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {}

void Sha256::reset()
{
    m_state->hash.reset();
}

void Sha256::addData(QByteArrayView bytes)
{
    m_state->hash.addData(bytes);
}

QByteArray Sha256::hex() const
{
    return m_state->hash.result().toHex();
}

#endif

Sha256::~Sha256() = default;
