// Writes a demo firmware set for the catalogue server:
//   nvx7300-make-demo-catalogue OUTDIR BASEURL
// OUTDIR/731/ receives three firmware images, the password file and
// "731Versions.json" whose urls start with BASEURL/731/. Serve OUTDIR with
// nvx7300-catalogue-server and point the catalogue at BASEURL/731.
//   nvx7300-make-demo-catalogue --built-in OUTDIR
// rewrites the plain sources of the built-in firmware resources.
//   nvx7300-make-demo-catalogue --firmware-only OUTDIR
// writes only the plain firmware images and the password file into OUTDIR,
// the input nvx7300-publish turns into a signed catalogue.

#include "demofirmware.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
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
    if (args.size() == 3 && args.at(1) == QLatin1String("--firmware-only")) {
        const QDir out(args.at(2));
        if (!QDir().mkpath(out.path())) {
            std::fprintf(stderr, "nvx7300-make-demo-catalogue: cannot create %s\n", qPrintable(out.path()));
            return 1;
        }
        QList<QPair<QString, QByteArray>> files{{nvx::demo::passwordFileName(), nvx::demo::passwordFile()}};
        for (const nvx::demo::DemoVersion &v : nvx::demo::demoVersions())
            files.append({v.filename(), nvx::demo::firmwareImage(v.major, v.minor)});
        for (const auto &file : files) {
            QFile f(out.filePath(file.first));
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(file.second) != file.second.size()) {
                std::fprintf(stderr, "nvx7300-make-demo-catalogue: %s: %s\n", qPrintable(f.fileName()),
                             qPrintable(f.errorString()));
                return 1;
            }
        }
        return 0;
    }
    if (args.size() != 3) {
        std::fputs("usage: nvx7300-make-demo-catalogue OUTDIR BASEURL | --built-in OUTDIR | --firmware-only OUTDIR\n", stderr);
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
