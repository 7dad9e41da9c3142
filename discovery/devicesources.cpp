#include "devicesources.h"

#include "d2xxdriver.h"
#include "listeddevicedriver.h"

#include <QHash>
#include <QPair>

namespace discovery {

namespace {

struct Sources
{
    DriverFactory factory;
    QVector<QPair<int, ListedDevice>> extras;
    int nextId = 1;
};

Sources &sources()
{
    static Sources s;
    return s;
}

// Two drivers shown as one: the first one's devices, then the second one's.
class ChainedDriver final : public DeviceDriver
{
public:
    ChainedDriver(std::unique_ptr<DeviceDriver> first, std::unique_ptr<DeviceDriver> second)
    {
        m_drivers[0] = std::move(first);
        m_drivers[1] = std::move(second);
    }

    DriverStatus createDeviceInfoList(quint32 *count) override
    {
        for (int d = 0; d < 2; ++d) {
            if (m_drivers[d]->createDeviceInfoList(&m_counts[d]) != kDriverOk)
                m_counts[d] = 0;
            m_counts[d] = qMin(m_counts[d], kMaxDriverDevices);
        }
        *count = m_counts[0] + m_counts[1];
        return kDriverOk;
    }

    DriverStatus getDeviceInfoList(QVector<DeviceInfo> *records, quint32 *count) override
    {
        QVector<DeviceInfo> joined;
        m_route.clear();
        for (int d = 0; d < 2; ++d) {
            QVector<DeviceInfo> part(int(m_counts[d]));
            quint32 filled = m_counts[d];
            if (filled == 0 || m_drivers[d]->getDeviceInfoList(&part, &filled) != kDriverOk)
                continue;
            for (int i = 0; i < int(qMin(filled, quint32(part.size()))); ++i) {
                joined.append(part.at(i));
                m_route.append(qMakePair(d, i));
            }
        }
        const int n = qMin(joined.size(), records->size());
        for (int i = 0; i < n; ++i)
            (*records)[i] = joined.at(i);
        *count = quint32(n);
        return kDriverOk;
    }

    DriverStatus open(int index, DeviceHandle *handle) override
    {
        if (index < 0 || index >= m_route.size())
            return kDriverDeviceNotFound;
        const QPair<int, int> route = m_route.at(index);
        DeviceHandle inner = 0;
        const DriverStatus status = m_drivers[route.first]->open(route.second, &inner);
        if (status != kDriverOk)
            return status;
        *handle = m_nextHandle++;
        m_handles.insert(*handle, qMakePair(route.first, inner));
        return kDriverOk;
    }

    DriverStatus comPortNumber(DeviceHandle handle, long *number, QString *systemName) override
    {
        const auto it = m_handles.constFind(handle);
        if (it == m_handles.constEnd())
            return kDriverInvalidHandle;
        return m_drivers[it->first]->comPortNumber(it->second, number, systemName);
    }

    DriverStatus close(DeviceHandle handle) override
    {
        const auto it = m_handles.find(handle);
        if (it == m_handles.end())
            return kDriverInvalidHandle;
        const DriverStatus status = m_drivers[it->first]->close(it->second);
        m_handles.erase(it);
        return status;
    }

private:
    std::unique_ptr<DeviceDriver> m_drivers[2];
    quint32 m_counts[2] = {0, 0};
    QVector<QPair<int, int>> m_route;              // outer index -> (driver, inner index)
    QHash<DeviceHandle, QPair<int, DeviceHandle>> m_handles; // outer -> (driver, inner handle)
    DeviceHandle m_nextHandle = 1;
};

} // namespace

void setDriverFactory(DriverFactory factory)
{
    sources().factory = std::move(factory);
}

int addExtraDevice(const QString &serialNumber, const QString &description, const QString &portName)
{
    const int id = sources().nextId++;
    sources().extras.append(qMakePair(id, ListedDevice{serialNumber.toLatin1(), description.toLatin1(), portName}));
    return id;
}

void removeExtraDevice(int id)
{
    QVector<QPair<int, ListedDevice>> &extras = sources().extras;
    for (int i = 0; i < extras.size(); ++i) {
        if (extras.at(i).first == id) {
            extras.remove(i);
            return;
        }
    }
}

void clearExtraDevices()
{
    sources().extras.clear();
}

std::unique_ptr<DeviceDriver> createPlatformDriver()
{
#ifdef Q_OS_WIN
    return createD2xxDriver();
#else
    return createSerialPortDriver();
#endif
}

std::unique_ptr<DeviceDriver> createDriver()
{
    std::unique_ptr<DeviceDriver> driver = sources().factory ? sources().factory() : createPlatformDriver();
    if (!driver)
        driver = std::make_unique<ListedDeviceDriver>(QVector<ListedDevice>());
    if (sources().extras.isEmpty())
        return driver;
    QVector<ListedDevice> extras;
    for (const auto &extra : qAsConst(sources().extras))
        extras.append(extra.second);
    return std::make_unique<ChainedDriver>(std::move(driver), std::make_unique<ListedDeviceDriver>(extras));
}

} // namespace discovery
