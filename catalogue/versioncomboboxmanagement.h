#pragma once

#include "versionentry.h"

#include <QList>
#include <QModelIndex>
#include <QObject>
#include <QUrl>

class DownloadManager;
class VersionModel;

// Keeps the local firmware store up to date from the catalogue server and
// lists the versions whose firmware files are present in a VersionModel.
class VersionComboBoxManagement : public QObject
{
    Q_OBJECT

public:
    // Uses the catalogue server chosen at build time.
    explicit VersionComboBoxManagement(QObject *parent = nullptr);
    // serverBase is the folder that holds the catalogue, e.g. "http://host/731".
    explicit VersionComboBoxManagement(const QUrl &serverBase, QObject *parent = nullptr);
    ~VersionComboBoxManagement() override;

    // "http://" + the build-time catalogue host + "/731".
    static QUrl defaultServerBase();
    // The writable application-data location + "/firmware"; empty when the
    // location cannot be determined.
    static QString firmwareDirectory();

public slots:
    void metadataDownloadFinished(int status, QUrl url);
    void firmwareDownloadFinished(int status, QUrl url);
    void passwordDownloadFinished(int status, QUrl url);

public:
    Q_INVOKABLE bool printValues(VersionModel *model, QModelIndex modelIndex);
    Q_INVOKABLE void refreshValues(VersionModel *model);
    // The same without the network: installs the built-in files and lists the
    // local catalogue's versions whose files are present; starts no download.
    Q_INVOKABLE void refreshLocalValues(VersionModel *model);
    Q_INVOKABLE void setAppPath(QUrl appPath);

private:
    void installBuiltInFile(const QString &resourceDir, const QString &resourceName, const QString &targetDir,
                            const QString &targetName);
    bool processMetadataFile(const QString &path);
    void processPasswordFile(const QString &path);

    // Creates, keeps and starts a download into the firmware directory,
    // unless a transfer to the same file is still running.
    DownloadManager *startDownload(const QUrl &url, void (VersionComboBoxManagement::*slot)(int, QUrl));
    bool transferRunningTo(const QString &fileName) const;
    QString finishedFilePath(const QUrl &url) const;
    QString fileUrl(const QString &fileName) const;

    VersionModel *model = nullptr;
    QList<VersionEntry> pendingVersions;
    QList<DownloadManager *> downloads;
    QUrl appPath;
    int metadataDownloadIndex = -1;
    int passwordDownloadIndex = -1;

    QUrl serverBase;
    bool localOnly = false; // set only while refreshLocalValues runs
};
