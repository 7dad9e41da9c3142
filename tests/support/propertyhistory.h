#pragma once

#include <QObject>
#include <QVariant>

// Records the values a property takes, from construction on.
class PropertyHistory : public QObject
{
    Q_OBJECT

public:
    PropertyHistory(QObject *item, const char *property, QObject *parent);

    QVariantList values;

    int indexOf(const QVariant &value, int from = 0) const { return values.indexOf(value, from); }

public slots:
    void record();

private:
    QObject *m_item;
    const char *m_property;
};
