#include "d2xxdriver.h"

#include <QDebug>

#ifdef Q_OS_WIN
#include <QLibrary>
#include <windows.h>
#endif

namespace discovery {

namespace {

QByteArray fieldText(const char *field, int size)
{
    return QByteArray(field, int(qstrnlen(field, uint(size))));
}

} // namespace

QVector<DeviceInfo> parseD2xxRecords(const QByteArray &buffer, quint32 count)
{
    const quint32 whole = quint32(buffer.size() / kD2xxRecordSize);
    const int n = int(qMin(count, whole));
    QVector<DeviceInfo> records;
    records.reserve(n);
    for (int i = 0; i < n; ++i) {
        const char *record = buffer.constData() + i * kD2xxRecordSize;
        records.append(DeviceInfo{fieldText(record + kD2xxSerialOffset, kD2xxSerialSize),
                                  fieldText(record + kD2xxDescriptionOffset, kD2xxDescriptionSize)});
    }
    return records;
}

#ifdef Q_OS_WIN

namespace {

// Library calls, by ordinal; every one returns a 32-bit status.
using CreateListFn = ULONG(WINAPI *)(DWORD *count);                // 70
using GetListFn = ULONG(WINAPI *)(void *records, DWORD *count);    // 71
using OpenFn = ULONG(WINAPI *)(int index, void **handle);          // 1
using ComPortFn = ULONG(WINAPI *)(void *handle, LONG *portNumber); // 80
using CloseFn = ULONG(WINAPI *)(void *handle);                     // 2

template <typename Fn>
Fn byOrdinal(HMODULE module, WORD ordinal)
{
    // Through void(*)() so that the compiler accepts the change of signature.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

class D2xxDriver final : public DeviceDriver
{
public:
    D2xxDriver()
        : m_library(QStringLiteral("FTD2XX.dll"))
    {
        if (!m_library.load()) {
            qDebug().noquote() << QStringLiteral("FTD2XX.dll not loaded: ") + m_library.errorString();
            return;
        }
        const HMODULE module = GetModuleHandleW(L"FTD2XX.dll");
        if (module == nullptr)
            return;
        m_createList = byOrdinal<CreateListFn>(module, 70);
        m_getList = byOrdinal<GetListFn>(module, 71);
        m_open = byOrdinal<OpenFn>(module, 1);
        m_comPort = byOrdinal<ComPortFn>(module, 80);
        m_close = byOrdinal<CloseFn>(module, 2);
        if (!ready())
            qDebug("FTD2XX.dll lacks the device-list calls");
    }

    DriverStatus createDeviceInfoList(quint32 *count) override
    {
        if (!ready()) { // no library: no devices, already logged
            *count = 0;
            return kDriverOk;
        }
        DWORD n = 0;
        const ULONG status = m_createList(&n);
        *count = quint32(n);
        return DriverStatus(status);
    }

    DriverStatus getDeviceInfoList(QVector<DeviceInfo> *records, quint32 *count) override
    {
        QByteArray buffer(records->size() * kD2xxRecordSize, '\0');
        DWORD n = DWORD(records->size());
        const ULONG status = m_getList(buffer.data(), &n);
        if (status != 0)
            return DriverStatus(status);
        *records = parseD2xxRecords(buffer, quint32(n));
        *count = quint32(records->size());
        return kDriverOk;
    }

    DriverStatus open(int index, DeviceHandle *handle) override
    {
        void *h = nullptr;
        const ULONG status = m_open(index, &h);
        *handle = reinterpret_cast<DeviceHandle>(h);
        return DriverStatus(status);
    }

    DriverStatus comPortNumber(DeviceHandle handle, long *number, QString *) override
    {
        LONG n = LONG(*number);
        const ULONG status = m_comPort(reinterpret_cast<void *>(handle), &n);
        *number = long(n);
        return DriverStatus(status);
    }

    DriverStatus close(DeviceHandle handle) override
    {
        return DriverStatus(m_close(reinterpret_cast<void *>(handle)));
    }

private:
    bool ready() const { return m_createList && m_getList && m_open && m_comPort && m_close; }

    QLibrary m_library;
    CreateListFn m_createList = nullptr;
    GetListFn m_getList = nullptr;
    OpenFn m_open = nullptr;
    ComPortFn m_comPort = nullptr;
    CloseFn m_close = nullptr;
};

} // namespace

std::unique_ptr<DeviceDriver> createD2xxDriver()
{
    return std::make_unique<D2xxDriver>();
}

#else

std::unique_ptr<DeviceDriver> createD2xxDriver()
{
    return nullptr;
}

#endif

} // namespace discovery
