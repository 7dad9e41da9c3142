#pragma once

#include "firmwarestore.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace catalogue {
struct CatalogueDocument;
}

// The catalogue a reader of the store uses, and how a new one is installed.
//
// The catalogue and its signature are one thing: a reader uses the stored
// pair when it belongs together; when it does not (an install cut short, a
// failed flush, a crash) or the catalogue no longer parses, it uses the kept
// copy ("731Versions.kept"), else the built-in catalogue. An install writes
// the kept copy first, then renames the catalogue and then the signature into
// place, and reports what a reader finds afterwards. The newest publication
// time ever accepted is kept on its own ("731Versions.published"), so that
// going back to a built-in copy never makes an older signed catalogue
// acceptable again. Without a key any catalogue is read and no signature is
// kept.
class StoredCatalogue
{
public:
    // Where the catalogue a reader uses comes from, and what is wrong with the stored pair.
    enum class Source { None, Stored, Kept, BuiltIn };
    enum class Trouble { None, Missing, Unreadable, Damaged, Untrusted };
    struct Installed
    {
        Source source = Source::None;
        Trouble stored = Trouble::None;
        QString problem;      // the stored pair's trouble in words
        QByteArray bytes;     // the catalogue in use
        QByteArray signature; // its signature; empty without a key
    };

    // key: the raw Ed25519 key catalogues must be signed with; empty: none.
    StoredCatalogue(const FirmwareStore &store, const QByteArray &key);

    static QByteArray builtIn();

    Installed read() const;
    // As the store lock's holder: puts the catalogue a reader fell back on in
    // place, or keeps a good stored one as the last good copy.
    void tend(const Installed &installed) const;
    // Empty when a downloaded document may replace the installed catalogue,
    // otherwise why not: with a key, one older than the newest accepted (a
    // replay); with or without, one published more than a day ahead of this
    // computer's clock.
    QString refusal(const catalogue::CatalogueDocument &document) const;
    // Installs the staged download (with its staged signature, keyed) and
    // says whether it is now the catalogue a reader uses, whatever failed on
    // the way.
    bool install(const QByteArray &bytes, const QByteArray &signature, const QDateTime &published,
                 QString *reason) const;

private:
    bool keyed() const { return !key.isEmpty(); }
    bool trusted(const QByteArray &bytes, const QByteArray &signature, QString *reason) const;
    // The newest publication time the store has accepted; false when it cannot be told.
    bool newestAccepted(QDateTime *newest, QString *error) const;
    bool rememberPublication(const QDateTime &published, QString *error) const;

    FirmwareStore store;
    QByteArray key;
};

namespace catalogue {

// Copies the built-in file name (from the resources' firmware folder) into
// directory when nothing is there, owner read and write so that downloads
// can replace it, and makes directory the current directory when it copies.
// A file that cannot be examined is left as it is: it may hold what the
// store learned.
void installBuiltInFile(const QString &directory, const QString &name);
// The built-in catalogue and password file, where they are missing.
void installBuiltIns(const QString &directory);
// The built-in firmware image, where it is missing.
void installBuiltInImage(const QString &directory);

} // namespace catalogue
