// Configuration text: argument splitting, quoting, and the router
// configuration parser.
//
// Argument syntax: arguments are separated by commas that stand outside
// quotes, parentheses, brackets and braces.  Double quotes allow C escapes
// (\n \t \r \a \b \f \v \\ \" \' \$ \, \xHH, \ooo octal, \<hex bytes>);
// single quotes take everything literally.  "//" to end of line and "/* */"
// are comments outside quotes.
#ifndef QUILO_HOST_CONFPARSE_HH
#define QUILO_HOST_CONFPARSE_HH

#include <functional>
#include <map>
#include <string>
#include <vector>

class ErrorHandler;

bool cp_is_space(unsigned char c);
bool cp_is_word(const std::string& s);  // non-empty, no space, quote, comma, paren, bracket or comment

// Removes comments (each replaced by one space, a "//" comment up to but not
// including the newline) and leading/trailing whitespace.  Quotes are kept.
std::string cp_uncomment(const std::string& str);

// Splits a configuration string into arguments: comments removed, each
// argument trimmed.  Empty or blank text gives no arguments; otherwise every
// comma separates two (possibly empty) arguments, except that one trailing
// empty argument after a final comma is dropped.
std::vector<std::string> cp_argvec(const std::string& str);
// Joins arguments with ", ".
std::string cp_unargvec(const std::vector<std::string>& args);

// Splits at whitespace outside quotes (quotes kept, comments removed).
std::vector<std::string> cp_spacevec(const std::string& str);
// Joins words with single spaces.
std::string cp_unspacevec(const std::vector<std::string>& words);
// Removes and returns the first space-separated word of str (quotes kept).
std::string cp_shift_spacevec(std::string& str);

// Removes quotes and expands escapes in double-quoted parts.  Text outside
// quotes is kept as is (with comments removed, whitespace trimmed).  Never
// fails: an unterminated quote runs to the end of the text.
std::string cp_unquote(const std::string& str);
// Quotes str so that cp_unquote(cp_quote(s)) == s and cp_argvec of the
// result is exactly one argument, whatever s holds (commas, quotes,
// newlines, backslashes, '$', non-printable bytes).  Plain words are left
// as they are; the empty string becomes "\"\"".
std::string cp_quote(const std::string& str);

// If arg starts with a keyword (upper-case letter, then upper-case letters,
// digits or underscores) followed by whitespace, stores the keyword and the
// rest (trimmed) and returns true.  Either pointer may be null.
bool cp_keyword(const std::string& arg, std::string* keyword, std::string* rest);

// Splits one line of a text file written in configuration syntax into its
// arguments, each unquoted: cp_split_line(cp_quote(a) + ", " + cp_quote(b))
// yields {a, b}.
std::vector<std::string> cp_split_line(const std::string& line);
// The inverse: quotes each field and joins them with ", " (no newline added).
std::string cp_join_line(const std::vector<std::string>& fields);

// Router configuration.
struct ConfigElement {
    std::string name;        // declared name, or "Class@N" for anonymous elements; "a/b/name"
                             // inside compound elements a and a/b
    std::string class_name;
    std::string config;      // argument text with $NAME substituted, comments removed
    std::string landmark;    // "file:line" of the declaration
};

struct ConfigConnection {
    int from = 0;            // index into RouterConfig::elements
    int from_port = 0;
    int to = 0;
    int to_port = 0;
    std::string landmark;
};

struct ConfigRequirement {
    std::string type;        // require(package "quilo") -> {"package", "quilo"}
    std::string value;       // require(quilo) -> {"", "quilo"}
    std::string landmark;
};

struct RouterConfig {
    std::vector<ConfigElement> elements;        // in declaration order
    std::vector<ConfigConnection> connections;  // in text order
    std::vector<ConfigRequirement> requirements;
    int find(const std::string& name) const;    // index of the element, or -1
};

// Parses router configuration text.
//   name :: Class(args)      a, b :: Class(args)      Class(args) / Class (anonymous)
//   a -> b [1] -> [2] c;     chains, "[n]" on either side of an element
//   require(package "quilo") define($NAME value, $OTHER value)
//   $NAME / ${NAME} in arguments, replaced by the definition
//   elementclass Name { $a, KEY $b | input -> X($a) -> output || ... }
//                            compound classes (see host/README.md); their
//                            elements are expanded into "instance/inner"
//                            elements, and `out` holds only primitive ones
// `defines` (command line NAME=value; keys with or without '$') override or
// add to define() at the top level.  is_class tells a primitive class name
// from an element name.  Every error is reported through errh with the
// landmark "filename:line" (inside a compound class, the line in its body);
// parsing continues after errors.  Returns 0, or -EINVAL if any error.
// `out` is replaced by whatever was parsed in either case.
int parse_router_config(const std::string& text, const std::string& filename,
                        const std::map<std::string, std::string>& defines,
                        const std::function<bool(const std::string&)>& is_class, RouterConfig& out,
                        ErrorHandler* errh);

// Writes a configuration back as text: declarations then connections, one
// per line (the router's "flatconfig").
std::string unparse_router_config(const RouterConfig& conf);

#endif
