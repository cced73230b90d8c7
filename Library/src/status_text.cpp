// The texts of the statuses, and the library's version.
#include "kwotarv.h"

extern "C" {

const char* KWO_CALL kwo_status_text(kwo_status status)
{
    switch (status) {
    case KWO_OK:
        return "success";
    case KWO_ERROR_INVALID_HANDLE:
        return "the handle is not open (never opened, or already closed)";
    case KWO_ERROR_INVALID_ARGUMENT:
        return "an argument is invalid (a required pointer is NULL, or an unknown kind)";
    case KWO_ERROR_BUFFER_TOO_SMALL:
        return "the buffer is too small: the count tells how many records are needed";
    case KWO_ERROR_NO_DEVICE:
        return "the KwoTarv device is not there: the driver is not installed or did not start";
    case KWO_ERROR_ACCESS_DENIED:
        return "access to the KwoTarv device was denied";
    case KWO_ERROR_BUS_LOCK_TIMEOUT:
        return "another monitoring tool held the ISA bus mutex Global\\Access_ISABUS.HTP.Method "
               "for the whole wait";
    case KWO_ERROR_REQUEST_FAILED:
        return "the driver failed a request or its reply was malformed";
    case KWO_ERROR_TOO_MANY_HANDLES:
        return "too many handles are open";
    case KWO_ERROR_SYSTEM:
        return "the system refused a resource (the ISA bus mutex, or memory)";
    default:
        return "unknown status";
    }
}

const char* KWO_CALL kwo_version(void)
{
    return KWOTARV_VERSION_TEXT;
}

} // extern "C"
