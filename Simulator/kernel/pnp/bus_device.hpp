// The bus driver's physical device object (PDO) at the bottom of a simulated device stack.
//
// A function driver attaches above this PDO in AddDevice and passes Plug and Play, power and
// system-control requests down to it. How the PDO answers each request is set per test:
//
//     sim::bus::BusDevice& bus = sim::bus::CreateBusDevice();       // "ROOT\KwoTarv\0000"
//     bus.SetPnpAnswer(IRP_MN_START_DEVICE, sim::bus::Answer::Fail(STATUS_UNSUCCESSFUL));
//     bus.SetPnpAnswer(IRP_MN_CANCEL_REMOVE_DEVICE,
//                      sim::bus::Answer::Pending(STATUS_SUCCESS));   // completed later
//     ... send requests through sim::pnp ...
//     EXPECT_EQ(bus.Requests()[0].minor, IRP_MN_START_DEVICE);
//
// Default answers are those of a root-enumerated PDO: success for start, query/cancel
// remove and stop, stop, surprise removal, remove, capabilities, device state and usage
// notification, and for set-power/query-power; every other PnP minor and IRP_MJ_SYSTEM_CONTROL
// are completed with the status left as it arrived (a PDO does not touch requests it does not
// handle, so a PnP request nobody handled ends with STATUS_NOT_SUPPORTED). Any other major
// function fails with STATUS_INVALID_DEVICE_REQUEST.
//
// A pending answer does what a real bus driver does: IoMarkIrpPending, return STATUS_PENDING,
// and complete the request from another thread after the delay, at DISPATCH_LEVEL as a DPC
// would. So an upper driver's completion routine runs on that thread, and its wait for the
// lower drivers really waits.
//
// Every request that reaches the PDO is recorded with the status it carried on arrival and its
// parameters, so a test can check what the function driver passed down.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "nt/io.h"

namespace sim::bus {

struct Answer {
    enum class Kind {
        Complete,   // set IoStatus.Status to `status` and complete
        KeepStatus, // complete with IoStatus.Status as it arrived
    };
    Kind kind = Kind::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    bool pending = false; // complete later from another thread instead of at once
    std::chrono::milliseconds delay{20};

    static Answer Succeed() { return {}; }
    static Answer Fail(NTSTATUS status) { return {Kind::Complete, status, false, {}}; }
    static Answer KeepArrivingStatus() { return {Kind::KeepStatus, STATUS_SUCCESS, false, {}}; }
    static Answer Pending(NTSTATUS status,
                          std::chrono::milliseconds delay = std::chrono::milliseconds(20))
    {
        return {Kind::Complete, status, true, delay};
    }
};

// One request as it reached the PDO.
struct Request {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS statusOnArrival = 0; // IoStatus.Status as the upper drivers left it
    ULONG_PTR informationOnArrival = 0;
    // IRP_MJ_POWER parameters
    POWER_STATE_TYPE powerType = SystemPowerState;
    POWER_STATE powerState = {};
    POWER_ACTION shutdownType = PowerActionNone;
    // IRP_MN_DEVICE_USAGE_NOTIFICATION parameters
    BOOLEAN usageInPath = FALSE;
    DEVICE_USAGE_NOTIFICATION_TYPE usageType = DeviceUsageTypeUndefined;
    NTSTATUS answeredStatus = 0; // the status the PDO completed it with
    bool answeredPending = false;
};

class BusDevice {
  public:
    // The physical device object (named "\Device\000000nn", like a PnP-enumerated PDO).
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // Device instance path, "ROOT\KwoTarv\0000"; device interfaces are named after it.
    const std::u16string& InstancePath() const { return instancePath_; }

    void SetPnpAnswer(UCHAR minor, const Answer& answer);
    void SetPowerAnswer(UCHAR minor, const Answer& answer);
    // Answer for requests of any other major function (IRP_MJ_SYSTEM_CONTROL, ...).
    void SetOtherAnswer(UCHAR major, const Answer& answer);

    std::vector<Request> Requests() const;
    std::vector<UCHAR> PnpMinors() const; // minor codes of the PnP requests, in order
    void ClearRequests();

    // Used by the bus driver's dispatch routines.
    NTSTATUS Dispatch(PIRP irp);

    BusDevice(PDEVICE_OBJECT pdo, std::u16string instancePath);

  private:
    Answer AnswerFor(UCHAR major, UCHAR minor) const;

    PDEVICE_OBJECT pdo_;
    std::u16string instancePath_;
    mutable std::mutex mutex_;
    std::map<std::pair<UCHAR, UCHAR>, Answer> answers_; // (major, minor); minor 0xFF: any
    std::vector<Request> requests_;
};

// Creates a PDO for a root-enumerated device with the given instance path. The bus device lives
// until Reset. Instance paths must be unique.
BusDevice& CreateBusDevice(std::u16string instancePath = u"ROOT\\KwoTarv\\0000");
// The bus device owning `pdo`, or nullptr.
BusDevice* FindBusDevice(PDEVICE_OBJECT pdo);
// Waits until every request answered "pending" has been completed by its thread.
void WaitForPendingCompletions();

// Joins the completion threads and forgets every bus device.
void Reset();

} // namespace sim::bus
