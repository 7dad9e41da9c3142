#include "cataloguetrust.h"

#include "catalogueconfig.h"
#include "scramblekey.h"
#include "titxtimage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>

#include <openssl/evp.h>

#include <memory>

namespace catalogue {

namespace {

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

bool isHexText(const QString &text, int digits)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]*$"));
    return text.size() == digits && hex.match(text).hasMatch();
}

QByteArray strictBase64(const QByteArray &text)
{
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

void setReason(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
}

} // namespace

QByteArray publicKeyFromText(const QString &text, bool *ok)
{
    const QString trimmed = text.trimmed();
    QByteArray key;
    if (isHexText(trimmed, 2 * kPublicKeyBytes))
        key = QByteArray::fromHex(trimmed.toLatin1());
    else if (!trimmed.isEmpty())
        key = strictBase64(trimmed.toLatin1());
    const bool good = trimmed.isEmpty() || key.size() == kPublicKeyBytes;
    if (ok)
        *ok = good;
    return good ? key : QByteArray();
}

namespace {
QByteArray &trustedKey()
{
    static QByteArray key = publicKeyFromText(QStringLiteral(NVX_CATALOGUE_PUBLIC_KEY));
    return key;
}
} // namespace

QByteArray builtInPublicKey()
{
    return trustedKey();
}

void setBuiltInPublicKey(const QByteArray &key)
{
    trustedKey() = key;
}

QByteArray signatureFileText(const QByteArray &rawSignature)
{
    return rawSignature.toBase64() + '\n';
}

bool verifyCatalogueSignature(const QByteArray &data, const QByteArray &signatureFile, const QByteArray &publicKey,
                              QString *reason)
{
    if (publicKey.size() != kPublicKeyBytes) {
        setReason(reason, QStringLiteral("no usable public key"));
        return false;
    }
    const QByteArray text = signatureFile.trimmed();
    if (text.isEmpty()) {
        setReason(reason, QStringLiteral("empty signature"));
        return false;
    }
    const QByteArray signature = strictBase64(text);
    if (signature.size() != kSignatureBytes) {
        setReason(reason, QStringLiteral("malformed signature"));
        return false;
    }

    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
        size_t(publicKey.size())));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        setReason(reason, QStringLiteral("signature check could not start"));
        return false;
    }
    // Ed25519 signs the message itself, in one call.
    const int result = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                                        size_t(signature.size()),
                                        reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()));
    if (result != 1) {
        setReason(reason, QStringLiteral("signature does not match"));
        return false;
    }
    setReason(reason, QString());
    return true;
}

QString sha256Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QString fileSha256Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

bool isSha256Text(const QString &text)
{
    return isHexText(text, 64);
}

bool checkPasswordFile(const QByteArray &bytes, QString *reason)
{
    constexpr int kLinesPerRecord = 4;   // "@FFE0", 16 bytes, 16 bytes, "q"
    constexpr int kPasswordBytes = 32;   // the interrupt vector table
    if (bytes.trimmed().isEmpty()) {
        setReason(reason, QStringLiteral("empty"));
        return false;
    }
    if (bytes.contains('\0')) {
        setReason(reason, QStringLiteral("not a text file"));
        return false;
    }
    const QByteArray plain = bsl::unscrambleText(bytes);
    QList<QByteArray> lines = plain.split('\n');
    if (!lines.last().trimmed().isEmpty()) {
        setReason(reason, QStringLiteral("the last line is not terminated"));
        return false;
    }
    lines.removeLast();
    if (lines.size() % kLinesPerRecord != 0) {
        setReason(reason, QStringLiteral("%1 lines are not records of %2").arg(lines.size()).arg(kLinesPerRecord));
        return false;
    }
    for (int first = 0; first < lines.size(); first += kLinesPerRecord) {
        const int record = first / kLinesPerRecord + 1;
        QByteArray text;
        for (int i = first; i < first + kLinesPerRecord; ++i)
            text += lines.at(i) + '\n';
        titxt::Image blocks;
        QString parseReason;
        if (!lines.at(first).trimmed().startsWith('@') || lines.at(first + 3).trimmed() != "q"
            || !titxt::parse(text, &blocks, &parseReason) || blocks.size() != 1
            || blocks.first().bytes.size() != kPasswordBytes) {
            setReason(reason, QStringLiteral("record %1 is not a password of %2 bytes").arg(record).arg(kPasswordBytes));
            return false;
        }
    }
    setReason(reason, QString());
    return true;
}

} // namespace catalogue
