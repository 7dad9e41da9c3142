#include "signingkey.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

constexpr int kRawKeyBytes = 32;   // Ed25519 private and public keys
constexpr int kSignatureBytes = 64;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

void SigningKey::Free::operator()(void *pkey) const
{
    EVP_PKEY_free(static_cast<EVP_PKEY *>(pkey));
}

SigningKey::SigningKey() = default;
SigningKey::~SigningKey() = default;
SigningKey::SigningKey(SigningKey &&other) noexcept = default;
SigningKey &SigningKey::operator=(SigningKey &&other) noexcept = default;

SigningKey SigningKey::fromFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, path + QStringLiteral(": ") + file.errorString());
        return SigningKey();
    }
    const QByteArray bytes = file.readAll();
    if (bytes.size() == kRawKeyBytes)
        return fromRaw(bytes, error);
    return fromPem(bytes, error);
}

SigningKey SigningKey::fromPem(const QByteArray &pem, QString *error)
{
    SigningKey result;
    BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
    EVP_PKEY *pkey = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!pkey) {
        setError(error, QStringLiteral("not a PEM private key or 32 raw key bytes"));
        return result;
    }
    if (EVP_PKEY_get_id(pkey) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(pkey);
        setError(error, QStringLiteral("the private key is not an Ed25519 key"));
        return result;
    }
    result.key.reset(pkey);
    return result;
}

SigningKey SigningKey::fromRaw(const QByteArray &raw32, QString *error)
{
    SigningKey result;
    if (raw32.size() != kRawKeyBytes) {
        setError(error, QStringLiteral("a raw Ed25519 private key has 32 bytes"));
        return result;
    }
    EVP_PKEY *pkey = EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(raw32.constData()), size_t(raw32.size()));
    if (!pkey)
        setError(error, QStringLiteral("the raw private key was refused"));
    result.key.reset(pkey);
    return result;
}

SigningKey SigningKey::generate()
{
    SigningKey result;
    result.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    return result;
}

QByteArray SigningKey::publicKey() const
{
    if (!key)
        return QByteArray();
    QByteArray raw(kRawKeyBytes, '\0');
    size_t length = size_t(raw.size());
    if (EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY *>(key.get()),
                                    reinterpret_cast<unsigned char *>(raw.data()), &length) != 1
        || length != size_t(kRawKeyBytes))
        return QByteArray();
    return raw;
}

QByteArray SigningKey::sign(const QByteArray &data) const
{
    if (!key)
        return QByteArray();
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    QByteArray signature(kSignatureBytes, '\0');
    size_t length = size_t(signature.size());
    const bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, static_cast<EVP_PKEY *>(key.get())) == 1
                    && EVP_DigestSign(ctx, reinterpret_cast<unsigned char *>(signature.data()), &length,
                                      reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()))
                           == 1
                    && length == size_t(kSignatureBytes);
    EVP_MD_CTX_free(ctx);
    return ok ? signature : QByteArray();
}
