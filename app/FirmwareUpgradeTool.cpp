#include "FirmwareUpgradeTool.h"

#include "DeviceSession.h"
#include "FirmwareUpdateSession.h"
#include "JwDeviceManager.h"
#include "JwUsbMidiH3.h"
#include "Reconnect.h"

#include <iostream>

namespace console
{

FirmwareUpgradeTool::FirmwareUpgradeTool (const juce::String& firmwarePathToUse)
    : firmwarePath (firmwarePathToUse)
{
}

bool FirmwareUpgradeTool::reopenDevice (JwDevice* device, FirmwareUpdateSession* session, void* user)
{
    return ::reopenDevice (device, session, user);
}

void FirmwareUpgradeTool::printProgress (JwDevice*, FirmwareUpdateSession*, int percentage, void*)
{
    std::cout << "Updating: " << percentage << "%" << std::endl;
}

namespace
{
std::string readSerialNumber (JwDevice* device)
{
    auto session = std::make_shared<SerialNumberSession>();

    // An amplifier left in its bootloader by an interrupted update may not answer this
    // query; the update must still be possible, so a missing reply is an empty serial.
    try
    {
        session->Perform (device);
    }
    catch (const std::runtime_error&)
    {
        return {};
    }

    return session->reply_.value_;
}

void dropCurrentDevice (jw::DeviceManager& manager)
{
    if (auto* device = manager.currentDevice())
    {
        device->Close();
        manager.setCurrentDevice (nullptr);
    }
}
} // namespace

int FirmwareUpgradeTool::execute() const
{
    auto& manager = *jw::DeviceManager::instance();
    const auto found = manager.impl->probeAll();

    if (found <= 0)
    {
        std::cout << "No device found" << std::endl;
        return 1;
    }

    std::cout << found << " device(s) found" << std::endl;

    const auto ids = manager.deviceUuids();

    if (! ids.empty())
    {
        auto* device = new JwUsbMidiH3 (reinterpret_cast<const char*> (ids.front().data()));
        manager.setCurrentDevice (device);

        if (! device->Open())
            manager.setCurrentDevice (nullptr);
    }

    auto* device = manager.currentDevice();

    if (device == nullptr)
    {
        std::cout << "Cannot connect to device!" << std::endl;
        return 1;
    }

    int status = 1;

    try
    {
        std::cout << "Get device SN:'" << readSerialNumber (device) << "'" << std::endl;

        FirmwareUpdateSession session;
        session.timeout_ms_ = 3000;
        session.error_code_ = 0;
        session.fw_path_ = firmwarePath.toStdString();
        session.fw_data_ = nullptr;
        session.load_from_file_ = true;
        session.settle_delay_ms_ = 0;
        session.block_delay_ms_ = 0;
        session.progress_cb_ = &printProgress;
        session.progress_user_data_ = nullptr;
        session.status_reset_cb_ = &reopenDevice;
        session.cb_user_data_ = nullptr;
        session.finish_cb_ = &reopenDevice;

        if (session.Perform (device))
        {
            std::cout << "Firmware upgraded!" << std::endl;
            status = 0;
        }
        else
        {
            std::cout << "Firmware upgrade failed! Error code is " << session.error_code_ << std::endl;
        }
    }
    catch (const std::exception& e)
    {
        std::cout << "Firmware upgrade failed! " << e.what() << std::endl;
    }

    dropCurrentDevice (manager);
    return status;
}

} // namespace console
