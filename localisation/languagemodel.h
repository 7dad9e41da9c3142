#pragma once

#include "languageentry.h"

#include <QAbstractListModel>
#include <QVector>

// The rows behind the window's language combo box, in the order added.
class LanguageModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum LanguageRoles {
        CodeRole = Qt::UserRole + 1, // 257
        NameRole,                    // 258
        FileNameRole                 // 259
    };

    explicit LanguageModel(QObject *parent = nullptr);

    Q_INVOKABLE void addLanguage(const QString &code, const QString &name, const QString &fileName);
    Q_INVOKABLE void removeLanguage(int row);
    Q_INVOKABLE void clearLanguages();
    // Field by small code for the window's scripts: 0 code, 1 name, 2 fileName.
    Q_INVOKABLE QVariant myData(int index, int role) const;

public slots:
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    QVariant field(int row, int role) const;

    QVector<LanguageEntry> m_languages;
};
