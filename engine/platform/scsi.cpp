#include "platform/scsi.h"

#include <algorithm>
#include <atomic>

namespace tarvelin::platform {

namespace {
std::atomic<IScsiTransport*> installedTransport{nullptr};
}

void ReadPassThroughOutcome(std::uint8_t status, std::uint16_t hostStatus, std::uint16_t driverStatus,
                            std::uint8_t senseWritten, ScsiResult& result)
{
    constexpr std::uint16_t kDriverSense = 0x08;
    result.delivered = true;
    result.status = status;
    result.hostStatus = hostStatus;
    result.driverStatus = static_cast<std::uint16_t>(driverStatus & ~kDriverSense);
    result.senseLength = std::min<std::uint32_t>(senseWritten, static_cast<std::uint32_t>(result.sense.size()));
}

IScsiTransport* SetScsiTransport(IScsiTransport* transport)
{
    return installedTransport.exchange(transport);
}

IScsiTransport& ActiveScsiTransport()
{
    IScsiTransport* transport = installedTransport.load();
    return transport != nullptr ? *transport : SystemScsiTransport();
}

} // namespace tarvelin::platform
