#include "enginebench.h"

#include "bslengine.h"

int RecordingSink::run(const std::vector<std::string> &args)
{
    std::vector<std::string> texts;
    texts.push_back("BSLENGINE");
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &t : texts)
        argv.push_back(&t[0]);
    return bsl::bslEngineMain(int(argv.size()), argv.data(), *this, kept, line);
}
