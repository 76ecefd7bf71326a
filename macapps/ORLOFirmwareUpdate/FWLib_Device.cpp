#include "FWLib_Device.h"

#include <exception>
#include <iostream>

namespace FWLib {

Device::Device(io_service_t service) {
    IOReturn status =
        service ? service.stack->CreatePlugIn(service, mIOCFPlugInInterface) : kIOReturnNoDevice;
    if (status != kIOReturnSuccess) {
        std::cerr << "Couldn't create plug in interface\n";
        throw std::exception();
    }
    status = mIOCFPlugInInterface->QueryInterface(mDevice);
    if (status != kIOReturnSuccess) {
        std::cerr << __FILE_NAME__ << ":" << __LINE__ << " "
                  << "CFPlugInInterface->QueryInterface returned error\n";
        mIOCFPlugInInterface.reset();
        throw std::exception();
    }
}

Device::~Device() {
    mDevice.reset();
    mIOCFPlugInInterface.reset();
}

IOReturn Device::Open() {
    std::cout << "FWDL::Open\n";
    return mClaimed ? kIOReturnSuccess : mDevice->Open();
}

void Device::Close() {
    std::cout << "FWDL::Close\n";
    if (!mClaimed) mDevice->Close();
}

IOReturn Device::Claim() {
    const IOReturn status = mDevice->Open();
    mClaimed = status == kIOReturnSuccess;
    return status;
}

void Device::ReleaseClaim() {
    if (!mClaimed) return;
    mClaimed = false;
    mDevice->Close();
}

IOReturn Device::GetBusGeneration(UInt32& generation) const {
    return mDevice->GetBusGeneration(generation);
}

IOReturn Device::GetGUID(UInt64& guid) const {
    return mDevice->GetGUID(guid);
}

IOReturn Device::Read(const FWAddressStruct& addr, void* buf, UInt32& size, bool abs,
                      bool failOnReset, UInt32 generation) const {
    return mDevice->Read(Target(abs), addr, buf, size, failOnReset, generation);
}

IOReturn Device::Write(const FWAddressStruct& addr, const void* buf, UInt32& size, bool abs,
                       bool failOnReset, UInt32 generation) const {
    return mDevice->Write(Target(abs), addr, buf, size, failOnReset, generation);
}

IOReturn Device::ReadQuadlet(const FWAddressStruct& addr, UInt32& value, bool abs, bool failOnReset,
                             UInt32 generation) const {
    return mDevice->ReadQuadlet(Target(abs), addr, value, failOnReset, generation);
}

IOReturn Device::WriteQuadlet(const FWAddressStruct& addr, UInt32 val, bool abs, bool failOnReset,
                              UInt32 generation) {
    return mDevice->WriteQuadlet(Target(abs), addr, val, failOnReset, generation);
}

}  // namespace FWLib
