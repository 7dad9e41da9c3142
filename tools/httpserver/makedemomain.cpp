// Writes a demo firmware set for the catalogue server:
//   nvx7300-make-demo-catalogue OUTDIR BASEURL
// OUTDIR/731/ receives three firmware images, the password file and
// "731Versions.json" whose urls start with BASEURL/731/. Serve OUTDIR with
// nvx7300-catalogue-server and point the catalogue at BASEURL/731.
//   nvx7300-make-demo-catalogue --built-in OUTDIR
// rewrites the plain sources of the built-in firmware resources.

#include "demofirmware.h"

#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QString error;
    if (args.size() == 3 && args.at(1) == QLatin1String("--built-in")) {
        if (!nvx::demo::writeBuiltInSources(args.at(2), &error)) {
            std::fprintf(stderr, "nvx7300-make-demo-catalogue: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }
    if (args.size() != 3) {
        std::fputs("usage: nvx7300-make-demo-catalogue OUTDIR BASEURL | --built-in OUTDIR\n", stderr);
        return 2;
    }
    const QUrl base(args.at(2), QUrl::StrictMode);
    if (!base.isValid() || base.scheme() != QLatin1String("http") || base.host().isEmpty()) {
        std::fputs("nvx7300-make-demo-catalogue: BASEURL must be an http URL such as http://127.0.0.1:8731\n", stderr);
        return 2;
    }
    if (!nvx::demo::writeDemoCatalogue(args.at(1), args.at(2), &error)) {
        std::fprintf(stderr, "nvx7300-make-demo-catalogue: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
