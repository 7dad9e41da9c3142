#pragma once

#include <QByteArray>
#include <QString>

// Authenticity of the catalogue and integrity of the files it lists.
//
// Signature file "731Versions.json.sig", next to the catalogue on the server:
// the 64-byte Ed25519 signature of the catalogue file's exact bytes, written
// as one line of standard base64 (88 characters). Whitespace around it (a
// final line end, say) is ignored; anything else that does not decode to
// exactly 64 bytes is a malformed signature.
//
// Public keys are the raw 32-byte Ed25519 key, as text in standard base64
// (44 characters) or as 64 hexadecimal digits.
namespace catalogue {

constexpr int kPublicKeyBytes = 32; // raw Ed25519 public key
constexpr int kSignatureBytes = 64; // raw Ed25519 signature

// The raw key from its text form; empty text gives an empty key with ok set.
// Text that is neither form gives an empty key with ok cleared.
QByteArray publicKeyFromText(const QString &text, bool *ok = nullptr);

// The public key this build trusts (the NVX_CATALOGUE_PUBLIC_KEY setting);
// empty when the build has none.
QByteArray builtInPublicKey();
// Makes builtInPublicKey() answer key for the rest of the process: for test
// benches that sign their catalogues with a key of their own.
void setBuiltInPublicKey(const QByteArray &key);

// The signature file's text for a raw signature: base64 and a line end.
QByteArray signatureFileText(const QByteArray &rawSignature);

// True when signatureFile holds a valid signature of data by publicKey;
// otherwise false with a short reason ("malformed signature", "signature
// does not match", ...).
bool verifyCatalogueSignature(const QByteArray &data, const QByteArray &signatureFile,
                              const QByteArray &publicKey, QString *reason = nullptr);

// Lower-case hexadecimal SHA-256 of data, and of a file's content (empty
// when the file cannot be read).
QString sha256Hex(const QByteArray &data);
QString fileSha256Hex(const QString &path);

// A "sha256" member is usable when it is 64 hexadecimal digits (either case).
bool isSha256Text(const QString &text);

// The password file as the workflow reads it: after descrambling, records of
// four lines each ("@" address, two data lines, "q") holding 32 bytes, at
// least one record, and no further line, since the records are found by
// counting line ends from the file's end. False with a reason otherwise (an
// error page, an empty body, a cut or padded file).
bool checkPasswordFile(const QByteArray &bytes, QString *reason = nullptr);

} // namespace catalogue
