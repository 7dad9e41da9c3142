#include "catalogueserver.h"

#include "childenvironment.h"
#include "demofirmware.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <string>
#include <vector>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

CatalogueServer::~CatalogueServer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
}

bool CatalogueServer::start(QString *error)
{
    if (!m_served.isValid()) {
        *error = QStringLiteral("no folder for the catalogue server");
        return false;
    }
    int out[2];
    if (pipe(out) != 0) {
        *error = QStringLiteral("no pipe for the catalogue server");
        return false;
    }
    const std::string root = m_served.path().toStdString();
    // Built before the fork: the child only calls what is safe there.
    std::vector<std::string> variables;
    for (const QString &variable : nvxtest::childEnvironment().toStringList())
        variables.push_back(variable.toStdString());
    std::vector<char *> environment;
    for (std::string &variable : variables)
        environment.push_back(variable.data());
    environment.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execle(NVX_CATALOGUE_SERVER, NVX_CATALOGUE_SERVER, "--root", root.c_str(), "--quiet",
               static_cast<char *>(nullptr), environment.data());
        _exit(127);
    }
    close(out[1]);
    if (m_pid < 0) {
        close(out[0]);
        *error = QStringLiteral("catalogue server not started");
        return false;
    }
    // The first line is the base URL.
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(out[0]);
    m_url = QString::fromStdString(line);
    if (!m_url.startsWith(QLatin1String("http://127.0.0.1:"))) {
        *error = QStringLiteral("catalogue server did not start");
        return false;
    }
    // The server starts on the empty folder; the catalogue then names its URL.
    return nvx::demo::writeDemoCatalogue(m_served.path(), m_url, error);
}

bool CatalogueServer::seedStore(const QString &storeDirectory) const
{
    const QString target = storeDirectory + QStringLiteral("/731Versions.json");
    QFile::remove(target);
    return QDir().mkpath(storeDirectory)
        && QFile::copy(m_served.path() + QStringLiteral("/731/731Versions.json"), target);
}
