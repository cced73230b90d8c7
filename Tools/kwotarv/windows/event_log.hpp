// The service's Windows event log source (KwoTarvMonitor in the Application log): its
// registration, which points Event Viewer at the message table inside kwotarv.exe, and the
// entries the service writes for alarm transitions.
#pragma once

#include <windows.h>

#include <string>

#include "client/alarm_transitions.hpp"

namespace kwotarv {

// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KwoTarvMonitor: EventMessageFile
// (this kwotarv.exe) and TypesSupported. Throws ToolError when the key cannot be written.
void RegisterEventLogSource(const std::wstring& exe);
// Deletes that key; a source that is not registered is no error.
void RemoveEventLogSource();

// An open handle to the event source for the life of the service.
class EventLogWriter {
  public:
    EventLogWriter();
    ~EventLogWriter();
    EventLogWriter(const EventLogWriter&) = delete;
    EventLogWriter& operator=(const EventLogWriter&) = delete;

    // One entry: raised alarms as warnings, cleared ones as information; the strings are the
    // kind, the channel and the detail. False when the entry could not be written.
    bool Report(const AlarmTransition& transition);

  private:
    HANDLE source_;
};

} // namespace kwotarv
