#include "propertyhistory.h"

#include <QMetaProperty>

PropertyHistory::PropertyHistory(QObject *item, const char *property, QObject *parent)
    : QObject(parent), m_item(item), m_property(property)
{
    const QMetaObject *meta = item->metaObject();
    const QMetaProperty p = meta->property(meta->indexOfProperty(property));
    connect(item, p.notifySignal(), this, metaObject()->method(metaObject()->indexOfSlot("record()")));
    record();
}

void PropertyHistory::record()
{
    values.append(m_item->property(m_property));
}
