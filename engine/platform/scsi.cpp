#include "platform/scsi.h"

#include <atomic>

namespace tarvelin::platform {

namespace {
std::atomic<IScsiTransport*> installedTransport{nullptr};
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
