#include "DownloadUnit.h"

#include <algorithm>
#include <iostream>

namespace {

// Update control values.
constexpr UInt32 kBeginUpdate = 1;
constexpr UInt32 kCancel = 2;
constexpr UInt32 kCancelBusy = 1;  // bit 0 while a cancelled transfer winds down

constexpr UInt32 kSerialNumberLength = 8;

}  // namespace

DownloadUnit::DownloadUnit(io_service_t service) : FWLib::Device(service) {
    std::cout << "Ctor DownloadUnit\n";
    InitAddresses();
}

DownloadUnit::~DownloadUnit() { std::cout << "Dtor DownloadUnit\n"; }

void DownloadUnit::InitAddresses() {
    m_addr_command_regs = FWAddressStruct(kRegisterSpace, kRegisterBase);
    const UInt32 base = m_addr_command_regs.addressLo;
    m_addr_update_control = FWAddressStruct(0xFFFF, base + 0x0);
    m_addr_sw_version = FWAddressStruct(0xFFFF, base + 0x4);
    m_addr_product_version = FWAddressStruct(0xFFFF, base + 0x8);
    m_addr_update_command = FWAddressStruct(0xFFFF, base + 0xC);
    m_addr_crc_reg = FWAddressStruct(0xFFFF, base + 0x10);
    m_addr_status_reg = FWAddressStruct(0xFFFF, base + 0x14);
    m_addr_update_data = FWAddressStruct(0xFFFF, base + 0x20);
    m_addr_sernum = FWAddressStruct(0xFFFF, m_addr_update_data.addressLo + 0x200);
}

IOReturn DownloadUnit::BeginUpdate(UInt32& generation) {
    return WriteUpdateControl(kBeginUpdate, generation);
}

IOReturn DownloadUnit::SetUpdateCommand(UInt32& generation, UInt32& updatetype) {
    return WriteUpdateCommand(updatetype, generation);
}

IOReturn DownloadUnit::SendBlock(void* bytes, unsigned int length, UInt32 /*offset*/,
                                 UInt32& generation) {
    UInt32 size = length;
    const IOReturn status = Write(m_addr_update_data, bytes, size, false, false, generation);
    DownloadDataWait();
    return status;
}

IOReturn DownloadUnit::SendCRCAndVerify(UInt32 crc, UInt32& generation) {
    return WriteCRCReg(crc, generation);
}

IOReturn DownloadUnit::CancelTransfer(UInt32& generation) {
    // A failed write is not final: the read below tells whether the unit is winding down anyway.
    IOReturn status = WriteUpdateControl(kCancel, generation);
    for (unsigned reads = 0; reads < kCancelPollLimit; ++reads) {
        UInt32 value = 0;
        status = ReadUpdateControl(value, generation);
        if (status != kIOReturnSuccess || (value & kCancelBusy) == 0) return status;
    }
    return kIOReturnTimeout;  // still busy: the cancel has not completed
}

IOReturn DownloadUnit::RestoreNormalOperation(UInt32& /*generation*/) { return kIOReturnSuccess; }

IOReturn DownloadUnit::GetSoftwareVersion(UInt32& version) {
    return ReadQuadlet(m_addr_sw_version, version, false, false, 0);
}

IOReturn DownloadUnit::GetProductRevision(UInt32& revision) {
    return ReadQuadlet(m_addr_product_version, revision, false, false, 0);
}

IOReturn DownloadUnit::GetProductSerNum(std::string& serNum) {
    char buffer[kSerialNumberLength + 1] = {};
    UInt32 count = kSerialNumberLength;
    const IOReturn status = Read(m_addr_sernum, buffer, count, false, false, 0);
    if (status != kIOReturnSuccess) {
        serNum.clear();  // the read delivered nothing defined
        return status;
    }
    buffer[std::min(count, kSerialNumberLength)] = '\0';
    serNum = buffer;
    return status;
}

IOReturn DownloadUnit::ReadStatusRegister(UInt32& value, UInt32 generation) {
    return ReadQuadlet(m_addr_status_reg, value, false, false, generation);
}

IOReturn DownloadUnit::ReadUpdateControl(UInt32& value, UInt32 generation) {
    return ReadQuadlet(m_addr_update_control, value, false, false, generation);
}

IOReturn DownloadUnit::WriteUpdateControl(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_update_control, value, false, false, generation);
}

IOReturn DownloadUnit::WriteUpdateCommand(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_update_command, value, false, false, generation);
}

IOReturn DownloadUnit::WriteCRCReg(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_crc_reg, value, false, false, generation);
}
