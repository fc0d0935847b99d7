#include "core/Log.h"
#include "core/Singleton.h"
#include "core/TextHelpers.h"
#include "hw/DriverRequest.h"
#include "hw/IRomviseDriver.h"
#include "hw/ServiceControl.h"
#include "hw/SystemError.h"

#include <stdexcept>

namespace
{
constexpr const char* kServiceName = "ROMVISE";
constexpr const char* kServicePath = "/dev/mem";

class CRomviseDriverImpl : public CReferenceCountImpl, public IRomviseDriver
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CRomviseDriverImpl(CRefPtr<IDriverTransport> transport)
        : m_transport(transport), m_kernel(transport)
    {
        InstallDriver();
        if (const uint32_t code = m_transport->OpenDevice())
        {
            ThrowSystemError("Unable to open ROMVISE driver (0x", code,
                             m_transport->DescribeError(code));
        }
        m_deviceOpen = true;
    }

    // Release order: close the device, stop the service, remove it. Each step
    // runs even when an earlier one failed, so a failure at exit leaves as
    // little behind as it can; failures are logged, never thrown from here.
    ~CRomviseDriverImpl() override
    {
        if (m_deviceOpen)
        {
            RunAtRelease(
                [&]
                {
                    if (const uint32_t code = m_transport->CloseDevice())
                    {
                        ThrowSystemError("Error closing ROMVISE driver (0x", code,
                                         m_transport->DescribeError(code));
                    }
                });
            m_deviceOpen = false;
        }
        if (m_service)
        {
            RunAtRelease([&] { m_service->Stop(); });
            RunAtRelease([&] { m_service->Remove(); });
            m_service = nullptr;
        }
    }

    uint64_t MapPhysicalToLinear(uint32_t physical, uint32_t length) override
    {
        RequireOpen("Invalid handle in MapPhysicalToLinear");
        std::array<uint8_t, 8> output{};
        Send(kRequestMapPhysical, DriverRequest{kDriverRequestTag, physical, length}, output,
             "Error attempting to map adapter (0x");
        return ReadLittleEndian64(output, 0);
    }

    void UnmapPhysicalToLinear(uint64_t linear, uint32_t length) override
    {
        RequireOpen("Invalid handle in UnmapPhysicalToLinear");
        std::array<uint8_t, 8> output{};
        Send(kRequestUnmapPhysical, DriverRequest{kDriverRequestTag, linear, length}, output,
             "Error attempting to unmap adapter (0x");
    }

    uint32_t ReadPortULONG(uint32_t port) override
    {
        RequireOpen("Invalid handle in ReadPortULONG");
        std::array<uint8_t, 8> output{};
        Send(kRequestReadPort, DriverRequest{kDriverRequestTag, port, 0}, output,
             "Error reading I/O port (0x");
        return static_cast<uint32_t>(ReadLittleEndian64(output, 0));
    }

    void WritePortULONG(uint32_t port, uint32_t value) override
    {
        RequireOpen("Invalid handle in WritePortULONG");
        Send(kRequestWritePort, DriverRequest{kDriverRequestTag, port, value}, {},
             "Error writing I/O port (0x");
    }

    uint64_t QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                          uint32_t bar) override
    {
        RequireOpen("Invalid handle in QueryBarSize");
        uint64_t size = 0;
        if (m_transport->QueryBarSize(segment, bus, device, function, bar, size) != 0)
        {
            return 0;
        }
        return size;
    }

    uint8_t ReadMemory8(uint64_t linear) override
    {
        RequireMapped(linear, 1);
        return m_transport->ReadMemory8(linear);
    }
    uint16_t ReadMemory16(uint64_t linear) override
    {
        RequireMapped(linear, 2);
        return m_transport->ReadMemory16(linear);
    }
    uint32_t ReadMemory32(uint64_t linear) override
    {
        RequireMapped(linear, 4);
        return m_transport->ReadMemory32(linear);
    }
    void WriteMemory8(uint64_t linear, uint8_t value) override
    {
        RequireMapped(linear, 1);
        m_transport->WriteMemory8(linear, value);
    }
    void WriteMemory16(uint64_t linear, uint16_t value) override
    {
        RequireMapped(linear, 2);
        m_transport->WriteMemory16(linear, value);
    }
    void WriteMemory32(uint64_t linear, uint32_t value) override
    {
        RequireMapped(linear, 4);
        m_transport->WriteMemory32(linear, value);
    }

private:
    void InstallDriver()
    {
        if (m_transport->IsCompatibilityMode())
        {
            throw std::runtime_error("No longer supports WoW64 flasher.\n");
        }
        CRefPtr<IServiceManager> manager = CreateServiceManager(m_transport);
        CRefPtr<IService> service = manager->OpenService(kServiceName);
        if (!service)
        {
            service = manager->CreateService(kServiceName, kServicePath);
        }
        m_service = service;
        m_service->Start();
    }

    void RequireOpen(const char* message) const
    {
        if (!m_deviceOpen)
        {
            throw std::domain_error(message);
        }
    }

    void RequireMapped(uint64_t linear, uint32_t width) const
    {
        if (!m_kernel.IsMapped(linear, width))
        {
            throw std::runtime_error("Access outside any mapped range at linear address 0x" +
                                     ToHex(static_cast<uint32_t>(linear >> 32), 8) +
                                     ToHex(static_cast<uint32_t>(linear), 8));
        }
    }

    void Send(uint32_t code, const DriverRequest& request, std::span<uint8_t> output,
              const char* step)
    {
        const DriverRequestLayout* layout = FindRequestLayout(code);
        const std::array<uint8_t, 24> input = request.Encode();
        const uint32_t status =
            m_kernel.Dispatch(code, std::span<const uint8_t>(input.data(), layout->inputSize),
                              output.first(layout->outputSize));
        if (status != 0)
        {
            ThrowSystemError(step, status, m_transport->DescribeError(status));
        }
    }

    template <class Step> static void RunAtRelease(Step step)
    {
        try
        {
            step();
        }
        catch (const std::exception& error)
        {
            GetLog()->SetLevel(3);
            *GetLog() << error.what() << LogEndl;
        }
    }

    CRefPtr<IDriverTransport> m_transport;
    CKernelRequestHandler m_kernel;
    CRefPtr<IService> m_service;
    bool m_deviceOpen = false;
};

CSingletonHolder<IRomviseDriver>& DriverHolder()
{
    static CSingletonHolder<IRomviseDriver> holder(ESingletonSlot::KernelDriver);
    return holder;
}
} // namespace

CRefPtr<IRomviseDriver> CreateRomviseDriver(CRefPtr<IDriverTransport> transport)
{
    return CRefPtr<IRomviseDriver>(new CRomviseDriverImpl(std::move(transport)));
}

IRomviseDriver* GetRomviseDriver()
{
    CSingletonHolder<IRomviseDriver>& holder = DriverHolder();
    if (holder.empty())
    {
        const CRefPtr<IRomviseDriver> created = CreateRomviseDriver(GetDriverTransport());
        holder.Set(created.get());
    }
    return holder.get();
}
