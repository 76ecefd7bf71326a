// The device's firmware-update unit: a FireWire unit with a small block of registers in its
// node's initial register space. One operation per register access; the order of the steps
// belongs to the callers.
#pragma once

#include <string>

#include "FWLib_Device.h"

class DownloadUnit : public FWLib::Device {
public:
    // The keys of the update unit's unit directory. The specifier ID is a locally administered
    // 24-bit company ID (bit 0x020000 set), so it belongs to no registered company and cannot
    // match another vendor's unit.
    static constexpr UInt32 kFirmwareUpdateUnitSpecID = 0x0A4F52;
    static constexpr UInt32 kFirmwareUpdateUnitSWVersion = 0x11;
    // The register block: fixed, in the node's initial register space, not read from the
    // configuration ROM.
    static constexpr UInt16 kRegisterSpace = 0xFFFF;
    static constexpr UInt32 kRegisterBase = 0xF0430000;

    // Throws std::exception when the device interface cannot be built.
    explicit DownloadUnit(io_service_t service);
    ~DownloadUnit() override;

    // Update operations. Each makes one register access with device-relative addressing and
    // failOnReset false, and returns its status; none retries.
    IOReturn BeginUpdate(UInt32& generation);
    // 0 erases the FPGA image, 1 the M-CORE image.
    IOReturn SetUpdateCommand(UInt32& generation, UInt32& updatetype);
    // Every block goes to the one data port, whatever `offset`: the unit takes header and data as
    // one stream in the order sent. `length` must be a multiple of 4 and at most
    // MaxDownloadBlockSize().
    IOReturn SendBlock(void* bytes, unsigned int length, UInt32 offset, UInt32& generation);
    // The unit checks the CRC against what it received and fails this write when they differ.
    IOReturn SendCRCAndVerify(UInt32 crc, UInt32& generation);
    // Writes 2 to update control, then reads it until bit 0 clears. Ends at the first failed
    // read (its status), or with kIOReturnTimeout when bit 0 is still set after
    // kCancelPollLimit reads.
    IOReturn CancelTransfer(UInt32& generation);
    // The unit leaves update mode on its own once it has verified the image: nothing to send.
    IOReturn RestoreNormalOperation(UInt32& generation);

    // Identity reads, made with generation 0.
    IOReturn GetSoftwareVersion(UInt32& version);
    IOReturn GetProductRevision(UInt32& revision);
    // Up to 8 characters, ending at the first NUL; empty after a failed read.
    IOReturn GetProductSerNum(std::string& serNum);

    unsigned int MaxDownloadBlockSize() { return 128; }
    // The pause between blocks belongs to the download sequence.
    IOReturn DownloadDataWait() { return kIOReturnSuccess; }

    // Register accessors, one access each.
    IOReturn ReadStatusRegister(UInt32& value, UInt32 generation);
    IOReturn ReadUpdateControl(UInt32& value, UInt32 generation);
    IOReturn WriteUpdateControl(UInt32 value, UInt32 generation);
    IOReturn WriteUpdateCommand(UInt32 value, UInt32 generation);
    IOReturn WriteCRCReg(UInt32 value, UInt32 generation);

    static constexpr unsigned kCancelPollLimit = 1000;

private:
    void InitAddresses();

    FWAddressStruct m_addr_command_regs;
    FWAddressStruct m_addr_crc_reg;
    FWAddressStruct m_addr_update_data;
    FWAddressStruct m_addr_update_control;
    FWAddressStruct m_addr_update_command;
    FWAddressStruct m_addr_sw_version;
    FWAddressStruct m_addr_product_version;
    FWAddressStruct m_addr_status_reg;
    FWAddressStruct m_addr_sernum;
};
