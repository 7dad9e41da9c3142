#pragma once

#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

// The catalogue server program on a free port of 127.0.0.1, serving the demo
// catalogue (whose firmware addresses name this server) from a folder of its
// own. Stopped with the object; never outlives a test that was killed.
class CatalogueServer
{
public:
    CatalogueServer() = default;
    ~CatalogueServer();
    CatalogueServer(const CatalogueServer &) = delete;
    CatalogueServer &operator=(const CatalogueServer &) = delete;

    // False with a reason when the server or the catalogue cannot be made.
    bool start(QString *error);

    // The address to give as --catalogue-url.
    QString catalogueUrl() const { return m_url + QStringLiteral("/731"); }
    // Its port on 127.0.0.1; it also answers as a proxy (nvxtest::childEnvironment).
    quint16 port() const { return quint16(m_url.section(QLatin1Char(':'), -1).toUInt()); }

    // Puts the served catalogue into a store folder, as after an earlier
    // start: on a first start the built-in catalogue names the archive host.
    bool seedStore(const QString &storeDirectory) const;

private:
    QTemporaryDir m_served;
    pid_t m_pid = -1;
    QString m_url;
};
