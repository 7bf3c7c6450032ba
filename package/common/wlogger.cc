#include "common/wlogger.hh"

#include <host/errorhandler.hh>

#include <cstdarg>
#include <cstdio>

int WLogger::log_level = 1;

namespace {

// Built at load, torn down at unload, the prefix handlers before the file
// handler they forward to.
struct LoggerHandlers {
    FileErrorHandler file{stderr, ""};
    PrefixErrorHandler debug{&file, "Debug : "};
    PrefixErrorHandler info{&file, "Info : "};
    PrefixErrorHandler warn{&file, "Warn : "};
    PrefixErrorHandler alert{&file, "Alert : "};
    PrefixErrorHandler error{&file, "Error : "};
};

LoggerHandlers& handlers() {
    static LoggerHandlers h;
    return h;
}

void emit(ErrorHandler* errh, const char* level_anno, const char* fmt, va_list val) {
    errh->xmessage(ErrorHandler::combine_anno(errh->vformat(fmt, val), level_anno));
}

}  // namespace

ErrorHandler* WLogger::_errh = &handlers().file;
ErrorHandler* WLogger::_debug_errh = &handlers().debug;
ErrorHandler* WLogger::_info_errh = &handlers().info;
ErrorHandler* WLogger::_warn_errh = &handlers().warn;
ErrorHandler* WLogger::_alert_errh = &handlers().alert;
ErrorHandler* WLogger::_error_errh = &handlers().error;

#define WLOGGER_LEVEL(fn, threshold, errh, anno) \
    void WLogger::fn(const char* fmt, ...) {      \
        if (log_level > threshold)                \
            return;                               \
        va_list val;                              \
        va_start(val, fmt);                       \
        emit(errh, anno, fmt, val);               \
        va_end(val);                              \
    }

WLOGGER_LEVEL(debug, DEBUG, _debug_errh, ErrorHandler::e_debug)
WLOGGER_LEVEL(info, INFO, _info_errh, ErrorHandler::e_info)
WLOGGER_LEVEL(warn, WARN, _warn_errh, ErrorHandler::e_warning)
WLOGGER_LEVEL(alert, ALERT, _alert_errh, ErrorHandler::e_alert)
WLOGGER_LEVEL(error, ERROR, _error_errh, ErrorHandler::e_error)
