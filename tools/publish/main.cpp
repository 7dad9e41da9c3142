// Publishes a folder of plain firmware files for the catalogue server:
//   nvx7300-publish --input DIR --output DIR --base-url URL --key PRIVATE_KEY_FILE
// The output folder receives the scrambled firmware files, "731Versions.json"
// (newest first, a "sha256" for every file, urls URL/filename), its Ed25519
// signature "731Versions.json.sig" and the password file when the input has
// it. The result is then read back through the program's catalogue code.

#include "publisher.h"
#include "signingkey.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nvx7300-publish"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Scrambles, lists and signs NVX7300 firmware for the catalogue server."));
    parser.addHelpOption();
    const QCommandLineOption inputOption(QStringLiteral("input"),
                                         QStringLiteral("Folder of plain firmware files (731-MMM-NNN-YYYY-MM-DD-hhmm.txt)."),
                                         QStringLiteral("dir"));
    const QCommandLineOption outputOption(QStringLiteral("output"), QStringLiteral("Folder to publish into."),
                                          QStringLiteral("dir"));
    const QCommandLineOption baseOption(QStringLiteral("base-url"),
                                        QStringLiteral("Where the output folder is served, e.g. http://host/731."),
                                        QStringLiteral("url"));
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("Ed25519 private key: PEM or 32 raw bytes."),
                                       QStringLiteral("file"));
    parser.addOptions({inputOption, outputOption, baseOption, keyOption});
    parser.process(app);

    for (const QCommandLineOption &option : {inputOption, outputOption, baseOption, keyOption}) {
        if (parser.value(option).isEmpty()) {
            std::fprintf(stderr, "nvx7300-publish: --%s is required\n", qPrintable(option.names().constFirst()));
            return 2;
        }
    }

    QString error;
    const SigningKey key = SigningKey::fromFile(parser.value(keyOption), &error);
    if (!key.isValid()) {
        std::fprintf(stderr, "nvx7300-publish: %s\n", qPrintable(error));
        return 2;
    }
    publish::Publication publication;
    if (!publish::publishFolder(parser.value(inputOption), parser.value(outputOption), parser.value(baseOption), key,
                                &publication, &error)) {
        std::fprintf(stderr, "nvx7300-publish: %s\n", qPrintable(error));
        return 1;
    }
    if (!publish::readBack(parser.value(outputOption), parser.value(baseOption), key.publicKey(),
                           publication.published, &error)) {
        std::fprintf(stderr, "nvx7300-publish: read-back failed: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("Published %d firmware files%s; public key %s\n", int(publication.published.size()),
                publication.passwordCopied ? " and the password file" : "", key.publicKey().toBase64().constData());
    return 0;
}
