// WLogger: the package's process-wide logger.
//
// Five levels, Debug 0 < Info 1 < Warn 2 < Alert 3 < Error 4. A message of level
// L is written to standard error when log_level <= L, each line prefixed with
// "Debug : ", "Info : ", "Warn : ", "Alert : " or "Error : ". log_level starts at
// 1 and is set by WConf's LOG_LEVEL. Messages start with the element's name:
//     WLogger::info("%s taking state", name().c_str());
// Format strings use the host error handler's language ("%p{ip_ptr}" etc.).
#pragma once

class ErrorHandler;

class WLogger {
  public:
    enum Level { DEBUG = 0, INFO = 1, WARN = 2, ALERT = 3, ERROR = 4 };

    static int log_level;

    static bool enabled(int level) { return log_level <= level; }

    static void debug(const char* fmt, ...);
    static void info(const char* fmt, ...);
    static void warn(const char* fmt, ...);
    static void alert(const char* fmt, ...);
    static void error(const char* fmt, ...);

    // The file handler on standard error and the five prefix handlers in front of it.
    static ErrorHandler* _errh;
    static ErrorHandler* _debug_errh;
    static ErrorHandler* _info_errh;
    static ErrorHandler* _warn_errh;
    static ErrorHandler* _alert_errh;
    static ErrorHandler* _error_errh;
};
