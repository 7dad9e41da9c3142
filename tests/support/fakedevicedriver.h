#pragma once

#include "devicedriver.h"
#include "devicesources.h"

#include <QSet>
#include <QStringList>

#include <memory>

// Stands in for the vendor driver library, which cannot run here. Records
// every call and can fail the next N calls of any kind.
class FakeDeviceDriver : public discovery::DeviceDriver
{
public:
    struct Bridge
    {
        QByteArray serialNumber;
        QByteArray description;
        long comPort;
    };

    QVector<Bridge> bridges;
    discovery::DriverStatus listStatus = discovery::kDriverOk;
    discovery::DriverStatus copyStatus = discovery::kDriverOk;
    qint64 countWrittenBack = -1; // >= 0: the copy call reports this count
    QSet<int> refusedIndexes;     // open() fails for these
    bool portQueryFails = false;
    int failNextCalls = 0;
    QStringList calls;
    QSet<discovery::DeviceHandle> openHandles;

    discovery::DriverStatus createDeviceInfoList(quint32 *count) override
    {
        calls << QStringLiteral("list");
        *count = quint32(bridges.size());
        return failing() ? discovery::kDriverOtherError : listStatus;
    }

    discovery::DriverStatus getDeviceInfoList(QVector<discovery::DeviceInfo> *records, quint32 *count) override
    {
        calls << QStringLiteral("copy %1").arg(*count);
        if (failing())
            return discovery::kDriverOtherError;
        if (copyStatus != discovery::kDriverOk)
            return copyStatus;
        const int n = qMin(records->size(), bridges.size());
        for (int i = 0; i < n; ++i)
            (*records)[i] = discovery::DeviceInfo{bridges.at(i).serialNumber, bridges.at(i).description};
        *count = countWrittenBack >= 0 ? quint32(countWrittenBack) : quint32(n);
        return discovery::kDriverOk;
    }

    discovery::DriverStatus open(int index, discovery::DeviceHandle *handle) override
    {
        calls << QStringLiteral("open %1").arg(index);
        if (failing() || refusedIndexes.contains(index))
            return discovery::kDriverDeviceNotOpened;
        *handle = discovery::DeviceHandle(100 + index);
        openHandles.insert(*handle);
        return discovery::kDriverOk;
    }

    discovery::DriverStatus comPortNumber(discovery::DeviceHandle handle, long *number, QString *) override
    {
        calls << QStringLiteral("port %1").arg(handle);
        if (failing() || portQueryFails)
            return discovery::kDriverOtherError; // leaves the number alone
        *number = bridges.at(int(handle - 100)).comPort;
        return discovery::kDriverOk;
    }

    discovery::DriverStatus close(discovery::DeviceHandle handle) override
    {
        calls << QStringLiteral("close %1").arg(handle);
        openHandles.remove(handle);
        return discovery::kDriverOk;
    }

private:
    bool failing()
    {
        if (failNextCalls <= 0)
            return false;
        --failNextCalls;
        return true;
    }
};

// Lends a test-owned fake to USBDeviceList::load(), which owns its driver.
class BorrowedDriver final : public discovery::DeviceDriver
{
public:
    explicit BorrowedDriver(discovery::DeviceDriver *inner) : m_inner(inner) {}
    discovery::DriverStatus createDeviceInfoList(quint32 *count) override { return m_inner->createDeviceInfoList(count); }
    discovery::DriverStatus getDeviceInfoList(QVector<discovery::DeviceInfo> *records, quint32 *count) override
    {
        return m_inner->getDeviceInfoList(records, count);
    }
    discovery::DriverStatus open(int index, discovery::DeviceHandle *handle) override { return m_inner->open(index, handle); }
    discovery::DriverStatus comPortNumber(discovery::DeviceHandle h, long *number, QString *name) override
    {
        return m_inner->comPortNumber(h, number, name);
    }
    discovery::DriverStatus close(discovery::DeviceHandle handle) override { return m_inner->close(handle); }

private:
    discovery::DeviceDriver *m_inner;
};

inline void useFakeDriver(FakeDeviceDriver *fake)
{
    discovery::setDriverFactory([fake] { return std::make_unique<BorrowedDriver>(fake); });
}
