// Error reporting for configuration, handlers and log output.
//
// A message is text with optional leading annotations on each line:
//   "<N>"            the message level (see Level below; "<3>" is an error),
//   "{name:value}"   a named annotation; "{l:file.click:12}" is the landmark.
// xmessage() decorates the text (prefixes, contexts, default landmark), splits
// it into lines and hands every line to emit(); account() counts the message
// once at its most severe level.  error() and friends return -EINVAL,
// warning()/message()/debug() return 0.
//
// Formats are printf's (flags, width, precision, h/hh/l/ll/z/t/j modifiers,
// d i u o x X c s p e E f F g G a A %) plus:
//   %<  %>        opening and closing quote (both "'")
//   %p{ip_ptr}    the IPv4 address stored at a 4-byte pointer, "a.b.c.d"
//   %p{name}      any formatter registered with add_pointer_formatter()
//                 (the runtime registers "element": "name :: Class")
//   %{name}       same as %p{name}
// A null pointer prints as "(null)".  (No printf format attribute: the
// compiler's checker does not know %< and %>.)
#ifndef QUILO_HOST_ERRORHANDLER_HH
#define QUILO_HOST_ERRORHANDLER_HH

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class ErrorHandler {
 public:
    enum Level {
        el_abort = -999,
        el_fatal = -1,
        el_emergency = 0,
        el_alert = 1,
        el_critical = 2,
        el_error = 3,
        el_warning = 4,
        el_notice = 5,
        el_info = 6,
        el_debug = 7
    };

    // Level annotations, for xmessage() and combine_anno().
    static const char e_abort[];              // "<-999>"
    static const char e_fatal[];              // "<-1>"
    static const char e_emergency[];          // "<0>"
    static const char e_alert[];              // "<1>"
    static const char e_critical[];           // "<2>"
    static const char e_error[];              // "<3>"
    static const char e_warning[];            // "<4>"
    static const char e_warning_annotated[];  // "<4>warning: "
    static const char e_notice[];             // "<5>"
    static const char e_info[];               // "<6>"
    static const char e_debug[];              // "<7>"

    ErrorHandler() = default;
    ErrorHandler(const ErrorHandler&) = delete;
    ErrorHandler& operator=(const ErrorHandler&) = delete;
    virtual ~ErrorHandler() = default;

    // Process-wide default handler (initially writes to stderr).  The handler
    // passed to set_default_handler must outlive its use; nullptr restores the
    // built-in stderr handler.
    static ErrorHandler* default_handler();
    static void set_default_handler(ErrorHandler* errh);
    // A handler that prints nothing (it still counts).  Shared; do not rely on
    // its counts.
    static ErrorHandler* silent_handler();

    int nerrors() const { return nerrors_.load(std::memory_order_relaxed); }
    int nwarnings() const { return nwarnings_.load(std::memory_order_relaxed); }
    void reset_counts() { nerrors_ = 0; nwarnings_ = 0; }

    void debug(const char* fmt, ...);
    void message(const char* fmt, ...);
    int warning(const char* fmt, ...);
    int error(const char* fmt, ...);
    // A fatal error: level el_fatal; reported and counted like an error (the
    // runtime never exits on behalf of an element).
    int fatal(const char* fmt, ...);

    // Same, with an explicit landmark ("file:line").
    void ldebug(const std::string& landmark, const char* fmt, ...);
    void lmessage(const std::string& landmark, const char* fmt, ...);
    int lwarning(const std::string& landmark, const char* fmt, ...);
    int lerror(const std::string& landmark, const char* fmt, ...);

    // Emit already formatted text; `anno` is combined into every line.
    // The level comes from the text's own annotation, then anno's, else
    // el_info.  Returns -EINVAL when the level is el_error or worse, else 0.
    int xmessage(const std::string& str);
    int xmessage(const std::string& anno, const std::string& str);
    int xmessage(int level, const std::string& str);
    int vxmessage(const std::string& anno, const char* fmt, va_list val);

    // Formatting only (the extensions above included).
    std::string format(const char* fmt, ...);
    std::string vformat(const char* fmt, va_list val);

    // Annotation helpers.
    static std::string make_anno(const std::string& name, const std::string& value);  // "{name:value}"
    static std::string make_landmark_anno(const std::string& landmark);               // "{l:landmark}"
    static std::string level_anno(int level);                                        // "<N>"
    // Returns text with anno added to every line.  Annotations already present
    // on a line win over those in anno; the non-annotation part of anno (for
    // example a prefix) is placed after each line's annotations.
    static std::string combine_anno(const std::string& text, const std::string& anno);
    // Splits the leading annotations of one line.  Returns the offset of the
    // message text; *level / *landmark are set only if present.
    static size_t parse_anno(const std::string& line, int* level, std::string* landmark);
    // Value of annotation `name` on this line, or "" (found tells presence).
    static std::string anno_value(const std::string& line, const std::string& name, bool* found = nullptr);
    // "file:line: text" (landmark, when any, then the text without annotations).
    static std::string render_line(const std::string& line, int* level = nullptr);

    // Registers `fn` for "%p{name}".  Call at start-up or package load.
    static void add_pointer_formatter(const char* name, std::string (*fn)(const void*));
    static void remove_pointer_formatter(const char* name);

    // Hooks.  decorate() rewrites a whole message before it is split into
    // lines; emit() receives one line (annotations included); `more` is true
    // when further lines of the same message follow, and `user_data` is
    // threaded through the lines of one message (start: nullptr).  account()
    // is called once per message with its most severe level.
    virtual std::string decorate(const std::string& str);
    virtual void* emit(const std::string& str, void* user_data, bool more);
    virtual void account(int level);

 private:
    std::atomic<int> nerrors_{0};    // handlers are shared between threads (loggers)
    std::atomic<int> nwarnings_{0};
};

// Writes each message to a FILE as "landmark: text" lines, one write(2) per
// message, so concurrent messages never interleave.  A non-empty context
// string precedes every line.
class FileErrorHandler : public ErrorHandler {
 public:
    explicit FileErrorHandler(FILE* f, const std::string& context = std::string());
    void* emit(const std::string& str, void* user_data, bool more) override;

 private:
    FILE* f_;
    std::string context_;
};

// Prints nothing; counts.
class SilentErrorHandler : public ErrorHandler {
 public:
    void* emit(const std::string&, void* user_data, bool) override { return user_data; }
};

// Collects every message as rendered text ("file:line: text\n" per line);
// used for handler writes and the control socket.  Thread-safe.
class StringErrorHandler : public ErrorHandler {
 public:
    void* emit(const std::string& str, void* user_data, bool more) override;
    std::string text() const;
    std::vector<std::string> lines() const;
    void clear();

 private:
    mutable std::mutex lock_;
    std::string text_;
};

// Forwards to another handler (nullptr: the default handler).  Counts both
// here and in the base handler.
class ErrorVeneer : public ErrorHandler {
 public:
    explicit ErrorVeneer(ErrorHandler* errh);
    ErrorHandler* base() const { return errh_; }
    std::string decorate(const std::string& str) override;
    void* emit(const std::string& str, void* user_data, bool more) override;
    void account(int level) override;

 protected:
    ErrorHandler* errh_;
};

// Puts `prefix` before every line (after its annotations).
class PrefixErrorHandler : public ErrorVeneer {
 public:
    PrefixErrorHandler(ErrorHandler* errh, const std::string& prefix);
    std::string decorate(const std::string& str) override;

 private:
    std::string prefix_;
};

// Before the first message emits the context line (e.g. "While configuring
// 'c :: Counter':"), then indents every line of every message.  Lines with no
// landmark get context_landmark.
class ContextErrorHandler : public ErrorVeneer {
 public:
    ContextErrorHandler(ErrorHandler* errh, const std::string& context, const std::string& indent = "  ",
                        const std::string& context_landmark = std::string());
    std::string decorate(const std::string& str) override;
    void clear_context() { context_printed_ = true; }

 private:
    std::string context_;
    std::string indent_;
    std::string context_landmark_;
    bool context_printed_ = false;
};

// Gives every line without a landmark this one; output reads "landmark: text".
class LandmarkErrorHandler : public ErrorVeneer {
 public:
    LandmarkErrorHandler(ErrorHandler* errh, const std::string& landmark);
    std::string decorate(const std::string& str) override;
    void set_landmark(const std::string& landmark) { landmark_ = landmark; }

 private:
    std::string landmark_;
};

// Writes through the default handler at info level; "<N>" at the start of the
// format sets another level.
void click_chatter(const char* fmt, ...);
void click_vchatter(const char* fmt, va_list val);

#endif
