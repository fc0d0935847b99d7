// The service steps the driver's life goes through.

#include "hw/ServiceControl.h"
#include "testkit/ErrorOf.h"
#include "tests/hw/FakeTransport.h"

#include <gtest/gtest.h>

using testkit::ErrorOf;

namespace
{
TEST(ServiceControl, StoppingAServiceThatIsNotRunningFails)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    CRefPtr<IServiceManager> manager = CreateServiceManager(transport);
    EXPECT_EQ(manager->OpenService("ROMVISE"), nullptr);
    CRefPtr<IService> service = manager->CreateService("ROMVISE", "/dev/mem");
    EXPECT_EQ(ErrorOf([&] { service->Stop(); }),
              "Unable to stop service (0x00000426)\nDetailed :The service has not been started.");
    service->Start();
    service->Start(); // already running: accepted
    service->Stop();
    service->Remove();
    EXPECT_EQ(ErrorOf([&] { service->Remove(); }),
              "Unable to remove service (0x00000424)\nDetailed :The specified service does not "
              "exist as an installed service.");
}
} // namespace
