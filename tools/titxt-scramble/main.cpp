// Turns a plain TI-TXT file into the scrambled form the engine reads, or back.
//   titxt-scramble IN OUT
//   titxt-scramble --unscramble IN OUT

#include "scramblekey.h"

#include <QFile>

#include <cstdio>
#include <cstring>

namespace {

int usage()
{
    std::fputs("usage: titxt-scramble [--unscramble] IN OUT\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    bool unscramble = false;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--unscramble") == 0) {
        unscramble = true;
        first = 2;
    }
    if (argc - first != 2)
        return usage();

    const QString inName = QString::fromLocal8Bit(argv[first]);
    const QString outName = QString::fromLocal8Bit(argv[first + 1]);

    QFile in(inName);
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "titxt-scramble: cannot read %s: %s\n", argv[first], qPrintable(in.errorString()));
        return 1;
    }
    const QByteArray text = in.readAll();
    in.close();

    const QByteArray result = unscramble ? bsl::unscrambleText(text) : bsl::scrambleText(text);

    QFile out(outName);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(result) != result.size()) {
        std::fprintf(stderr, "titxt-scramble: cannot write %s: %s\n", argv[first + 1], qPrintable(out.errorString()));
        return 1;
    }
    if (!out.flush()) {
        std::fprintf(stderr, "titxt-scramble: cannot write %s\n", argv[first + 1]);
        return 1;
    }
    return 0;
}
