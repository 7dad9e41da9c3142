#pragma once

#include "versionentry.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// The catalogue document "731Versions.json", read without touching the disk
// or the network: bytes in, usable entries and reasons out.
//
// Root object members read: "versions" (array, required: a document without
// it is not a catalogue), and two optional members that a signed catalogue
// carries inside its signed bytes: "published" (the publication time, ISO
// 8601 UTC such as "2024-05-01T12:00:00Z") and "passwordSha256" (the
// lower-case hexadecimal SHA-256 of the password file as served).
//
// An entry is used only when its "number" parses (versionnumber.h), its
// "filename" is a firmware name (firmwarestore.h), its "url" is an http or
// https address with a host, and its "sha256", when given, is 64 hex digits.
namespace catalogue {

struct CatalogueEntry
{
    VersionEntry version; // path left empty: the store decides where the file lives
    QString sha256;       // lower-case; empty when the entry gives none
};

struct CatalogueDocument
{
    bool ok = false;
    QString error;                 // why the bytes are not a catalogue, when !ok
    bool json = false;             // the bytes are JSON at all (an HTML error page is not)
    QList<CatalogueEntry> entries; // the usable entries, in document order
    QStringList skipped;           // "<number> <why>" for each unusable entry
    QDateTime published;           // UTC; invalid when the document gives none
    QString passwordSha256;        // lower-case; empty when the document gives none
};

CatalogueDocument parseCatalogue(const QByteArray &bytes);

// http or https with a host: the only addresses fetched, also as redirect targets.
bool isFetchableUrl(const QUrl &url);

// The form two spellings of one address share ("%2E", "%2d", an upper-case
// host, "a/../", the default port), for counting requests per address.
QString normalisedUrl(const QUrl &url);

} // namespace catalogue
