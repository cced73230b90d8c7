// The I/O manager's object records and the lock that guards them, shared by the files that make
// up the simulated I/O manager (drivers, devices, IRPs, symbolic links, device interfaces).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernel/io/io_manager.hpp"

namespace sim::io::objects {

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string serviceKeyName;
};

struct DeviceRecord {
    std::unique_ptr<std::max_align_t[]> memory; // DEVICE_OBJECT followed by the extension
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;
    std::u16string instancePath; // PDOs only
    PDEVICE_OBJECT attachedTo = nullptr;
    ULONG extensionSize = 0;
    bool deleted = false;
    size_t references = 0;
};

struct InterfaceRecord {
    InterfaceInfo info;
};

struct Failure {
    NTSTATUS status = 0;
    unsigned remaining = 0; // 0: every call
};

struct State {
    std::mutex mutex;
    std::vector<std::unique_ptr<DriverRecord>> drivers;
    std::vector<std::unique_ptr<DeviceRecord>> devices;   // creation order, deleted ones removed
    std::map<std::u16string, SymbolicLink> links;         // folded canonical name -> link
    std::map<std::u16string, InterfaceRecord> interfaces; // folded name -> interface
    std::map<Routine, Failure> failures;
    std::map<Routine, unsigned> calls;
    std::set<std::string> hiddenRoutines;
    unsigned nextPdoNumber = 1;
};

// Never destroyed: completion threads may still run while the process exits.
State& S();
DeviceRecord* FindRecord(State& s, PDEVICE_OBJECT device);
DriverRecord* FindDriver(State& s, PDRIVER_OBJECT driver);
// Counts the call and tells whether it must fail (and with what).
std::optional<NTSTATUS> TakeFailure(Routine routine);
PDEVICE_OBJECT TopOfStackLocked(State& s, PDEVICE_OBJECT device);
bool ValidName(const UNICODE_STRING* name);
// The system's routine for every major function a driver does not handle.
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT, PIRP Irp);
// Forgets every request (part of Reset).
void ResetRequests();

} // namespace sim::io::objects
