#include "virtualinstruments.h"

#include "devicesources.h"
#include "simulator.h"

namespace nvx {

namespace {
constexpr uint8_t kFactoryMajor = 1;
constexpr uint8_t kFactoryMinor = 10;
const char kDescription[] = "NVX7300";
} // namespace

struct VirtualInstruments::Entry
{
    nvxsim::Simulator simulator;
    QString serialNumber;
    int deviceId = -1;
};

VirtualInstruments::VirtualInstruments() = default;

VirtualInstruments::~VirtualInstruments()
{
    for (const auto &entry : m_entries) {
        if (entry->deviceId >= 0)
            discovery::removeExtraDevice(entry->deviceId);
    }
}

bool VirtualInstruments::start(int count)
{
    std::vector<std::unique_ptr<Entry>> started;
    for (int i = 0; i < count; ++i) {
        auto entry = std::make_unique<Entry>();
        nvxsim::loadDefaultInstrument(entry->simulator, kFactoryMajor, kFactoryMinor);
        if (!entry->simulator.start())
            return false;
        entry->serialNumber = QStringLiteral("VIRTUAL%1").arg(m_entries.size() + started.size() + 1);
        started.push_back(std::move(entry));
    }
    for (auto &entry : started) {
        entry->deviceId = discovery::addExtraDevice(entry->serialNumber, QString::fromLatin1(kDescription),
                                                    QString::fromStdString(entry->simulator.slavePath()));
        m_entries.push_back(std::move(entry));
    }
    return true;
}

int VirtualInstruments::count() const
{
    return static_cast<int>(m_entries.size());
}

nvxsim::Simulator &VirtualInstruments::instrument(int index)
{
    return m_entries.at(static_cast<size_t>(index))->simulator;
}

QString VirtualInstruments::serialNumber(int index) const
{
    return m_entries.at(static_cast<size_t>(index))->serialNumber;
}

QString VirtualInstruments::portName(int index) const
{
    return QString::fromStdString(m_entries.at(static_cast<size_t>(index))->simulator.slavePath());
}

void VirtualInstruments::setListed(int index, bool listed)
{
    Entry &entry = *m_entries.at(static_cast<size_t>(index));
    if (listed == (entry.deviceId >= 0))
        return;
    if (listed) {
        entry.deviceId = discovery::addExtraDevice(entry.serialNumber, QString::fromLatin1(kDescription),
                                                   QString::fromStdString(entry.simulator.slavePath()));
    } else {
        discovery::removeExtraDevice(entry.deviceId);
        entry.deviceId = -1;
    }
}

bool VirtualInstruments::isListed(int index) const
{
    return m_entries.at(static_cast<size_t>(index))->deviceId >= 0;
}

} // namespace nvx
